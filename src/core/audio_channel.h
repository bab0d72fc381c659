#pragma once

#include <QString>
#include <cstdint>

// An audio input offered as accompaniment channel. Equal when all three fields are.
struct AudioChannel {
    uint32_t deviceID = 0;
    QString name;
    QString uid; // persistent identifier, stored under "accompanimentChannelUID"

    friend bool operator==(const AudioChannel&, const AudioChannel&) = default;
};
