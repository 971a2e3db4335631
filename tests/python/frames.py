"""WebSocket frames as the tests' own peers write and read them."""
import contextlib


def xor_mask(data, key):
    n = len(data)
    stream = (key * (n // 4 + 1))[:n]
    return (int.from_bytes(data, "big") ^ int.from_bytes(stream, "big")).to_bytes(n, "big")


def frame(opcode, payload=b"", fin=True, rsv=0, mask=None, length=None):
    n = len(payload) if length is None else length
    mbit = 0x80 if mask else 0
    head = bytes([(0x80 if fin else 0) | (rsv << 4) | opcode])
    if n < 126:
        head += bytes([mbit | n])
    elif n < 65536:
        head += bytes([mbit | 126]) + n.to_bytes(2, "big")
    else:
        head += bytes([mbit | 127]) + n.to_bytes(8, "big")
    if mask:
        head += mask
        payload = xor_mask(payload, mask)
    return head + payload


async def read_frame(reader):
    """(fin, rsv, opcode, masked, payload)"""
    b0, b1 = await reader.readexactly(2)
    n = b1 & 0x7F
    if n == 126:
        n = int.from_bytes(await reader.readexactly(2), "big")
    elif n == 127:
        n = int.from_bytes(await reader.readexactly(8), "big")
    key = await reader.readexactly(4) if b1 & 0x80 else None
    data = await reader.readexactly(n)
    if key:
        data = xor_mask(data, key)
    return bool(b0 & 0x80), (b0 >> 4) & 7, b0 & 0x0F, key is not None, data


async def close_and_collect(writer):
    """Closes the peer's side and collects how the connection ended: a case that
    drops its connection may have reset it."""
    writer.close()
    with contextlib.suppress(ConnectionError):
        await writer.wait_closed()
