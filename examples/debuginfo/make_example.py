#!/usr/bin/env python3
"""Write example.jpg: an 8 x 8 grey JPEG carrying version-2 debug segments
for the module headers in headers/. Run from anywhere; no dependencies."""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
PRESENT, MORE = 0x01000000, 0x00800000


def field(k, v, more=False):
    return (PRESENT | (MORE if more else 0) | k, v & 0xFFFFFFFF)


def segment(marker, payload):
    return struct.pack(">HH", marker, len(payload) + 2) + payload


def debug(tag, blocks, tail=b""):
    """Tag, counts, offsets (from the length field), the blocks, the tail."""
    b = len(blocks)
    a = b + (1 if tail else 0)
    out = struct.pack("<II", tag, a << 16 | b)
    off = 10 + 4 * a
    for i in range(a):
        out += struct.pack("<I", off)
        if i < b:
            off += 8 * len(blocks[i])
    for blk in blocks:
        for ident, value in blk:
            out += struct.pack("<II", ident, value)
    return out + tail


# 3A blocks: AE (selects AE_2_3.h), AF with a lens scan, AWB, strobe, flicker.
ae = [field(0, 3), field(1, 33333), field(2, 1024), field(3, 1536), field(4, 48), field(5, 95), field(6, -2)]
af = [field(0, 0), field(1, 8), field(2, 200), field(3, 25)]
af += [field(4, 1000 + 37 * i - (i - 4) ** 2 * 9, i > 0) for i in range(9)]
af += [field(5, 300)]
awb = [field(0, 0), field(1, 1840), field(2, 1024), field(3, 1630), field(4, 5100)]
strobe = [field(0, 0), field(1, 0)]
flicker = [field(0, 0), field(1, 50)]
isp = [field(0, 0), field(1, 0x00200010), field(2, 0x0000003C), field(3, 0x80808080)]
cam = [[field(0, 0), field(1, 0x5A11), field(2, 4000), field(3, 3000)],
       [field(0, 0), field(1, 4)],
       [field(0, 0), field(1, 0x00010001)],
       [field(0, 0), field(1, 0x1F), field(2, 0x3E8)],
       [field(0, 0), field(1, 0x0000FFFF)]]

# Tail of the ISP segment: the AWB debug block (2203 words), then the GGM
# (288 words) and PCA (180 words) tables, which run past the segment; an
# APP9 segment carries them so that the file stays a valid JPEG (its marker
# and length take the place of GGM word 0).
awb_words = [0, 4000, 3000, 512, 600, 4870, 0] + [i * 7 % 1024 for i in range(2196)]
ggm = [int(1023 * (i / 287.0) ** (1 / 2.2)) for i in range(288)]
pca = [(i * 2) << 16 | int(128 + 32 * math.sin(math.radians(2 * i))) for i in range(180)]
tables = struct.pack("<%dI" % (288 + 180), *(ggm + pca))

jpeg = b"\xFF\xD8"
jpeg += segment(0xFFE2, debug(0xF0F1F202, []))
jpeg += segment(0xFFE6, debug(0xF0F1F202, [ae, af, awb, strobe, flicker]))
jpeg += segment(0xFFE5, debug(0xF8F9FAFB, cam))
jpeg += segment(0xFFE7, debug(0xF4F5F6F7, [isp], struct.pack("<2203I", *awb_words)))
jpeg += struct.pack(">HH", 0xFFE9, len(tables) - 2) + tables[4:]

# An 8 x 8 mid-grey baseline image: every coefficient 0, one-code Huffman
# tables (DC category 0, AC end-of-block), entropy data "00" padded with 1s.
jpeg += segment(0xFFDB, b"\x00" + b"\x01" * 64)
jpeg += segment(0xFFC0, b"\x08\x00\x08\x00\x08\x01\x01\x11\x00")
jpeg += segment(0xFFC4, b"\x00" + b"\x01" + b"\x00" * 15 + b"\x00")
jpeg += segment(0xFFC4, b"\x10" + b"\x01" + b"\x00" * 15 + b"\x00")
jpeg += segment(0xFFDA, b"\x01\x01\x00\x00\x3F\x00")
jpeg += b"\x3F\xFF\xD9"

with open(os.path.join(HERE, "example.jpg"), "wb") as f:
    f.write(jpeg)
