#!/usr/bin/env python3
"""Writes the decoder fuzzer's large inputs into the folder given: messages near and past the
limits on what one message may decode to, which the small files in fuzz/corpus never reach.
Generated at build time rather than kept in the repository.

    fuzz/large-corpus.py build-fuzz/corpus-large
"""

import os
import struct
import sys

NIL = b"\xc0"


def array(count):
    return b"\xdd" + struct.pack(">I", count)


def map_header(count):
    return b"\xdf" + struct.pack(">I", count)


def text(value):
    data = value.encode()
    return b"\xd9" + bytes([len(data)]) + data if len(data) < 256 else b"\xda" + struct.pack(">H", len(data)) + data


def binary(data):
    return b"\xc6" + struct.pack(">I", len(data)) + data


UUID = binary(bytes(range(16)))


def request(msgid, method, params):
    return b"\x94\x00\xce" + struct.pack(">I", msgid) + text(method) + array(len(params)) + b"".join(params)


def integer(value):
    return b"\xd3" + struct.pack(">q", value)


def nested(depth, width):
    """Arrays `width` wide, nested `depth` levels, nils at the bottom."""
    if depth == 0:
        return NIL
    return array(width) + nested(depth - 1, width) * width


def inputs():
    wide = array(65536) + NIL * 65536
    environment = map_header(65536) + b"".join(text(f"V{i}") + text("v") for i in range(65536))
    yield "fan-out-at-the-bound", array(3) + wide * 3
    yield "fan-out-past-the-bound", array(5) + wide * 5
    yield "fan-out-nested-17-levels", nested(17, 2)
    yield "deep-and-wide", nested(31, 1)[:-1] + wide
    yield "open-with-65536-variables", request(1, "openShell", [
        UUID, integer(80), integer(24), text("/home"), NIL, environment])
    yield "write-of-512-KiB", b"\x93\x02" + text("write") + b"\x92" + UUID + binary(b"\x1b[0m" * 131072)
    yield "hello-20000-times", b"".join(request(i, "hello", [integer(1)]) for i in range(20000))


def main():
    if len(sys.argv) != 2:
        sys.exit(f"usage: {sys.argv[0]} FOLDER")
    os.makedirs(sys.argv[1], exist_ok=True)
    for name, data in inputs():
        with open(os.path.join(sys.argv[1], name + ".msgpack"), "wb") as output:
            output.write(data)


if __name__ == "__main__":
    main()
