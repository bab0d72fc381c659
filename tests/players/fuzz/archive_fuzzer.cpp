// The QQ Music keyed-archive decoder over arbitrary bytes.
#include "players/qq_play_list.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QQArchiveDecoding decoding = qq_play_list::decode(bytes);
    // A decoded list always pairs every song with an id.
    if (decoding.list && decoding.list->songs.size() != decoding.list->ids.size())
        __builtin_trap();
    return 0;
}
