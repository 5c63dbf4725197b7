#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are small inputs in each target's own input layout that reach the
interesting paths at once (a valid reply frame, a reply split over reads, a
discovery answer in bootload mode...), so that a short run already covers
them. Run it again after changing a target's layout.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = os.path.join(HERE, "..", "resources", "package")
SOH, EOT, DLE = 1, 4, 0x10


def crc16(data):
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def frame(body):
    crc = crc16(body)
    body = bytes(body) + bytes([crc & 0xFF, crc >> 8])
    out = bytearray([SOH])
    for b in body:
        if b in (SOH, EOT, DLE):
            out.append(DLE)
        out.append(b)
    out.append(EOT)
    return bytes(out)


def u16(v):
    return struct.pack("<H", v)


def u32(v):
    return struct.pack("<I", v)


def chunks(parts, delay=0):
    """A chunk list: count, then size, delay and bytes of each."""
    out = bytearray([len(parts)])
    for p in parts:
        out += u16(len(p)) + bytes([delay]) + p
    return bytes(out)


def split(data, *cuts):
    pieces, last = [], 0
    for c in cuts:
        pieces.append(data[last:c])
        last = c
    pieces.append(data[last:])
    return pieces


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def properties():
    for name in ("unit.properties", "updater.properties"):
        with open(os.path.join(PACKAGE, name), "rb") as f:
            write("properties_line_fuzz", name, f.read())
    write("properties_line_fuzz", "edges",
          b"\t key \t=\t value \t\r\n=empty key\r\nno equals\r\na=b=c\r\nx=one\\ntwo\\tthree\r\n"
          b"x=second\n\n\rlast line without end")


def hex_lines():
    with open(os.path.join(PACKAGE, "application.hex"), "rb") as f:
        lines = f.read().split(b"\r\n")
    write("hex_line_fuzz", "head", b":" + b"\r\n".join(lines[:24]) + b"\r\n")
    write("hex_line_fuzz", "tail", b"\x10" + b"\r\n".join(lines[-6:]))
    write("hex_line_fuzz", "edges", b"\x00:00000001FF\r\n:\r\n:123\r\n:10ab \t\n\n:0g\r\n")


def frame_receiver():
    def rnd(cmd, tries, timeout, payload, first, resends=(b"\x00", b"\x00")):
        return bytes([cmd, tries]) + u16(timeout) + u16(len(payload)) + payload + first + b"".join(resends)

    version = frame([1, 3, 1, 1])
    seq_version = frame([0x81, 0, 0, 0, 0, 3, 1, 1])
    write("frame_receiver_fuzz", "plain_version",
          b"\x01" + rnd(1, 5, 100, b"", chunks([version])))
    write("frame_receiver_fuzz", "split_escape",
          b"\x00" + rnd(1, 5, 100, b"", chunks(split(b"\x55" + version, 3, 4, 7))))
    # Sequence mode: the version query numbers nothing, the next command is 1.
    records = bytes.fromhex("020000041D00DD") + bytes.fromhex("10B18000") + bytes(16) + b"\x2f"
    write("frame_receiver_fuzz", "sequence",
          b"\x00" + rnd(0x81, 3, 200, b"", chunks([seq_version]))
          + rnd(0x83, 3, 200, records, chunks([frame([0x83, 0, 0, 0, 2, 1]), frame([0x83, 0, 0, 0, 1, 1])])))
    write("frame_receiver_fuzz", "stale_then_good",
          b"\x01" + rnd(0x89, 2, 50, b"", chunks([frame([0x89, 0, 0, 0, 9, 1])]),
                        (chunks([frame([0x89, 0, 0, 0, 1, 8, 0, 1, 0])]), b"\x00")))
    write("frame_receiver_fuzz", "bad_crc_runaway",
          b"\x00" + rnd(6, 2, 30, bytes(72), chunks([b"\x01\x06\x01\x00\x04", bytes(2100)[:2000], frame([6, 1])])))
    write("frame_receiver_fuzz", "identity",
          b"\x01" + rnd(13, 5, 500, b"", chunks([frame([13] + list(b"TQ35B Bootloader\r\nV3.1\r\nVarno TQ35B - Bootload\r\n"))])))


def exchange():
    def seed(cap, timeout, flags, stale, reply):
        return u16(cap) + u16(timeout) + bytes([flags]) + stale + reply

    write("exchange_fuzz", "split_reply", seed(16, 1000, 0x11, chunks([]), chunks([b"<sy,b", b"q = ud/>"])))
    write("exchange_fuzz", "noise_first", seed(32, 1000, 0x22, chunks([b"old>"]), chunks([b"xx", b"x<sy,br/>tail"])))
    write("exchange_fuzz", "never_closes", seed(16, 1000, 0x30, chunks([]), chunks([b"<sy,bq = ud" * 3])))
    write("exchange_fuzz", "gt_before_lt", seed(8, 0, 0x01, chunks([]), chunks([b">>", b"<a>"])))


def discovery():
    rows = bytes([2]) + bytes([10, 77, 0, 1]) + bytes([255, 255, 255, 0]) + bytes([169, 254, 0, 9]) + bytes([255, 255, 0, 0])
    model = bytes([5]) + bytes(c - 0x20 for c in b"TQ35B")

    def answer(sender, text):
        return bytes(sender) + u16(len(text)) + text

    body = answer([10, 77, 0, 9], b"TQ35B-SIM\r\n02-54-51-35-42-00\r\nVarno TQ35B - Bootload\r\n")
    body += answer([169, 254, 7, 9], b"h\r\nm\r\nVarno TQ35B - Application\r\n")
    body += answer([192, 168, 1, 5], b"h\r\nm\r\nVarno TQ35BX - Bootload\r\n")
    body += answer([10, 77, 0, 10], b"")
    body += answer([10, 77, 0, 11], b"h\nm\nVarno TQ35B - Bootload\r\n")
    body += answer([10, 77, 0, 12], b"x" * 300)
    write("discovery_answer_fuzz", "answers", rows + model + body)


def identity():
    write("identity_split_fuzz", "bootload", bytes([11]) + b"TQ35B Bootloader\r\nV3.1\r\nVarno TQ35B - Bootload\r\n")
    write("identity_split_fuzz", "no_end", bytes([11]) + b"a\r\nb\r\nVarno TQ35B - Bootload")
    write("identity_split_fuzz", "short", bytes([40]) + b"a\r\nb\r\nshort")


def text_reply():
    def seed(flags, query, *replies):
        return bytes([flags]) + query + b"".join(replies)

    write("text_reply_fuzz", "serial_entered",
          seed(0, chunks([b"<sy,bq = ue/>"]), chunks([b"<sy,bu = ud/>"]), chunks([b"<sy,be=ue/>"]), chunks([b"<sy,br/>"])))
    write("text_reply_fuzz", "tcp_refused",
          seed(1, chunks([b"<sy,bq=u"]), chunks([b"<sy,bu=ue/>"]), chunks([b"<sy,be = ud/>"]), chunks([b"<sy,br/>"])))
    write("text_reply_fuzz", "upper_case",
          seed(2, chunks([b"junk<sy,bq = ", b"ud/>"]), chunks([b"<SY,BU = UD/>"]), chunks([]), chunks([])))


def main():
    properties()
    hex_lines()
    frame_receiver()
    exchange()
    discovery()
    identity()
    text_reply()
    return 0


if __name__ == "__main__":
    sys.exit(main())
