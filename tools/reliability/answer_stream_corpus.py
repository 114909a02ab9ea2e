#!/usr/bin/env python3
"""Writes the seed corpus of fuzz/answer_stream.cpp: whole conversations a programmer could
answer to the target's fixed sequence of requests, plus a few with faults in them.

Usage: tools/reliability/answer_stream_corpus.py [OUTPUT_DIR]   (default fuzz/corpus/answer_stream)
Input layout: flags, page size, page count, fail-write-at, then the answer bytes."""

import os
import sys


def pkt(code, payload=b""):
    payload = bytes(payload)
    return bytes([0x48, 0x56, code, len(payload) >> 8, len(payload) & 0xFF]) + payload


SIG = [0x1E, 0x95, 0x0F]
ACK = pkt(0xDD)


def conversation(memory, fuse_bytes, lock=0x3C, broken=None):
    """Answers for: version, signature, identify, read, verify, write, blank check, read and
    verify fuses, write fuses, read and verify lock, write lock, erase, calibration, detect
    and set ISP clock. memory is the chip's bytes of the requested area; broken maps a step
    name to the answers that replace that step's."""
    broken = broken or {}
    chunks = [memory[i:i + 256] for i in range(0, len(memory), 256)]
    steps = [
        ("version", [pkt(0xDA, [1, 7])]),
        ("signature", [pkt(0xD1, SIG)]),
        ("identify", [pkt(0xD2, [0]), pkt(0xD1, SIG)]),
        ("read", [ACK] + [pkt(0xD4, c) for c in chunks] + [pkt(0xD8)]),
        ("verify", [ACK] + [pkt(0xD4, c) for c in chunks] + [pkt(0xD8)]),
        ("write", [pkt(0xD5)] + [pkt(0xD6)] * 0 + [pkt(0xD7)]),
        ("blank", [pkt(0xDC, [0])]),
        ("readfuses", [pkt(0xD3, fuse_bytes)]),
        ("verifyfuses", [pkt(0xD3, fuse_bytes)]),
        ("writefuses", [ACK]),
        ("readlock", [pkt(0xD3, [lock])]),
        ("verifylock", [pkt(0xD3, [lock])]),
        ("writelock", [ACK]),
        ("erase", [ACK]),
        ("calibration", [pkt(0xD9, [0xA1])]),
        ("detect", [pkt(0xD2, [3])]),
        ("set", [pkt(0xD2, [3])]),
    ]
    out = b""
    for name, answers in steps:
        out += b"".join(broken.get(name, answers))
    return out


def write_answers(pages):
    """Answers to a memory write of the given number of data packets."""
    return [pkt(0xD5)] + [pkt(0xD6)] * (pages - 1) + [pkt(0xD7)]


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(__file__), "..", "..", "fuzz", "corpus", "answer_stream")
    os.makedirs(out_dir, exist_ok=True)
    seeds = {}
    # EEPROM, 2 pages of 4 bytes, every fuse byte and the lock byte.
    eeprom = bytes(range(1, 9))
    seeds["eeprom_all_fine"] = bytes([0x1F, 4, 2, 0]) + conversation(
        eeprom, [0x62, 0xD9, 0xFF], broken={"write": write_answers(1)})
    # Flash, 8 pages of 32 words (512 bytes: two chunks, two write packets), low and high only.
    flash = bytes((i * 7) & 0xFF for i in range(512))
    seeds["flash_two_chunks"] = bytes([0x16, 32, 8, 0]) + conversation(
        flash, [0xE1, 0xD9], broken={"write": write_answers(2)})
    # Device errors: the read refused (error 2, recover acknowledged), the erase refused with
    # error 6 and its recover refused again.
    seeds["device_errors"] = bytes([0x1F, 4, 2, 0]) + conversation(
        eeprom, [0x62, 0xD9, 0xFF],
        broken={"read": [pkt(0xEF, [2]), ACK],
                "write": write_answers(1),
                "erase": [pkt(0xEF, [6]), pkt(0xEF, [1]), pkt(0xEF, [1]), pkt(0xEF, [1])]})
    # Garbled answers: a bad header in the middle of the read, an oversize fuse answer.
    seeds["garbled"] = bytes([0x1F, 4, 2, 0]) + conversation(
        eeprom, [0x62, 0xD9, 0xFF],
        broken={"read": [ACK, b"\xAA\x55\xD4\x00\x08" + eeprom],
                "write": write_answers(1),
                "readfuses": [pkt(0xD3, bytes(257))]})
    # A data stream longer than the area, a write answered "next" after its last packet.
    seeds["out_of_step"] = bytes([0x1F, 4, 2, 0]) + conversation(
        eeprom, [0x62, 0xD9, 0xFF],
        broken={"read": [ACK, pkt(0xD4, eeprom), pkt(0xD4, b"\xFF" * 256), pkt(0xD8)],
                "write": [pkt(0xD5), pkt(0xD6)]})
    # The port fails on the fifth write.
    seeds["write_fails"] = bytes([0x1F, 4, 2, 5]) + conversation(
        eeprom, [0x62, 0xD9, 0xFF], broken={"write": write_answers(1)})
    # Flash pages of 200 words (400 bytes) go in pieces of 256 and 144 bytes.
    big = bytes((i * 3) & 0xFF for i in range(800))
    seeds["flash_large_pages"] = bytes([0x12, 200, 2, 0]) + conversation(
        big, [0x62], broken={"write": write_answers(4)})
    for name, data in seeds.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
