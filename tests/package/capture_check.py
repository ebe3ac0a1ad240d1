#!/usr/bin/env python3
"""Checks the files of one run of the service recording the fake device's pattern: 24-bit
48 kHz mono files, each of one device channel. Every header tells the truth about the data
that follows, no file is empty, and joined in the order given the files are one capture
from the device's first frame on: each frame the device frame after the one before, except
where a device that dropped out left a gap written as silence, after which the frames sit
at their capture time give or take a period (fake_signal.h, README.md "Vanish").
With SECONDS, every file but the first is named by a UTC time on a multiple of it.

    capture_check.py CHANNEL SECONDS FILE...     (SECONDS 0: names not checked)

Prints "frames=<n> gaps=<n>"; exits 1 naming the first file or frame that is wrong."""
import calendar
import os
import struct
import sys
import time

PATTERN = (1 << 24) - 5  # 24-bit pattern: ((2 * frame + channel) mod PATTERN) - OFFSET
OFFSET = (1 << 23) - 3


def fail(text):
    sys.exit(f"FAIL: {text}")


channel, seconds, files = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3:]
frame, shift, gaps, silent = 0, 0, 0, 0
for index, path in enumerate(files):
    name = os.path.basename(path)
    if seconds and index and calendar.timegm(time.strptime(name[:16], "%Y%m%dT%H%M%SZ")) % seconds:
        fail(f"{name} does not start on a multiple of {seconds} s")
    data = open(path, "rb").read()
    head = struct.unpack("<4sI4s4sIHHIIHH4sI", data[:44])
    riff, riff_size, wave, fmt, _, tag, chans, rate, _, _, bits, data_id, size = head
    if (riff, wave, fmt, data_id, tag, chans, rate, bits) != (
            b"RIFF", b"WAVE", b"fmt ", b"data", 1, 1, 48000, 24):
        fail(f"{name} is no 24-bit 48 kHz mono WAV file: {head}")
    if riff_size != len(data) - 8 or size != len(data) - 44 or size % 3:
        fail(f"{name}: {len(data)} bytes, header sizes {riff_size} and {size}")
    if size == 0:
        fail(f"{name} is empty")
    for at in range(44, len(data), 3):
        value = int.from_bytes(data[at:at + 3], "little", signed=True)
        if value == (2 * (frame + shift) + channel) % PATTERN - OFFSET:
            gaps, silent = gaps + (silent > 0), 0
        elif value == 0:
            silent += 1
        else:
            # The device frame this value comes from (2 has the inverse (PATTERN + 1) / 2).
            captured = (value + OFFSET - channel) % PATTERN * ((PATTERN + 1) // 2) % PATTERN
            if not silent or abs(captured - frame - shift) > 4096:
                fail(f"{name}: frame {frame} of the run holds device frame {captured}, "
                     f"not {frame + shift}")
            gaps, silent, shift = gaps + 1, 0, captured - frame
        frame += 1
print(f"frames={frame} gaps={gaps + (silent > 0)}")
