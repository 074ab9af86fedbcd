#!/usr/bin/python3
"""A real WebSocket client against the running profiler.

Starts the host program given on the command line (for the Windows build: the Wine command
and the program), connects to TCP port 17815 of 127.0.0.1 with Debian's websockets library,
and checks what a viewer receives: a ping, the log line of a scope name, a sample tree from
one of the host's threads with the expected shape, the answer to a name query and the echo of
console input. Then it closes the host's standard input, which stops the host.

    profiler_client.py <host command...>
"""
import asyncio
import struct
import subprocess
import sys
import time

import websockets


def murmur3(data, seed=0):
    """The 32-bit name hash, written here independently of the library."""
    c1, c2 = 0xCC9E2D51, 0x1B873593
    h = seed
    length = len(data)
    for i in range(0, length - length % 4, 4):
        k = struct.unpack_from("<I", data, i)[0]
        k = (k * c1) & 0xFFFFFFFF
        k = ((k << 15) | (k >> 17)) & 0xFFFFFFFF
        k = (k * c2) & 0xFFFFFFFF
        h ^= k
        h = ((h << 13) | (h >> 19)) & 0xFFFFFFFF
        h = (h * 5 + 0xE6546B64) & 0xFFFFFFFF
    tail = data[length - length % 4:]
    k = 0
    for i, b in enumerate(tail):
        k |= b << (8 * i)
    if tail:
        k = (k * c1) & 0xFFFFFFFF
        k = ((k << 15) | (k >> 17)) & 0xFFFFFFFF
        k = (k * c2) & 0xFFFFFFFF
        h ^= k
    h ^= length
    h ^= h >> 16
    h = (h * 0x85EBCA6B) & 0xFFFFFFFF
    h ^= h >> 13
    h = (h * 0xC2B2AE35) & 0xFFFFFFFF
    h ^= h >> 16
    return h


def log_line(text):
    data = text.encode()
    return b"LOGM" + struct.pack("<I", len(data)) + data


def parse_tree(message):
    """Thread name and (name hash, child count) of every record, in order."""
    assert message[:4] == b"SMPL"
    total, name_length = struct.unpack_from("<II", message, 4)
    assert total == len(message), (total, len(message))
    thread = message[12:12 + name_length].decode()
    at = 12 + name_length
    count, _digest = struct.unpack_from("<II", message, at)
    at += 8
    records = []
    for _ in range(count):
        name_hash = struct.unpack_from("<I", message, at)[0]
        colour = message[at + 8:at + 15]
        assert colour[:1] == b"#" and all(c in b"456789abcdef" for c in colour[1:]), colour
        children = struct.unpack_from("<I", message, at + 47)[0]
        records.append((name_hash, children))
        at += 51
    assert at == len(message)
    return thread, records


async def receive_until(ws, accept, seconds=20):
    deadline = time.monotonic() + seconds
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError("the expected message did not arrive")
        message = await asyncio.wait_for(ws.recv(), left)
        if accept(message):
            return message


async def talk():
    deadline = time.monotonic() + 30
    while True:
        try:
            ws = await websockets.connect("ws://127.0.0.1:17815", ping_interval=None,
                                          max_size=None, compression=None, close_timeout=1)
            break
        except OSError:
            if time.monotonic() > deadline:
                raise
            await asyncio.sleep(0.2)
    try:
        await receive_until(ws, lambda m: m == b"PING\0")
        await receive_until(ws, lambda m: m == log_line("host_frame"))

        expected = [(murmur3(b"host_frame"), 2), (murmur3(b"host_update"), 0),
                    (murmur3(b"host_render"), 0)]
        tree = await receive_until(
            ws, lambda m: m[:4] == b"SMPL" and parse_tree(m)[0] != "Profiler")
        thread, records = parse_tree(tree)
        assert thread.startswith("Thread"), thread
        assert records == expected, records

        await ws.send(b"GSMP" + str(murmur3(b"host_update")).encode())
        answer = await receive_until(ws, lambda m: m[:4] == b"SSMP")
        assert answer == b"SSMP" + struct.pack("<II", murmur3(b"host_update"), 11) + \
            b"host_update", answer

        await ws.send("CONIfrom python")
        await receive_until(ws, lambda m: m == log_line("Console message received..."))
        await receive_until(ws, lambda m: m == log_line("from python"))
    finally:
        await ws.close()


def main():
    host = subprocess.Popen(sys.argv[1:], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True)
    try:
        for line in host.stdout:
            if line.startswith("ready"):
                assert line.strip() == "ready 0", line
                break
        asyncio.run(talk())
    finally:
        host.stdin.close()
    rest = host.stdout.read()
    code = host.wait(timeout=60)
    assert code == 0, code
    assert "stopped" in rest, rest
    print("profiler_client: ping, log line, tree, name answer and console echo received")


if __name__ == "__main__":
    main()
