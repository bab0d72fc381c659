#pragma once

#include "platform/pulse_audio_client.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <optional>
#include <vector>

// What the accompaniment loop decides, apart from the sound server: which sink is ours,
// which playback streams belong to the followed player and where streams go when it goes.
namespace loop_routing {

// The null sink of ours and the input it offers (its monitor, as every server names it).
inline constexpr char kSinkName[] = "tonivox_accompaniment";
QString sinkName();
QString monitorUid();
// "Melodrix 伴奏回路"
QString description();
// module-null-sink arguments: our name and description, 48 kHz stereo.
QByteArray nullSinkArguments();

// The followed player's processes: their ids and executable file names.
struct PlayerProcesses {
    QSet<qint64> processIds;
    QSet<QString> binaries;
};

// A stream is the player's by its process id, or, when the stream names none, by its
// executable; a stream that names neither belongs to nobody we follow.
bool belongsTo(const AudioStreamInfo& stream, const PlayerProcesses& player);

// The player's streams not yet on the loop and not handled before (a stream the user moved
// back stays where the user put it); our own process's streams never.
std::vector<uint32_t> streamsToMove(const std::vector<AudioStreamInfo>& streams,
                                    const PlayerProcesses& player, uint32_t loopSink,
                                    const QSet<uint32_t>& handled, qint64 ownProcessId);

std::optional<AudioSinkInfo> findSink(const std::vector<AudioSinkInfo>& sinks, const QString& name);

// Where streams go when the loop is removed: the default sink, or, when the loop itself is
// the default, the first other sink; none when there is no other.
std::optional<QString> fallbackSink(const std::vector<AudioSinkInfo>& sinks,
                                    const std::optional<QString>& defaultSink);

} // namespace loop_routing
