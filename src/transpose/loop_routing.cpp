#include "transpose/loop_routing.h"

#include <algorithm>

namespace loop_routing {

QString sinkName()
{
    return QString::fromLatin1(kSinkName);
}

QString monitorUid()
{
    return sinkName() + QStringLiteral(".monitor");
}

QString description()
{
    return QStringLiteral("Melodrix 伴奏回路");
}

QByteArray nullSinkArguments()
{
    // The description holds a blank: quoted for the property list, which is quoted again
    // as one module argument.
    return QByteArray("sink_name=") + kSinkName +
           " rate=48000 channels=2 sink_properties='device.description=\"" + description().toUtf8() + "\"'";
}

bool belongsTo(const AudioStreamInfo& stream, const PlayerProcesses& player)
{
    if (stream.processId)
        return player.processIds.contains(*stream.processId);
    return !stream.processBinary.isEmpty() && player.binaries.contains(stream.processBinary);
}

std::vector<uint32_t> streamsToMove(const std::vector<AudioStreamInfo>& streams,
                                    const PlayerProcesses& player, uint32_t loopSink,
                                    const QSet<uint32_t>& handled, qint64 ownProcessId)
{
    std::vector<uint32_t> out;
    for (const AudioStreamInfo& stream : streams) {
        if (stream.sinkIndex == loopSink || handled.contains(stream.index))
            continue;
        if (stream.processId == ownProcessId)
            continue;
        if (belongsTo(stream, player))
            out.push_back(stream.index);
    }
    return out;
}

std::optional<AudioSinkInfo> findSink(const std::vector<AudioSinkInfo>& sinks, const QString& name)
{
    const auto it =
        std::find_if(sinks.begin(), sinks.end(), [&](const AudioSinkInfo& s) { return s.name == name; });
    if (it == sinks.end())
        return std::nullopt;
    return *it;
}

std::optional<QString> fallbackSink(const std::vector<AudioSinkInfo>& sinks,
                                    const std::optional<QString>& defaultSink)
{
    if (defaultSink && *defaultSink != sinkName() && findSink(sinks, *defaultSink))
        return defaultSink;
    for (const AudioSinkInfo& sink : sinks) {
        if (sink.name != sinkName())
            return sink.name;
    }
    return std::nullopt;
}

} // namespace loop_routing
