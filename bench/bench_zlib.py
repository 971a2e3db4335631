"""Compress and decompress 64 KiB and 16 MiB messages with Python's zlib module
(raw deflate, level 6, wbits=-15, sync flush, trailer removed and re-appended),
the same work as BM_Compress / BM_Decompress in bench_deflate.cpp, with the same
data. Rates are of uncompressed bytes."""

import time
import zlib

WORDS = [b"frame ", b"mask ", b"close ", b"ping ", b"opcode ", b"payload "]
TRAILER = b"\x00\x00\xff\xff"


def message(size):
    x, out = 12345, bytearray()
    while len(out) < size:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        r = x >> 16
        if r % 8 == 0:
            out.append((x >> 8) & 0xFF)
        else:
            out += WORDS[r % 6]
    return bytes(out[:size])


def compress(payload):
    c = zlib.compressobj(6, zlib.DEFLATED, -15, 8)
    out = c.compress(payload) + c.flush(zlib.Z_SYNC_FLUSH)
    return out[:-4] if out.endswith(TRAILER) else out


def decompress(data):
    return zlib.decompressobj(-15).decompress(data + TRAILER)


def rate(fn, arg, size, seconds=1.0):
    runs, start = 0, time.perf_counter()
    while True:
        fn(arg)
        runs += 1
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            return size * runs / elapsed / 1e6


def main():
    for size in (64 << 10, 16 << 20):
        payload = message(size)
        compressed = compress(payload)
        assert decompress(compressed) == payload
        print(f"{size:>9} bytes  compress {rate(compress, payload, size):8.1f} MB/s  "
              f"decompress {rate(decompress, compressed, size):8.1f} MB/s  "
              f"ratio {size / len(compressed):.2f}")


if __name__ == "__main__":
    main()
