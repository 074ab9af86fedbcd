/* The smallest WebSocket client and server the viewer's tools need, on node's own net and
 * crypto (no packages): binary and text frames up to 2^32 bytes, no extensions, no
 * fragmentation. The server is the browser test's stub; the client records captures from a
 * running profiler. */
"use strict";
const net = require("net");
const crypto = require("crypto");

const GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

function frame(payload, opcode, masked) {
    const n = payload.length;
    const head = [0x80 | opcode];
    const maskBit = masked ? 0x80 : 0;
    if (n < 126) head.push(maskBit | n);
    else if (n < 65536) head.push(maskBit | 126, n >> 8, n & 255);
    else head.push(maskBit | 127, 0, 0, 0, 0, (n >>> 24) & 255, (n >>> 16) & 255, (n >>> 8) & 255, n & 255);
    if (!masked) return Buffer.concat([Buffer.from(head), payload]);
    const mask = crypto.randomBytes(4);
    const body = Buffer.from(payload);
    for (let i = 0; i < n; ++i) body[i] ^= mask[i & 3];
    return Buffer.concat([Buffer.from(head), mask, body]);
}

/* Feeds bytes, calls onMessage(payload, opcode) per complete frame. */
function frameReader(onMessage) {
    let pending = Buffer.alloc(0);
    return (chunk) => {
        pending = pending.length ? Buffer.concat([pending, chunk]) : chunk;
        for (;;) {
            if (pending.length < 2) return;
            const opcode = pending[0] & 15;
            let n = pending[1] & 127;
            let at = 2;
            if (n === 126) {
                if (pending.length < 4) return;
                n = pending.readUInt16BE(2);
                at = 4;
            } else if (n === 127) {
                if (pending.length < 10) return;
                n = pending.readUInt32BE(6);
                at = 10;
            }
            const masked = (pending[1] & 128) !== 0;
            const mask = masked ? pending.subarray(at, at + 4) : null;
            if (masked) at += 4;
            if (pending.length < at + n) return;
            const payload = Buffer.from(pending.subarray(at, at + n));
            if (mask) for (let i = 0; i < n; ++i) payload[i] ^= mask[i & 3];
            pending = pending.subarray(at + n);
            onMessage(payload, opcode);
        }
    };
}

/* Connects to ws://host:port; resolves to { send(buffer|string), close(), onmessage }. */
function connect(url, timeoutMs = 5000) {
    const u = new URL(url);
    return new Promise((resolve, reject) => {
        const socket = net.connect(Number(u.port || 80), u.hostname);
        const key = crypto.randomBytes(16).toString("base64");
        const timer = setTimeout(() => {
            socket.destroy();
            reject(new Error(`no handshake from ${url}`));
        }, timeoutMs);
        socket.on("error", (e) => {
            clearTimeout(timer);
            reject(e);
        });
        socket.on("connect", () =>
            socket.write(
                `GET ${u.pathname} HTTP/1.1\r\nHost: ${u.host}\r\nUpgrade: websocket\r\n` +
                    `Connection: Upgrade\r\nSec-WebSocket-Key: ${key}\r\nSec-WebSocket-Version: 13\r\n\r\n`,
            ),
        );
        let head = Buffer.alloc(0);
        // Messages can arrive in the same read as the handshake answer, before the caller has
        // had a chance to set onmessage: they wait for it instead of going nowhere.
        let pending = [];
        let handler = null;
        const conn = {
            get onmessage() {
                return handler;
            },
            set onmessage(f) {
                handler = f;
                const held = pending;
                pending = [];
                for (const [p, op] of held) f(p, op);
            },
            send(data) {
                const text = typeof data === "string";
                socket.write(frame(text ? Buffer.from(data) : Buffer.from(data), text ? 1 : 2, true));
            },
            close() {
                // A close frame first: without it the server keeps the viewer until a send fails.
                socket.end(frame(Buffer.alloc(0), 8, true));
            },
        };
        const reader = frameReader((p, op) => (handler ? handler(p, op) : pending.push([p, op])));
        const onData = (chunk) => {
            head = Buffer.concat([head, chunk]);
            const endAt = head.indexOf("\r\n\r\n");
            if (endAt < 0) return;
            clearTimeout(timer);
            const expect = crypto.createHash("sha1").update(key + GUID).digest("base64");
            if (!head.subarray(0, endAt).toString().includes(expect)) {
                socket.destroy();
                reject(new Error("bad handshake answer"));
                return;
            }
            socket.off("data", onData);
            socket.on("data", reader);
            resolve(conn);
            const rest = head.subarray(endAt + 4);
            if (rest.length) reader(rest);
        };
        socket.on("data", onData);
    });
}

/* A server on 127.0.0.1:port. onConnection(peer) gets { send(buffer), close(), onmessage }. */
function serve(port, onConnection) {
    const server = net.createServer((socket) => {
        let head = Buffer.alloc(0);
        socket.on("error", () => {});
        const peer = {
            onmessage: () => {},
            closed: false,
            send(data) {
                if (!peer.closed) socket.write(frame(Buffer.from(data), 2, false));
            },
            close() {
                peer.closed = true;
                socket.destroy();
            },
            socket,
        };
        socket.on("close", () => (peer.closed = true));
        const reader = frameReader((p, op) => {
            if (op === 8) peer.close();
            else peer.onmessage(p, op);
        });
        const onData = (chunk) => {
            head = Buffer.concat([head, chunk]);
            const endAt = head.indexOf("\r\n\r\n");
            if (endAt < 0) return;
            const key = /Sec-WebSocket-Key:\s*(\S+)/i.exec(head.toString());
            if (!key) return socket.destroy();
            const accept = crypto.createHash("sha1").update(key[1] + GUID).digest("base64");
            socket.write(
                "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" +
                    `Sec-WebSocket-Accept: ${accept}\r\n\r\n`,
            );
            socket.off("data", onData);
            socket.on("data", reader);
            onConnection(peer);
        };
        socket.on("data", onData);
    });
    return new Promise((resolve, reject) => {
        server.once("error", reject);
        server.listen(port, "127.0.0.1", () => resolve(server));
    });
}

module.exports = { connect, serve };
