"""A minimal Standard MIDI File writer (format 0), enough for FluidSynth renders."""

import struct

TICKS_PER_SECOND = 1000  # 120 bpm at 500 ticks per quarter note


def _varlen(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


def write_midi(path, events):
    """events: (time_s, status_byte, data1, data2) tuples with channel in status."""
    ordered = sorted(events, key=lambda e: (e[0], 0 if (e[1] & 0xF0) in (0xB0, 0xC0) else 1))
    track = bytearray()
    track += b"\x00\xFF\x51\x03" + (500000).to_bytes(3, "big")
    last = 0
    for time_s, status, d1, d2 in ordered:
        tick = max(last, int(round(time_s * TICKS_PER_SECOND)))
        track += _varlen(tick - last)
        last = tick
        if (status & 0xF0) == 0xC0:
            track += bytes([status, d1])
        else:
            track += bytes([status, d1, d2])
    track += b"\x00\xFF\x2F\x00"
    with open(path, "wb") as f:
        f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, TICKS_PER_SECOND // 2))
        f.write(b"MTrk" + struct.pack(">I", len(track)) + bytes(track))
