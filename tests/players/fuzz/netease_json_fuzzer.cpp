// The NetEase history JSON reader over arbitrary text.
#include "players/netease_history.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString json = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto song = netease_history::parseTrack(json);
    if (song && song->title.isEmpty())
        __builtin_trap();
    return 0;
}
