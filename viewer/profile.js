/* The viewer's data side, free of the page: decoding the profiler's messages, the ring of
 * frame trees with their name table, statistics over a time range, flame merging, capture
 * files and the trace-event export. A classic script (module scripts do not load from
 * file://) that also loads in node for the decoder tests. */
(function (root, factory) {
    const api = factory();
    if (typeof module === "object" && module.exports) module.exports = api;
    else root.QvProfile = api;
})(typeof self !== "undefined" ? self : this, function () {
    "use strict";

    const RECORD = 51; // bytes of one sample record
    const MAX_THREAD_NAME = 255;
    const MAX_NAME = 244;
    const MAX_DEPTH = 255; // depths are kept in bytes; deeper trees are refused, not wrapped

    const latin = new TextDecoder("utf-8", { fatal: false });

    class DecodeError extends Error {}

    const stackIndex = new Uint32Array(MAX_DEPTH + 1); // the tree decoder's, reused
    const stackLeft = new Uint32Array(MAX_DEPTH + 1);

    function fail(message) {
        throw new DecodeError(message);
    }

    function ident(bytes) {
        return String.fromCharCode(bytes[0], bytes[1], bytes[2], bytes[3]);
    }

    /* Reads one sample tree. Records are fixed-size and in pre-order, so the tree keeps its
     * raw bytes and only two small arrays beside them: each record's depth and the index
     * just past its subtree (what the timeline needs to skip whole subtrees that are too
     * small to see). */
    function decodeTree(bytes, view) {
        if (bytes.length < 20) fail(`SMPL of ${bytes.length} bytes is too short`);
        const total = view.getUint32(4, true);
        if (total !== bytes.length) fail(`SMPL says ${total} bytes but ${bytes.length} arrived`);
        const nameLength = view.getUint32(8, true);
        if (nameLength > MAX_THREAD_NAME || 12 + nameLength + 8 > bytes.length)
            fail(`SMPL thread name of ${nameLength} bytes does not fit`);
        const thread = latin.decode(bytes.subarray(12, 12 + nameLength));
        let at = 12 + nameLength;
        const count = view.getUint32(at, true);
        const digest = view.getUint32(at + 4, true);
        at += 8;
        if (count === 0) fail("SMPL holds no sample");
        if (at + count * RECORD !== bytes.length)
            fail(`SMPL of ${count} samples needs ${at + count * RECORD} bytes, has ${bytes.length}`);

        const depth = new Uint8Array(count);
        const end = new Uint32Array(count);
        // Open records as (index, children still expected); children follow in pre-order.
        let top = -1;
        for (let i = 0; i < count; ++i) {
            const o = at + i * RECORD;
            if (i > 0 && top < 0) fail(`SMPL sample ${i} lies outside the root`);
            if (top >= 0) stackLeft[top]--;
            const d = top + 1;
            if (d > MAX_DEPTH) fail(`SMPL nests deeper than ${MAX_DEPTH}`);
            depth[i] = d;
            const children = view.getUint32(o + 47, true);
            if (children > count - i - 1) fail(`SMPL sample ${i} claims ${children} children`);
            const len = view.getFloat64(o + 23, true);
            if (!Number.isFinite(view.getFloat64(o + 15, true)) || !Number.isFinite(len) || len < 0)
                fail(`SMPL sample ${i} has no valid time`);
            if (bytes[o + 8] !== 0x23) fail(`SMPL sample ${i} colour does not start with #`);
            stackIndex[d] = i;
            stackLeft[d] = children;
            top = d;
            while (top >= 0 && stackLeft[top] === 0) {
                end[stackIndex[top]] = i + 1;
                top--;
            }
        }
        if (top >= 0) fail("SMPL ends before its last samples' children");

        const tree = {
            thread,
            digest,
            count,
            bytes,
            view,
            base: at,
            depth,
            end,
            maxDepth: 0,
            start: view.getFloat64(at + 15, true),
            length: view.getFloat64(at + 23, true),
            arrival: 0,
            stats: null,
        };
        for (let i = 0; i < count; ++i) if (depth[i] > tree.maxDepth) tree.maxDepth = depth[i];
        tree.stats = treeStats(tree);
        return tree;
    }

    /* Per-name sums of one tree, made once on arrival so that statistics over a range only
     * merge a few entries per frame instead of walking every sample again. */
    function treeStats(tree) {
        const acc = new Map();
        for (let i = 0; i < tree.count; ++i) {
            const h = recHash(tree, i);
            const len = recLength(tree, i);
            let a = acc.get(h);
            if (!a) acc.set(h, (a = [0, 0, 0, 0]));
            a[0] += recCalls(tree, i);
            a[1] += len;
            a[2] += recSelf(tree, i);
            if (len > a[3]) a[3] = len;
        }
        const hashes = new Uint32Array(acc.size);
        const values = new Float64Array(acc.size * 4);
        let k = 0;
        for (const [h, a] of acc) {
            hashes[k] = h;
            values.set(a, k * 4);
            ++k;
        }
        return { hashes, values };
    }

    const recOffset = (t, i) => t.base + i * RECORD;
    const recHash = (t, i) => t.view.getUint32(t.base + i * RECORD, true);
    const recStart = (t, i) => t.view.getFloat64(t.base + i * RECORD + 15, true);
    const recLength = (t, i) => t.view.getFloat64(t.base + i * RECORD + 23, true);
    const recSelf = (t, i) => t.view.getFloat64(t.base + i * RECORD + 31, true);
    const recCalls = (t, i) => t.view.getUint32(t.base + i * RECORD + 39, true);
    const recChildren = (t, i) => t.view.getUint32(t.base + i * RECORD + 47, true);
    const recColour = (t, i) => {
        const o = t.base + i * RECORD + 8;
        return String.fromCharCode(...t.bytes.subarray(o, o + 7));
    };

    /* One message from the server, as bytes. Gives a plain object, or throws DecodeError with
     * a sentence a person can read. */
    function decodeMessage(input) {
        const bytes = input instanceof Uint8Array ? input : new Uint8Array(input);
        if (bytes.length < 4) fail(`message of ${bytes.length} bytes has no identifier`);
        const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
        const id = ident(bytes);
        switch (id) {
            case "PING":
                return { kind: "ping" };
            case "LOGM": {
                if (bytes.length < 8) fail("LOGM without a length");
                const n = view.getUint32(4, true);
                if (8 + n !== bytes.length) fail(`LOGM says ${n} text bytes, has ${bytes.length - 8}`);
                return { kind: "log", text: latin.decode(bytes.subarray(8)) };
            }
            case "SSMP": {
                if (bytes.length < 12) fail("SSMP too short");
                const n = view.getUint32(8, true);
                if (n > MAX_NAME || 12 + n !== bytes.length)
                    fail(`SSMP says ${n} name bytes, has ${bytes.length - 12}`);
                return {
                    kind: "name",
                    hash: view.getUint32(4, true),
                    name: latin.decode(bytes.subarray(12)),
                };
            }
            case "DROP":
                if (bytes.length !== 12) fail(`DROP of ${bytes.length} bytes, not 12`);
                return { kind: "drop", trees: view.getUint32(4, true), logs: view.getUint32(8, true) };
            case "SMPL":
                return { kind: "tree", tree: decodeTree(bytes, view) };
            default:
                fail(`unknown message ${JSON.stringify(id)}`);
        }
    }

    /* Everything received, bounded to the last `ringSeconds` of arrival time. Raw messages are
     * kept beside the decoded trees so that a capture saves exactly what arrived; names are
     * kept for the whole session, since a name is sent once and its trees may come later. */
    class Session {
        constructor(options = {}) {
            this.ringSeconds = options.ringSeconds || 60;
            this.threads = new Map(); // name -> { name, trees, head }
            this.names = new Map(); // hash -> name
            this.requested = new Set(); // hashes asked for on this connection
            this.slots = new Map(); // hash -> dense number
            this.slotHashes = [];
            this.nameMessages = []; // { t, bytes }, kept whole
            this.raw = []; // { t, bytes }, the ring
            this.rawHead = 0;
            this.rawBytes = 0;
            this.logs = [];
            this.logHead = 0;
            this.drops = []; // { t, at (profile us), trees, logs }
            this.errors = 0;
            this.lastError = "";
            this.received = 0;
            this.latest = 0; // newest arrival time (ms)
            this.newestUs = 0; // end of the newest tree (profile us)
            this.oldestUs = Infinity;
            this.droppedTrees = 0;
            this.droppedLogs = 0;
        }

        /* Takes one message that arrived at `t` (ms). Gives the name hashes to ask the server
         * for ("GSMP"), each once per connection. A malformed message counts as an error,
         * is remembered for the status line and changes nothing else. */
        ingest(bytes, t) {
            bytes = bytes instanceof Uint8Array ? bytes : new Uint8Array(bytes);
            this.received++;
            let msg;
            try {
                msg = decodeMessage(bytes);
            } catch (e) {
                if (!(e instanceof DecodeError)) throw e;
                this.errors++;
                this.lastError = e.message;
                return null;
            }
            if (t > this.latest) this.latest = t;
            const entry = { t, bytes };
            switch (msg.kind) {
                case "ping":
                    return null; // not kept: carries nothing a replay would show
                case "name":
                    this.names.set(msg.hash, msg.name);
                    this.nameMessages.push(entry);
                    return null;
                case "log":
                    this.logs.push({ t, text: msg.text });
                    break;
                case "drop":
                    this.drops.push({ t, at: this.newestUs, trees: msg.trees, logs: msg.logs });
                    this.droppedTrees += msg.trees;
                    this.droppedLogs += msg.logs;
                    break;
                case "tree":
                    return this.addTree(msg.tree, entry);
            }
            this.keep(entry);
            return null;
        }

        keep(entry) {
            this.raw.push(entry);
            this.rawBytes += entry.bytes.length;
        }

        addTree(tree, entry) {
            tree.arrival = entry.t;
            let th = this.threads.get(tree.thread);
            if (!th) {
                th = { name: tree.thread, trees: [], head: 0, maxDepth: 0 };
                this.threads.set(tree.thread, th);
            }
            // Trees of one thread arrive in order; keep them sorted by start regardless.
            const list = th.trees;
            let k = list.length;
            while (k > th.head && list[k - 1].start > tree.start) --k;
            list.splice(k, 0, tree);
            if (tree.maxDepth > th.maxDepth) th.maxDepth = tree.maxDepth;
            const endUs = tree.start + tree.length;
            if (endUs > this.newestUs) this.newestUs = endUs;
            if (tree.start < this.oldestUs) this.oldestUs = tree.start;
            this.keep(entry);
            const ask = [];
            const hashes = tree.stats.hashes;
            // Dense numbers per name, so that range statistics add into flat arrays.
            const ids = (tree.stats.ids = new Uint32Array(hashes.length));
            for (let i = 0; i < hashes.length; ++i) {
                const h = hashes[i];
                let id = this.slots.get(h);
                if (id === undefined) {
                    this.slots.set(h, (id = this.slotHashes.length));
                    this.slotHashes.push(h);
                }
                ids[i] = id;
                if (!this.names.has(h) && !this.requested.has(h)) {
                    this.requested.add(h);
                    ask.push(h);
                }
            }
            return ask.length ? ask : null;
        }

        /* A new connection: the server's "sent" set starts empty, and names it did not know
         * before may be known now. */
        newConnection() {
            this.requested.clear();
        }

        /* Drops what arrived more than ringSeconds before the newest message. A dropped
         * entry's slot is cleared at once, so its bytes are free before the array is
         * compacted (which happens once the dead head is large enough to be worth a move). */
        trim() {
            const cut = this.latest - this.ringSeconds * 1000;
            const compact = (list, head) => {
                if (head >= 1024 && head * 8 >= list.length) {
                    list.splice(0, head);
                    return 0;
                }
                return head;
            };
            while (this.rawHead < this.raw.length && this.raw[this.rawHead].t < cut) {
                this.rawBytes -= this.raw[this.rawHead].bytes.length;
                this.raw[this.rawHead++] = null;
            }
            this.rawHead = compact(this.raw, this.rawHead);
            while (this.logHead < this.logs.length && this.logs[this.logHead].t < cut) this.logs[this.logHead++] = null;
            this.logHead = compact(this.logs, this.logHead);
            while (this.drops.length && this.drops[0].t < cut) this.drops.shift();
            let oldest = Infinity;
            for (const th of this.threads.values()) {
                const list = th.trees;
                while (th.head < list.length && list[th.head].arrival < cut) list[th.head++] = null;
                th.head = compact(list, th.head);
                if (th.head < list.length && list[th.head].start < oldest) oldest = list[th.head].start;
            }
            this.oldestUs = oldest;
        }

        treeCount() {
            let n = 0;
            for (const th of this.threads.values()) n += th.trees.length - th.head;
            return n;
        }

        /* Threads in a stable order: by name, the profiler's own thread last. */
        threadList() {
            return [...this.threads.values()].sort((a, b) => {
                const pa = a.name === "Profiler", pb = b.name === "Profiler";
                if (pa !== pb) return pa ? 1 : -1;
                return a.name < b.name ? -1 : a.name > b.name ? 1 : 0;
            });
        }

        nameOf(hash) {
            const n = this.names.get(hash);
            return n === undefined ? `#${hash}` : n;
        }

        /* Trees of a thread that overlap [t0, t1] (profile us). */
        *treesIn(th, t0, t1) {
            const list = th.trees;
            // Binary search for the first tree starting after t0, then step back over trees
            // that started earlier but still reach into the range.
            let lo = th.head, hi = list.length;
            while (lo < hi) {
                const mid = (lo + hi) >> 1;
                if (list[mid].start < t0) lo = mid + 1;
                else hi = mid;
            }
            let i = lo;
            while (i > th.head && list[i - 1].start + list[i - 1].length >= t0) --i;
            for (; i < list.length && list[i].start <= t1; ++i) {
                const tr = list[i];
                if (tr.start + tr.length >= t0) yield tr;
            }
        }

        /* Per scope name over the frames that overlap [t0, t1]: calls, total, self, mean and
         * max in microseconds. A frame counts whole when any part of it is in the range. */
        statistics(t0, t1) {
            const n = this.slotHashes.length;
            const acc = new Float64Array(n * 4);
            const seen = new Uint8Array(n);
            for (const th of this.threads.values()) {
                for (const tr of this.treesIn(th, t0, t1)) {
                    const { ids, values } = tr.stats;
                    for (let k = 0; k < ids.length; ++k) {
                        const a = ids[k] * 4, v = k * 4;
                        seen[ids[k]] = 1;
                        acc[a] += values[v];
                        acc[a + 1] += values[v + 1];
                        acc[a + 2] += values[v + 2];
                        if (values[v + 3] > acc[a + 3]) acc[a + 3] = values[v + 3];
                    }
                }
            }
            const rows = [];
            for (let id = 0; id < n; ++id) {
                if (!seen[id]) continue;
                const a = id * 4, hash = this.slotHashes[id];
                rows.push({
                    hash,
                    name: this.nameOf(hash),
                    calls: acc[a],
                    total: acc[a + 1],
                    self: acc[a + 2],
                    mean: acc[a] ? acc[a + 1] / acc[a] : 0,
                    max: acc[a + 3],
                });
            }
            return rows;
        }

        /* Every kept message in arrival order with the names first: what a capture holds. */
        retained() {
            return this.nameMessages.concat(this.raw.slice(this.rawHead));
        }
    }

    /* The sample at a given depth that covers time t, or -1. */
    function sampleAt(tree, depthWanted, t) {
        let i = 0;
        while (i < tree.count) {
            const s = recStart(tree, i), e = s + recLength(tree, i);
            if (t < s || t > e) {
                i = tree.end[i];
                continue;
            }
            if (tree.depth[i] === depthWanted) return i;
            ++i; // inside: descend into the children
        }
        return -1;
    }

    /* Merges trees into one call tree by name path: the flame view of one frame, or of every
     * frame in a range. Each node: { hash, total, self, calls, children: Map }. */
    function mergeFlame(trees) {
        const root = { hash: 0, total: 0, self: 0, calls: 0, children: new Map() };
        for (const tree of trees) {
            const stack = [root];
            for (let i = 0; i < tree.count; ++i) {
                const d = tree.depth[i];
                stack.length = d + 1;
                const parent = stack[d];
                const h = recHash(tree, i);
                let node = parent.children.get(h);
                if (!node) parent.children.set(h, (node = { hash: h, total: 0, self: 0, calls: 0, children: new Map() }));
                node.total += recLength(tree, i);
                node.self += recSelf(tree, i);
                node.calls += recCalls(tree, i);
                stack.push(node);
            }
            root.total += tree.length;
        }
        return root;
    }

    /* Capture file: "QVSYSCAP", u32 version (1), u32 message count, then per message a
     * float64 arrival time in ms, a u32 length and the message's bytes, little-endian. */
    const CAPTURE_MAGIC = "QVSYSCAP";

    function encodeCapture(entries) {
        let size = 16;
        for (const e of entries) size += 12 + e.bytes.length;
        const out = new Uint8Array(size);
        const view = new DataView(out.buffer);
        for (let i = 0; i < 8; ++i) out[i] = CAPTURE_MAGIC.charCodeAt(i);
        view.setUint32(8, 1, true);
        view.setUint32(12, entries.length, true);
        let at = 16;
        for (const e of entries) {
            view.setFloat64(at, e.t, true);
            view.setUint32(at + 8, e.bytes.length, true);
            out.set(e.bytes, at + 12);
            at += 12 + e.bytes.length;
        }
        return out;
    }

    function decodeCapture(input) {
        // A plain byte view, so that slices below are copies of their own (a node Buffer's
        // slices share memory, some of it a pool).
        const bytes = ArrayBuffer.isView(input)
            ? new Uint8Array(input.buffer, input.byteOffset, input.byteLength)
            : new Uint8Array(input);
        const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
        if (bytes.length < 16 || latin.decode(bytes.subarray(0, 8)) !== CAPTURE_MAGIC)
            fail("not a capture file");
        if (view.getUint32(8, true) !== 1) fail(`capture version ${view.getUint32(8, true)} is unknown`);
        const count = view.getUint32(12, true);
        const entries = [];
        let at = 16;
        for (let k = 0; k < count; ++k) {
            if (at + 12 > bytes.length) fail(`capture ends inside message ${k}`);
            const t = view.getFloat64(at, true);
            const n = view.getUint32(at + 8, true);
            if (at + 12 + n > bytes.length) fail(`capture ends inside message ${k}`);
            entries.push({ t, bytes: bytes.slice(at + 12, at + 12 + n) });
            at += 12 + n;
        }
        if (at !== bytes.length) fail("capture has bytes after its last message");
        return entries;
    }

    function replay(entries, options) {
        const s = new Session(options);
        for (const e of entries) s.ingest(e.bytes, e.t);
        s.trim();
        return s;
    }

    /* Trace-event JSON: one complete ("X") event per sample, times in microseconds, one
     * thread id per sampler with its name as metadata. */
    function traceEvents(session) {
        const events = [{ ph: "M", name: "process_name", pid: 1, tid: 0, args: { name: "qv_sys" } }];
        let tid = 0;
        for (const th of session.threadList()) {
            ++tid;
            events.push({ ph: "M", name: "thread_name", pid: 1, tid, args: { name: th.name } });
            for (let k = th.head; k < th.trees.length; ++k) {
                const tr = th.trees[k];
                for (let i = 0; i < tr.count; ++i)
                    events.push({
                        ph: "X",
                        name: session.nameOf(recHash(tr, i)),
                        cat: "scope",
                        pid: 1,
                        tid,
                        ts: recStart(tr, i),
                        dur: recLength(tr, i),
                        args: { calls: recCalls(tr, i), self_us: recSelf(tr, i) },
                    });
            }
        }
        return { traceEvents: events, displayTimeUnit: "ms" };
    }

    return {
        RECORD,
        DecodeError,
        decodeMessage,
        Session,
        sampleAt,
        mergeFlame,
        encodeCapture,
        decodeCapture,
        replay,
        traceEvents,
        rec: {
            offset: recOffset,
            hash: recHash,
            start: recStart,
            length: recLength,
            self: recSelf,
            calls: recCalls,
            children: recChildren,
            colour: recColour,
        },
    };
});
