/* Decoder, session, capture and export tests on bytes the library itself sent: the fixtures
 * were recorded (streaming.qvcap with QV_SYS_PROFILER_STREAM=1) from browser/host.c with
 * browser/record.js after "frames 10": two threads made 10 counted frames each. */
"use strict";
const test = require("node:test");
const assert = require("node:assert");
const fs = require("fs");
const path = require("path");
const P = require("../profile.js");

const fixture = (name) => P.decodeCapture(fs.readFileSync(path.join(__dirname, "fixtures", name)));
const ident = (bytes) => String.fromCharCode(...bytes.subarray(0, 4));
const isCounted = (s, tr) => s.nameOf(P.rec.hash(tr, 0)) === "vt_frame";
const countedThreads = (s) => s.threadList().filter((th) => th.trees.some((tr) => isCounted(s, tr)));
const statsByName = (session) =>
    Object.fromEntries(session.statistics(-Infinity, Infinity).map((r) => [r.name, r]));
const u32 = (n) => {
    const b = new Uint8Array(4);
    new DataView(b.buffer).setUint32(0, n, true);
    return b;
};
const cat = (...parts) => {
    const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
    let at = 0;
    for (const p of parts) out.set(p, at), (at += p.length);
    return out;
};
const ascii = (s) => new TextEncoder().encode(s);

/* The streaming mode's order, made from the default capture's own bytes: no log line per
 * scope, each name pushed before the first tree that uses it, and a drop count. */
function asStreaming(entries) {
    const pushes = entries.filter((e) => ident(e.bytes) === "SSMP");
    const names = new Map(pushes.map((e) => [P.decodeMessage(e.bytes).hash, e.bytes]));
    const scopeNames = new Set(pushes.map((e) => P.decodeMessage(e.bytes).name));
    const sent = new Set();
    const out = [];
    for (const e of entries) {
        const id = ident(e.bytes);
        if (id === "SSMP" || (id === "LOGM" && scopeNames.has(P.decodeMessage(e.bytes).text))) continue;
        const hashes = id === "SMPL" ? P.decodeMessage(e.bytes).tree.stats.hashes : [];
        for (const h of hashes)
            if (!sent.has(h) && names.has(h)) {
                sent.add(h);
                out.push({ t: e.t, bytes: names.get(h) });
            }
        out.push(e);
    }
    out.splice(5, 0, { t: out[5].t, bytes: cat(ascii("DROP"), u32(3), u32(7)) });
    return out;
}

const recorded = fixture("default.qvcap");
const modes = [
    ["default", recorded],
    ["streaming (recorded)", fixture("streaming.qvcap")],
    ["streaming (contract order)", asStreaming(recorded)],
];

test("both modes: every message decodes and the counted frames add up", async (t) => {
    for (const [mode, entries] of modes)
        await t.test(mode, () => {
            const s = new P.Session({ ringSeconds: 3600 });
            let asked = 0;
            for (const e of entries) asked += (s.ingest(e.bytes, e.t) || []).length;
            assert.strictEqual(s.errors, 0, s.lastError);
            const st = statsByName(s);
            const calls = ["vt_frame", "vt_update", "vt_step", "vt_render"].map((n) => st[n].calls);
            assert.deepStrictEqual(calls, [20, 20, 60, 20]);
            // Self time of a frame is what its children leave; a step's length bounds its max.
            assert.ok(st.vt_frame.self < st.vt_frame.total && st.vt_frame.self >= 0);
            assert.ok(st.vt_step.max >= st.vt_step.mean && st.vt_step.max > 0);
            assert.strictEqual(countedThreads(s).length, 2);
            assert.ok(s.threads.has("Profiler"));
            // Every hash a tree used has its name, in every mode.
            for (const r of s.statistics(-Infinity, Infinity)) assert.ok(s.names.has(r.hash), r.name);
            // The default mode asks once per name; names pushed first are never asked for.
            assert.strictEqual(asked, mode === "default" ? s.names.size : 0);
            const drops = mode.includes("contract") ? [3, 7] : [0, 0];
            assert.deepStrictEqual([s.droppedTrees, s.droppedLogs], drops);
            const texts = s.logs.map((l) => l.text);
            const echo = texts.indexOf("Console message received...");
            assert.ok(echo >= 0 && texts[echo + 1] === "fixture console line");
            assert.strictEqual(texts.includes("vt_frame"), mode === "default");
            if (mode.includes("recorded"))
                assert.deepStrictEqual(s.threadList().map((th) => th.name), ["frames1_a", "frames1_b", "ticker", "Profiler"]);
        });
});

test("a counted frame keeps its nesting, depths and subtree ends", () => {
    const s = P.replay(recorded, { ringSeconds: 3600 });
    const th = countedThreads(s)[0];
    const tr = th.trees.find((x) => isCounted(s, x));
    const shape = [...Array(tr.count).keys()].map((i) => [s.nameOf(P.rec.hash(tr, i)), tr.depth[i], tr.end[i]]);
    assert.deepStrictEqual(shape, [
        ["vt_frame", 0, 6],
        ["vt_update", 1, 5],
        ["vt_step", 2, 3],
        ["vt_step", 2, 4],
        ["vt_step", 2, 5],
        ["vt_render", 1, 6],
    ]);
    assert.match(P.rec.colour(tr, 0), /^#[4-9a-f]{6}$/);
    // Hover finds the sample under a time at a depth, and nothing outside the frame.
    const middle = (i) => P.rec.start(tr, i) + P.rec.length(tr, i) / 2;
    const found = [P.sampleAt(tr, 2, middle(3)), P.sampleAt(tr, 1, middle(5)), P.sampleAt(tr, 0, tr.start + tr.length + 1)];
    assert.deepStrictEqual(found, [3, 5, -1]);
    // The flame view merges same-named siblings and frames.
    const flame = P.mergeFlame(th.trees.filter((x) => isCounted(s, x)));
    const frame = [...flame.children.values()][0];
    const update = [...frame.children.values()].find((n) => s.nameOf(n.hash) === "vt_update");
    const steps = [...update.children.values()];
    assert.deepStrictEqual([frame.calls, steps.length, steps[0].calls], [10, 1, 30]);
});

test("malformed messages are refused with a reason, and the session goes on", () => {
    const s0 = P.replay(recorded, { ringSeconds: 3600 });
    const smpl = recorded.find((e) => ident(e.bytes) === "SMPL" && isCounted(s0, P.decodeMessage(e.bytes).tree)).bytes;
    const nameLen = new DataView(smpl.buffer, smpl.byteOffset).getUint32(8, true);
    const recs = 12 + nameLen + 8; // first record
    const edit = (at, value, f64) => {
        const b = smpl.slice();
        const v = new DataView(b.buffer, b.byteOffset);
        f64 ? v.setFloat64(at, value, true) : v.setUint32(at, value, true);
        return b;
    };
    const cases = [
        ["short", ascii("SM"), /no identifier/],
        ["unknown id", ascii("WHAT1234"), /unknown message/],
        ["tree cut by a byte", smpl.slice(0, -1), /says \d+ bytes/],
        ["tree length field", edit(4, smpl.length + 51), /says \d+ bytes/],
        ["thread name too long", edit(8, 256), /thread name/],
        ["sample count", edit(12 + nameLen, 7), /needs \d+ bytes/],
        ["no samples", edit(12 + nameLen, 0), /no sample/],
        ["root claims too many children", edit(recs + 47, 9), /claims/],
        ["root claims too few children", edit(recs + 47, 1), /outside the root/],
        ["leaf claims a child", edit(recs + 5 * 51 + 47, 1), /claims/],
        ["missing child", edit(recs + 51 + 47, 4), /claims|ends before/],
        ["time not a number", edit(recs + 51 + 23, NaN, true), /no valid time/],
        ["negative length", edit(recs + 23, -5, true), /no valid time/],
        ["colour", edit(recs + 8, 0x41414141), /colour/],
        ["log cut short", cat(ascii("LOGM"), u32(5), ascii("abc")), /LOGM says 5/],
        ["log with bytes after it", cat(ascii("LOGM"), u32(2), ascii("abc")), /LOGM says 2/],
        ["name too long", cat(ascii("SSMP"), u32(1), u32(245), new Uint8Array(245)), /SSMP says 245/],
        ["name length", cat(ascii("SSMP"), u32(1), u32(3), ascii("ab")), /SSMP says 3/],
        ["drop size", cat(ascii("DROP"), u32(1)), /DROP of 8/],
    ];
    const s = new P.Session();
    for (const [what, bytes, reason] of cases) {
        assert.throws(() => P.decodeMessage(bytes), (e) => e instanceof P.DecodeError && reason.test(e.message), what);
        s.ingest(bytes, 1);
    }
    s.ingest(smpl, 2);
    assert.strictEqual(s.errors, cases.length);
    assert.strictEqual(s.treeCount(), 1);
    assert.strictEqual(P.decodeMessage(smpl).tree.count, 6);
});

test("the ring keeps the last seconds, names for the whole session", () => {
    const whole = P.replay(recorded, { ringSeconds: 3600 });
    const s = P.replay(recorded, { ringSeconds: 1 });
    const last = recorded[recorded.length - 1].t;
    assert.ok(s.treeCount() > 0 && s.treeCount() < whole.treeCount());
    for (const th of s.threads.values())
        for (let k = th.head; k < th.trees.length; ++k) assert.ok(th.trees[k].arrival >= last - 1000);
    const kept = s.retained();
    assert.strictEqual(s.rawBytes, kept.slice(s.nameMessages.length).reduce((n, e) => n + e.bytes.length, 0));
    assert.strictEqual(s.names.size, whole.names.size);
    // A reload of what was kept shows the same statistics.
    const again = P.replay(P.decodeCapture(P.encodeCapture(kept)), { ringSeconds: 3600 });
    const table = (x) => x.statistics(-Infinity, Infinity).sort((p, q) => p.hash - q.hash);
    assert.deepStrictEqual(table(again), table(s));
});

test("capture files round-trip byte for byte and refuse damage", () => {
    const file = fs.readFileSync(path.join(__dirname, "fixtures", "default.qvcap"));
    assert.deepStrictEqual(Buffer.from(P.encodeCapture(recorded)), file);
    const damaged = [
        ["magic", cat(ascii("QVSYSCAX"), file.subarray(8)), /not a capture/],
        ["cut", file.subarray(0, file.length - 3), /ends inside/],
        ["trailing", cat(file, new Uint8Array(1)), /after its last/],
        ["version", cat(file.subarray(0, 8), u32(2), file.subarray(12)), /version 2/],
    ];
    for (const [what, bytes, reason] of damaged)
        assert.throws(() => P.decodeCapture(bytes), reason, what);
});

// Once per connection, and never when pushed, is counted in "both modes".
test("names are asked for again on a new connection", () => {
    const smpl = recorded.find((e) => ident(e.bytes) === "SMPL").bytes;
    const hashes = [...P.decodeMessage(smpl).tree.stats.hashes].sort();
    const s = new P.Session();
    assert.deepStrictEqual([...s.ingest(smpl, 0)].sort(), hashes);
    s.newConnection();
    assert.deepStrictEqual([...s.ingest(smpl, 2)].sort(), hashes);
});

test("statistics cover only frames that overlap the range", () => {
    const s = P.replay(recorded, { ringSeconds: 3600 });
    const frames = countedThreads(s)[0].trees.filter((x) => isCounted(s, x));
    const [a, b] = [frames[2], frames[4]];
    const [t0, t1] = [a.start + a.length / 2, b.start + 1];
    const frame = s.statistics(t0, t1).find((r) => r.name === "vt_frame");
    // Both counted threads ran at once: count every frame, of either, that reaches into the range.
    let overlapping = 0;
    for (const x of s.threads.values())
        overlapping += x.trees.filter((tr) => isCounted(s, tr) && tr.start <= t1 && tr.start + tr.length >= t0).length;
    assert.ok(overlapping >= 3 && overlapping < 20, overlapping);
    assert.strictEqual(frame.calls, overlapping);
});

test("trace-event export: one complete event per sample with thread, name, start and duration", () => {
    const s = P.replay(recorded, { ringSeconds: 3600 });
    const trace = JSON.parse(JSON.stringify(P.traceEvents(s)));
    const threadOf = new Map(trace.traceEvents.filter((e) => e.name === "thread_name").map((e) => [e.tid, e.args.name]));
    const complete = trace.traceEvents.filter((e) => e.ph === "X");
    const expected = [];
    for (const th of s.threadList())
        for (const tr of th.trees)
            for (let i = 0; i < tr.count; ++i)
                expected.push([th.name, s.nameOf(P.rec.hash(tr, i)), P.rec.start(tr, i), P.rec.length(tr, i)]);
    assert.deepStrictEqual(complete.map((e) => [threadOf.get(e.tid), e.name, e.ts, e.dur]), expected);
});
