#!/usr/bin/env python3
"""capture_check.py CHANNEL SECONDS FILE...: the files of one run of the service, 24-bit 48 kHz
mono WAV files of one channel of the fake device's pattern (fake_signal.h), in name order.
Each header is true and no file is empty; every file but the first starts on a multiple of
SECONDS (UTC, by its name); joined, they hold each device frame from the first on, except
where a device that dropped out left silence, after which frames sit at their capture time
give or take a period. Prints "frames=N gaps=N"."""
import calendar, os, struct, sys, time

PATTERN, OFFSET = (1 << 24) - 5, (1 << 23) - 3  # value = (2 frame + channel) % PATTERN - OFFSET
channel, seconds = int(sys.argv[1]), int(sys.argv[2])
frame = shift = gaps = silent = 0
for index, path in enumerate(sys.argv[3:]):
    name, data = os.path.basename(path), open(path, "rb").read()
    if index and calendar.timegm(time.strptime(name[:16], "%Y%m%dT%H%M%SZ")) % seconds:
        sys.exit(f"FAIL: {name} does not start on a multiple of {seconds} s")
    head = struct.unpack("<4sI4s4sIHHIIHH4sI", data[:44])
    if (head[0], head[2], head[3], head[5:8], head[10:12]) != (
            b"RIFF", b"WAVE", b"fmt ", (1, 1, 48000), (24, b"data")) or head[1] != len(data) - 8 \
            or not 0 < head[12] == len(data) - 44:
        sys.exit(f"FAIL: {name}, {len(data)} bytes: header {head}")
    for at in range(44, len(data), 3):
        value = int.from_bytes(data[at:at + 3], "little", signed=True)
        if value == (2 * (frame + shift) + channel) % PATTERN - OFFSET:
            gaps, silent = gaps + (silent > 0), 0
        elif value == 0:
            silent += 1
        else:  # the device frame of the value: 2 has the inverse (PATTERN + 1) / 2
            captured = (value + OFFSET - channel) * ((PATTERN + 1) // 2) % PATTERN
            if not silent or abs(captured - frame - shift) > 4096:
                sys.exit(f"FAIL: {name}: frame {frame} of the run is device frame {captured}")
            gaps, silent, shift = gaps + 1, 0, captured - frame
        frame += 1
print(f"frames={frame} gaps={gaps + (silent > 0)}")
