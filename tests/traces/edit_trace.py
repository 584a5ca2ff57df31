#!/usr/bin/env python3
"""Makes a test trace from a corpus trace: its events (header first, end
last) unpacked, edited by a named change, and packed again with a correct
end (count and CRC-32) in one zlib stream. The changes are the inputs the
reader, the replay and show must take or refuse:
  host-mappings N LENGTH  N host mappings of LENGTH bytes each, made before
                          the first call and kept to the end
  note TEXT               a host note before the first call
  drop-outcome            the first call's outcome note left out
  drop-notes              every note left out (a host that notes nothing)
  cut-after INDEX         events after INDEX dropped, and no end (a kill)
  cut-before-outcome      cut (no end) just before the first call's outcome note
edit_trace.py IN OUT CHANGE ARGS..."""
import os
import struct
import sys
import zlib

HEAD = struct.Struct("<BBIIIII")
NOTE, MAP, UNMAP, BOARD_WRITE, END = 2, 5, 6, 11, 0x7F
MAX_RUN = 0x100000


def unpack(path):
    data = open(path, "rb").read()
    magic, body = data[:8], zlib.decompress(data[8:])
    events, at = [], 0
    while at < len(body):
        kind, flags, a, b, c, d, n = HEAD.unpack_from(body, at)
        events.append([kind, flags, a, b, c, d, body[at + HEAD.size:at + HEAD.size + n]])
        at += HEAD.size + n
    assert events[-1][0] == END
    return magic, events[:-1]


def pack(magic, events, end=True):
    plain = b"".join(HEAD.pack(k, f, a, b, c, d, len(p)) + p for k, f, a, b, c, d, p in events)
    if end:
        crc = zlib.crc32(magic + plain)
        plain += HEAD.pack(END, 0, len(events), 0, 0, 0, 4) + struct.pack("<I", crc)
    z = zlib.compressobj(9)
    out = z.compress(plain) + (z.flush() if end else z.flush(zlib.Z_SYNC_FLUSH))
    return magic + out


def main():
    src, dst, change, args = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    magic, events = unpack(src)
    first_note = next((i for i, e in enumerate(events) if e[0] == NOTE), len(events))
    end = True
    if change == "host-mappings":
        count, length = int(args[0]), int(args[1], 0)
        # Each as the recorder writes it: the Map, then the bytes it showed.
        made = []
        for i in range(count):
            physical = 0x100000 + i * 0x1000
            made.append([MAP, 0, physical, length, 0x9000 + i, 1, b""])
            for run in range(0, length, MAX_RUN):
                n = min(MAX_RUN, length - run)
                made.append([BOARD_WRITE, 0, physical + run, n, 0, 0, bytes(n)])
        events[first_note:first_note] = made
    elif change == "note":
        events.insert(first_note, [NOTE, 0, 0, 0, 0, 0, os.fsencode(args[0])])
    elif change == "drop-outcome":
        outcome = next(i for i, e in enumerate(events) if e[0] == NOTE and e[6].startswith(b"return "))
        del events[outcome]
    elif change == "drop-notes":
        events = [e for e in events if e[0] != NOTE]
    elif change == "cut-before-outcome":
        outcome = next(i for i, e in enumerate(events) if e[0] == NOTE and e[6].startswith(b"return "))
        events, end = events[:outcome], False
    elif change == "cut-after":
        events, end = events[:int(args[0]) + 1], False
    else:
        sys.exit("unknown change " + change)
    open(dst, "wb").write(pack(magic, events, end))


main()
