"""What an input is, from its first bytes: text velmora can mask, or
something (compressed data, UTF-16 or UTF-32 text) whose secrets no
detector would see."""

from __future__ import annotations

import re

# Compressed data starts with one of these: a detector that reads it sees no
# secret of the text inside, and would let the whole of it through.
COMPRESSED = ((b"\x1f\x8b", "gzip"), (b"\xfd7zXZ\x00", "xz"), (b"\x28\xb5\x2f\xfd", "zstd"),
              (b"\x04\x22\x4d\x18", "lz4"), (b"PK\x03\x04", "zip"), (b"7z\xbc\xaf\x27\x1c", "7z"))
BZIP2 = re.compile(rb"BZh[1-9]1AY&SY")
UTF16_OR_32 = "this looks like UTF-16 or UTF-32 text: velmora reads UTF-8"

# How much of the start of an input is looked at, at most, before any of it
# is written. Text without a NUL byte is known for what it is after FEW
# bytes, or at its first line break (no magic above holds one), so a line
# typed or tailed into velmora is not held back for long.
SNIFF, FEW = 512, 16


def unreadable(head: bytes | bytearray) -> str | None:
    """Why a text that starts with ``head`` cannot be masked, or None. UTF-16
    and UTF-32 text (a byte order mark, or the NUL bytes of mostly-ASCII
    text at every other place or at three places of four) and compressed
    data hold their secrets in bytes that no detector sees: passed through,
    they would come out as they went in. A run of NUL bytes (the start of a
    log truncated under its writer) is neither, and is read as text."""
    for magic, kind in COMPRESSED:
        if head.startswith(magic):
            return f"this looks like {kind}-compressed data, not text: decompress it first"
    if BZIP2.match(head):
        return "this looks like bzip2-compressed data, not text: decompress it first"
    if head.startswith((b"\xff\xfe", b"\xfe\xff", b"\x00\x00\xfe\xff")):
        return UTF16_OR_32
    # The NUL bytes at each place of four (UTF-32: the top byte of a code
    # point is always 0, the next one mostly) and of two (UTF-16: the
    # high byte of ASCII is 0), in whole units. A run of NULs has them at
    # every place alike; a handful is no evidence.
    quads = len(head) // 4
    if quads >= 2:
        nuls = [head[r:4 * quads:4].count(0) for r in range(4)]
        if (nuls[3] == quads and 2 * nuls[2] >= quads and 8 * nuls[0] <= quads) or \
                (nuls[0] == quads and 2 * nuls[1] >= quads and 8 * nuls[3] <= quads):
            return UTF16_OR_32
    pairs = len(head) // 2
    even, odd = head[0:2 * pairs:2].count(0), head[1:2 * pairs:2].count(0)
    for high, low in ((odd, even), (even, odd)):
        if high >= 4 and 4 * high >= pairs and 4 * low <= high:
            return UTF16_OR_32
    return None
