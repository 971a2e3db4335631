"""WebSocket handshakes and frames as the tests' own peers write and read them."""
import asyncio
import base64
import contextlib
import hashlib

KEY = b"dGhlIHNhbXBsZSBub25jZQ=="


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


async def accept_upgrade(reader, writer):
    """A server under test's side of the handshake: reads the request head and
    answers it with a 101."""
    head = await reader.readuntil(b"\r\n\r\n")
    key = next(line.split(b":", 1)[1].strip() for line in head.split(b"\r\n")
               if line.lower().startswith(b"sec-websocket-key:"))
    accept = base64.b64encode(hashlib.sha1(key + b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11").digest())
    writer.write(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 b"Sec-WebSocket-Accept: " + accept + b"\r\n\r\n")


async def request_case(port, number):
    """A client under test's side of the handshake for case `number` of a server
    run; (reader, writer) once the response head has been read."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(f"GET /?case={number} HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
                 "Connection: Upgrade\r\nSec-WebSocket-Key: ".encode() + KEY +
                 b"\r\nSec-WebSocket-Version: 13\r\n\r\n")
    await reader.readuntil(b"\r\n\r\n")
    return reader, writer
