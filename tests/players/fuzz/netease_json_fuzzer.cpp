// The NetEase history readers over arbitrary text: a history row's JSON and the head of the
// Linux client's history file.
#include "players/netease_history.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto song = netease_history::parseTrack(QString::fromUtf8(bytes));
    if (song && song->title.isEmpty())
        __builtin_trap();
    const auto newest = netease_history::newestHistoryEntry(bytes);
    if (newest && (newest->first.title.isEmpty() || newest->second.isEmpty()))
        __builtin_trap();
    return 0;
}
