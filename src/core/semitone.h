#pragma once

// Reduces any integer number of semitones into 0..11 (C = 0); a negative remainder gets
// 12 added. Header-only so that every subsystem shares the one rule.
constexpr int reduceSemitone(int semitone)
{
    const int r = semitone % 12;
    return r < 0 ? r + 12 : r;
}
