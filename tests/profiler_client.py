#!/usr/bin/python3
"""A real WebSocket client against the running profiler.

Starts the host program given on the command line (for the Windows build: the Wine command
and the program) on a free port of 127.0.0.1 (QV_SYS_PROFILER_PORT), connects with Debian's
websockets library, and checks what a viewer receives: a ping, the log line of a scope name, a
sample tree from one of the host's threads with the expected shape, the answer to a name query
and the echo of console input. Then it closes the host's standard input, which stops the host.
A second run does the same in streaming mode (QV_SYS_PROFILER_STREAM=1): names arrive before
the trees that use them, no log line per scope, named threads, and a library thread's frames
while it runs.

    profiler_client.py <host command...>
"""
import asyncio
import os
import socket
import struct
import subprocess
import sys
import time

import websockets


def murmur3(data, seed=0):
    """The 32-bit name hash, computed here in Python, apart from the library."""
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


async def connect(port):
    deadline = time.monotonic() + 30
    while True:
        try:
            return await websockets.connect("ws://127.0.0.1:%d" % port, ping_interval=None,
                                          max_size=None, compression=None, close_timeout=1)
        except OSError:
            if time.monotonic() > deadline:
                raise
            await asyncio.sleep(0.2)


async def talk(port):
    ws = await connect(port)
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


async def talk_streaming(port):
    ws = await connect(port)
    try:
        names = {}
        seen = set()
        deadline = time.monotonic() + 30
        while not {"host_a", "host_b", "worker"} <= seen:
            message = await asyncio.wait_for(ws.recv(), max(deadline - time.monotonic(), 0.1))
            if message[:4] == b"SSMP":
                name_hash, length = struct.unpack_from("<II", message, 4)
                assert name_hash not in names, "name pushed twice on one connection"
                names[name_hash] = message[12:12 + length].decode()
            elif message[:4] == b"SMPL":
                thread, records = parse_tree(message)
                assert all(h in names for h, _ in records), "a tree before its names"
                if thread != "Profiler":
                    root = names[records[0][0]]
                    assert root in ("host_frame", "worker_frame"), root
                    assert (root == "worker_frame") == (thread == "worker"), (thread, root)
                    seen.add(thread)
            elif message[:4] == b"LOGM":
                assert message[8:] not in (b"host_frame", b"worker_frame"), message
    finally:
        await ws.close()


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run_host(command, environment, conversation):
    port = free_port()
    env = dict(os.environ, QV_SYS_PROFILER_PORT=str(port), **environment)
    host = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                            env=env)
    try:
        for line in host.stdout:
            if line.startswith("ready"):
                assert line.strip() == "ready 0", line
                break
        asyncio.run(conversation(port))
    finally:
        host.stdin.close()
    rest = host.stdout.read()
    code = host.wait(timeout=60)
    assert code == 0, code
    assert "stopped" in rest, rest


def main():
    run_host(sys.argv[1:], {}, talk)
    print("profiler_client: ping, log line, tree, name answer and console echo received")
    run_host(sys.argv[1:] + ["--streaming-host"], {"QV_SYS_PROFILER_STREAM": "1"},
             talk_streaming)
    print("profiler_client: streaming mode: names first, named threads, library thread frames")


if __name__ == "__main__":
    main()
