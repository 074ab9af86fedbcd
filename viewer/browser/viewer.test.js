/* The viewer in a real headless Chromium, checked as a person would use it: against the
 * profiled test host (browser/host.c) on a port of the test's own, against a stub server
 * for a malformed message and a missing server, and under a synthetic full load for speed.
 *
 *   VIEWER_HOST=<built host>  VIEWER_PORT=<port, default 17815; the host is told it through
 *   QV_SYS_PROFILER_PORT>  VIEWER_OUT=<dir for the screenshot>  VIEWER_LOAD_SECONDS=<load
 *   run, default 120; 0 skips it>. QV_SYS_PROFILER_STREAM=1 runs the host in streaming mode.
 *   node --test browser/viewer.test.js
 * Run it inside a private network namespace (scripts/viewer-test.sh does). */
"use strict";
const test = require("node:test");
const assert = require("node:assert");
const { spawn } = require("child_process");
const fs = require("fs");
const os = require("os");
const path = require("path");
const { chromium } = require("playwright-core");
const ws = require("./ws");
const P = require("../profile.js");

const root = path.resolve(__dirname, "..");
const page_url = (port) => `file://${root}/index.html?ws=ws://127.0.0.1:${port}`;
const port = Number(process.env.VIEWER_PORT || 17815);
const stubPort = port + 1;
const out = process.env.VIEWER_OUT || path.join(os.tmpdir(), "qv_viewer");
const loadSeconds = Number(process.env.VIEWER_LOAD_SECONDS || 120);
fs.mkdirSync(out, { recursive: true });

const mb = (n) => (n / 1048576).toFixed(0);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
async function until(what, fn, limitMs = 30000) {
    const end = Date.now() + limitMs;
    for (;;) {
        const v = await fn();
        if (v) return v;
        if (Date.now() > end) throw new Error(`gave up waiting for ${what}`);
        await sleep(100);
    }
}

/* The profiled host: lines from its standard output, and a way to wait for one. */
function startHost() {
    const exe = process.env.VIEWER_HOST;
    assert.ok(exe && fs.existsSync(exe), "VIEWER_HOST must name the built test host");
    const child = spawn(exe, [], {
        env: { ...process.env, QV_SYS_PROFILER_PORT: String(port) },
        stdio: ["pipe", "pipe", "inherit"],
    });
    const lines = [];
    let partial = "";
    child.stdout.on("data", (d) => {
        partial += d;
        const parts = partial.split("\n");
        partial = parts.pop();
        lines.push(...parts);
    });
    return {
        child,
        lines,
        send: (text) => child.stdin.write(text + "\n"),
        wait: (line, ms) => until(`host line "${line}"`, () => lines.includes(line), ms),
        stop: async () => {
            child.stdin.end();
            await until("host exit", () => child.exitCode !== null, 30000);
        },
    };
}

async function launch() {
    return chromium.launch({
        executablePath: process.env.VIEWER_CHROMIUM || "/usr/bin/chromium",
        headless: true,
        chromiumSandbox: false,
        args: [
            "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
            "--disable-component-update", "--disable-sync", "--enable-precise-memory-info",
        ],
    });
}

/* The statistics table as page text: { name: { calls, total, ... } } and its raw rows. */
async function statsTable(page) {
    return page.$$eval("#stats tbody tr", (rows) =>
        rows.map((r) => [...r.cells].map((c) => c.textContent)),
    );
}
const byName = (rows) => Object.fromEntries(rows.map((r) => [r[0], { calls: Number(r[1]), total: Number(r[2]) }]));
const threadNames = (page) => page.$$eval("#threads li", (li) => li.map((x) => x.dataset.thread));
const logLines = (page) => page.$$eval("#log div", (d) => d.map((x) => x.textContent));
const status = (page) => page.$eval("#status", (e) => e.dataset.state);

/* Zooms with the wheel on a counted frame until a sample of `name` is at least `px` wide. */
async function zoomUntil(page, name, px) {
    for (let k = 0; k < 40; ++k) {
        const spot = await page.evaluate(([n, w]) => window.qvViewer.locate(n, w), [name, px]);
        if (spot) return spot;
        // Zoom at a sample of the name itself, else at its frame.
        const frame = await page.evaluate(
            (n) => window.qvViewer.locate(n, 0) || window.qvViewer.locate("vt_frame", 0), name);
        assert.ok(frame, "a counted frame in view");
        await page.mouse.move(frame.x, frame.y);
        await page.mouse.wheel(0, -400);
        await sleep(100);
    }
    return null;
}

/* Resident memory of the renderer processes started below this test process, in bytes. */
function rendererMemory(ancestor) {
    const parent = new Map();
    for (const d of fs.readdirSync("/proc").filter((x) => /^\d+$/.test(x))) {
        try {
            const stat = fs.readFileSync(`/proc/${d}/stat`, "utf8");
            parent.set(Number(d), Number(stat.slice(stat.lastIndexOf(")") + 2).split(" ")[1]));
        } catch (e) {
            /* gone meanwhile */
        }
    }
    let total = 0;
    for (const pid of parent.keys()) {
        let p = pid;
        while (p > 1 && p !== ancestor) p = parent.get(p) || 0;
        if (p !== ancestor) continue;
        try {
            if (!fs.readFileSync(`/proc/${pid}/cmdline`, "utf8").includes("--type=renderer")) continue;
            total += Number(/VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, "utf8"))[1]) * 1024;
        } catch (e) {
            /* gone meanwhile */
        }
    }
    return total;
}

/* A minimal encoder for the stub server's messages. */
function encodeTree(thread, records) {
    const name = Buffer.from(thread);
    const buf = Buffer.alloc(20 + name.length + records.length * 51);
    buf.write("SMPL", 0);
    buf.writeUInt32LE(buf.length, 4);
    buf.writeUInt32LE(name.length, 8);
    name.copy(buf, 12);
    let at = 12 + name.length;
    buf.writeUInt32LE(records.length, at);
    at += 8;
    for (const r of records) {
        buf.writeUInt32LE(r.hash, at);
        buf.writeUInt32LE(r.hash, at + 4);
        buf.write("#" + (0x404040 + ((r.hash * 2654435761) >>> 8) % 0xbfbfbf).toString(16).padStart(6, "4"), at + 8);
        buf.writeDoubleLE(r.start, at + 15);
        buf.writeDoubleLE(r.length, at + 23);
        buf.writeDoubleLE(r.self, at + 31);
        buf.writeUInt32LE(1, at + 39);
        buf.writeUInt32LE(0, at + 43);
        buf.writeUInt32LE(r.children, at + 47);
        at += 51;
    }
    return buf;
}
const nameMessage = (hash, name) =>
    Buffer.concat([Buffer.from("SSMP"), Buffer.from(new Uint32Array([hash, name.length]).buffer), Buffer.from(name)]);
const logMessage = (text) =>
    Buffer.concat([Buffer.from("LOGM"), Buffer.from(new Uint32Array([text.length]).buffer), Buffer.from(text)]);

test("the viewer in a headless browser", { timeout: (loadSeconds + 240) * 1000 }, async (t) => {
    const browser = await launch();
    let host = null;
    try {
        const page = await browser.newPage({ viewport: { width: 1400, height: 900 }, acceptDownloads: true });
        const pageErrors = [];
        page.on("pageerror", (e) => pageErrors.push(e.message));

        await t.test("waits for a missing server and connects when it appears", async () => {
            await page.goto(page_url(port));
            await until("a retry", async () => (await status(page)) === "waiting", 15000);
            host = startHost();
            await host.wait("ready 0", 30000);
            await until("connected", async () => (await status(page)) === "connected", 30000);
        });

        await t.test("threads and statistics of a known number of frames", async () => {
            host.send("frames 40");
            await host.wait("frames done", 60000);
            // The documented mode delivers at most a thousand messages a second: wait for all.
            const want = { vt_frame: 80, vt_update: 80, vt_step: 240, vt_render: 80 };
            let rows;
            await until("every counted frame in the table", async () => {
                await page.click("#pause");
                await page.click("#fit");
                await sleep(300);
                rows = byName(await statsTable(page));
                const ok = Object.entries(want).every(([n, c]) => rows[n] && rows[n].calls === c);
                if (!ok) await page.click("#live");
                return ok;
            }, 60000);
            assert.ok(rows.vt_tick.calls > 0 && rows.vt_frame.total > 0);
            const threads = await threadNames(page);
            // The ticker, the two counted threads and the profiler's own; by name where the
            // library lets the host name its threads.
            if (host.lines.includes("thread names"))
                assert.deepStrictEqual(threads, ["frames1_a", "frames1_b", "ticker", "Profiler"]);
            assert.strictEqual(threads.length, 4, threads.join());
            assert.ok(threads.includes("Profiler"));
            const session = await page.evaluate(() => [...window.qvViewer.session.threads.keys()].sort());
            assert.deepStrictEqual([...threads].sort(), session);
        });

        await t.test("hover shows the scope's name, duration, self time, calls and thread", async () => {
            const spot = await zoomUntil(page, "vt_render", 20);
            assert.ok(spot, "a vt_render sample wide enough to point at");
            await page.mouse.move(spot.x, spot.y);
            const text = await until("the tooltip", () => page.$eval("#tooltip", (e) => (e.hidden ? "" : e.textContent)), 5000);
            const lines = text.split("\n");
            assert.strictEqual(lines[0], "vt_render");
            const [, value, unit] = /duration ([\d.]+) (ms|\u00b5s)/.exec(text);
            const us = Number(value) * (unit === "ms" ? 1000 : 1);
            // The host's vt_render is a busy loop of a few hundred microseconds.
            assert.ok(Math.abs(us - spot.length) <= 1 && us > 0 && us < 200000, text);
            assert.match(text, /self [\d.]+ (ms|\u00b5s)\ncalls 1\nthread /);
            assert.ok(text.endsWith(`thread ${spot.thread}`), text);
            await page.mouse.move(2, 2);
        });

        await t.test("the table sorts by a column; shift+drag merges a range into the flame view", async () => {
            await page.click('#stats th[data-key="calls"]');
            const calls = (await statsTable(page)).map((r) => Number(r[1]));
            assert.deepStrictEqual(calls, [...calls].sort((a, b) => b - a));
            await page.click('#stats th[data-key="calls"]');
            const up = (await statsTable(page)).map((r) => Number(r[1]));
            assert.deepStrictEqual(up, [...calls].reverse().sort((a, b) => a - b));
            await page.click("#fit");
            await sleep(300);
            const box = await page.$eval("#timeline", (c) => {
                const r = c.getBoundingClientRect();
                return { x: r.left, y: r.top, w: r.width };
            });
            await page.keyboard.down("Shift");
            await page.mouse.move(box.x + 2, box.y + 30);
            await page.mouse.down();
            await page.mouse.move(box.x + box.w / 2, box.y + 30, { steps: 5 });
            await page.mouse.move(box.x + box.w - 2, box.y + 30, { steps: 5 });
            await page.mouse.up();
            await page.keyboard.up("Shift");
            const caption = await until("the merged flame", () =>
                page.$eval("#flame-caption", (e) => /(\d+) frames merged/.exec(e.textContent)), 5000);
            assert.ok(Number(caption[1]) >= 80, caption[0]);
            await page.click('#stats th[data-key="total"]');
        });

        await t.test("console input comes back, the log filter narrows the lines", async () => {
            await page.click("#live");
            await page.fill("#console-input", "hello from the browser");
            await page.press("#console-input", "Enter");
            await until("the echo", async () => (await logLines(page)).includes("hello from the browser"), 15000);
            const all = await logLines(page);
            assert.ok(all.includes("Console message received..."));
            await page.fill("#log-filter", "FROM THE");
            const some = await until("filtered", async () => {
                const l = await logLines(page);
                return l.length < all.length && l;
            }, 5000);
            assert.ok(some.length >= 1 && some.every((l) => l.toLowerCase().includes("from the")), some.join("|"));
            await page.fill("#log-filter", "");
        });

        await t.test("pause holds the view while data keeps arriving", async () => {
            await page.click("#live");
            await sleep(500);
            await page.click("#pause");
            await sleep(300);
            const before = await page.evaluate(() => ({
                table: document.querySelector("#stats").innerText,
                pixels: document.querySelector("#timeline").toDataURL(),
                received: window.qvViewer.session.received,
            }));
            await sleep(1500);
            const during = await page.evaluate(() => ({
                table: document.querySelector("#stats").innerText,
                pixels: document.querySelector("#timeline").toDataURL(),
                received: window.qvViewer.session.received,
            }));
            assert.ok(during.received > before.received, "data kept arriving");
            assert.strictEqual(during.table, before.table);
            assert.ok(during.pixels === before.pixels, "the timeline did not move");
            await page.click("#pause");
            await until("the view moving again", async () =>
                (await page.$eval("#timeline", (c) => c.toDataURL())) !== before.pixels, 5000);
        });

        await t.test("screenshot", async () => {
            await page.click("#live");
            host.send("frames 20");
            await until("the second batch", () => host.lines.filter((l) => l === "frames done").length === 2, 60000);
            await sleep(1000);
            await page.click("#pause");
            await page.click("#fit");
            await sleep(200);
            await page.keyboard.press("Escape"); // the range selected earlier
            let root = await zoomUntil(page, "vt_frame", 300);
            if (root) {
                // Drag the frame to the middle of the timeline, as a person would.
                const box = await page.$eval("#timeline", (c) => {
                    const r = c.getBoundingClientRect();
                    return { x: r.left, w: r.width };
                });
                await page.mouse.move(root.x, root.y);
                await page.mouse.down();
                await page.mouse.move(root.x + (box.x + box.w / 2 - root.centre), root.y, { steps: 8 });
                await page.mouse.up();
                await sleep(200);
                root = await page.evaluate(() => window.qvViewer.locate("vt_frame", 300));
            }
            if (root) {
                await page.mouse.click(root.x, root.y); // the flame view of that frame
                await sleep(200);
                const step = await page.evaluate(() => window.qvViewer.locate("vt_step", 4));
                if (step) await page.mouse.move(step.x, step.y);
            }
            await sleep(400);
            await page.screenshot({ path: path.join(out, "viewer.png") });
        });

        await t.test("save then reload gives the same statistics table; trace export", async () => {
            await host.stop(); // nothing new arrives between the two tables
            host = null;
            await page.click("#fit");
            await sleep(500);
            const before = await statsTable(page);
            const threadsBefore = await threadNames(page);
            assert.ok(before.length > 4);
            const [download] = await Promise.all([page.waitForEvent("download"), page.click("#save")]);
            const file = path.join(out, "saved.qvcap");
            await download.saveAs(file);
            await page.setInputFiles("#load", file);
            await until("the capture", async () => (await status(page)) === "capture", 10000);
            await sleep(500);
            assert.deepStrictEqual(await statsTable(page), before);
            assert.deepStrictEqual(await threadNames(page), threadsBefore);
            // Dropping the file on the page loads it the same way.
            await page.goto(page_url(port + 2)); // nothing listens there
            const bytes = [...fs.readFileSync(file)];
            await page.evaluate((b) => {
                const dt = new DataTransfer();
                dt.items.add(new File([new Uint8Array(b)], "dropped.qvcap"));
                window.dispatchEvent(new DragEvent("drop", { dataTransfer: dt, cancelable: true }));
            }, bytes);
            await until("the dropped capture", async () => (await status(page)) === "capture", 10000);
            await sleep(500);
            assert.deepStrictEqual(await statsTable(page), before);

            const [trace] = await Promise.all([page.waitForEvent("download"), page.click("#export")]);
            const json = JSON.parse(fs.readFileSync(await trace.path(), "utf8"));
            const frames = json.traceEvents.filter((e) => e.ph === "X" && e.name === "vt_frame");
            assert.strictEqual(frames.length, 120); // two batches of 40 and 20 frames on two threads
            const named = new Map(json.traceEvents.filter((e) => e.name === "thread_name").map((e) => [e.tid, e.args.name]));
            assert.ok(frames.every((e) => named.get(e.tid) && e.dur > 0 && e.ts > 0));
        });

        await t.test("a malformed message shows an error and the page goes on", async () => {
            const fixture = P.decodeCapture(fs.readFileSync(path.join(root, "test/fixtures/default.qvcap")));
            const server = await ws.serve(stubPort, async (peer) => {
                for (const e of fixture.slice(0, 80)) peer.send(e.bytes);
                peer.send(Buffer.from("SMPL@\0\0\0garbage, not a tree!")); // its length field says 64
                peer.send(logMessage("after the error"));
            });
            try {
                await page.goto(page_url(stubPort));
                await until("the error", () => page.$eval("#errors", (e) => !e.hidden && e.textContent), 15000);
                assert.match(await page.$eval("#errors", (e) => e.textContent), /1 malformed message.*SMPL says 64 bytes but 28 arrived/);
                await until("the line after it", async () => (await logLines(page)).includes("after the error"), 10000);
                assert.strictEqual(await status(page), "connected");
                assert.ok((await threadNames(page)).length > 0);
            } finally {
                server.close();
            }
        });

        await t.test(`speed: 8 threads x 200 scopes at 60 fps for ${loadSeconds} s`, { skip: loadSeconds === 0 }, async () => {
            const threads = 8, scopes = 200;
            const names = Array.from({ length: scopes + 1 }, (_, k) => `load_scope_${k}`);
            const hashes = names.map((_, k) => 0x1000 + k);
            let timer = null;
            let sent = 0;
            const templates = Array.from({ length: threads }, (_, th) => {
                const recs = [{ hash: hashes[0], start: 0, length: 16000, self: 0, children: scopes }];
                for (let k = 0; k < scopes; ++k) recs.push({ hash: hashes[k + 1], start: 0, length: 70, self: 70, children: 0 });
                return encodeTree(`load_thread_${th}`, recs);
            });
            const server = await ws.serve(stubPort, (peer) => {
                hashes.forEach((h, k) => peer.send(nameMessage(h, names[k])));
                let frame = 0;
                const started = Date.now();
                timer = setInterval(() => {
                    // Catch up on late timer ticks so the rate stays 60 frames a second.
                    while (frame < ((Date.now() - started) * 60) / 1000) {
                        const base = frame * 16667;
                        for (let th = 0; th < threads; ++th) {
                            // Only the start times change from frame to frame.
                            const tree = Buffer.from(templates[th]);
                            const first = tree.length - (scopes + 1) * 51;
                            for (let k = 0; k <= scopes; ++k)
                                tree.writeDoubleLE(base + (k ? (k - 1) * 80 : 0), first + k * 51 + 15);
                            peer.send(tree);
                            sent++;
                        }
                        frame++;
                    }
                }, 5);
            });
            try {
                await page.goto(page_url(stubPort));
                await until("connected", async () => (await status(page)) === "connected", 15000);
                const cdp = await page.context().newCDPSession(page);
                await cdp.send("Performance.enable");
                const heap = async () => {
                    await cdp.send("HeapProfiler.collectGarbage");
                    const m = (await cdp.send("Performance.getMetrics")).metrics;
                    const kept = await page.evaluate(() => window.qvViewer.session.rawBytes);
                    const rss = rendererMemory(process.pid);
                    return { js: m.find((x) => x.name === "JSHeapUsedSize").value, kept, rss };
                };
                await sleep(5000);
                await page.evaluate(() => window.qvViewer.resetPerf());
                const samples = [];
                const start = Date.now();
                while (Date.now() - start < (loadSeconds - 5) * 1000) {
                    await sleep(Math.min(15000, loadSeconds * 250));
                    samples.push({ at: Math.round((Date.now() - start) / 1000) + 5, ...(await heap()) });
                }
                const perf = await page.evaluate(() => window.qvViewer.perf());
                const got = await page.evaluate(() => window.qvViewer.session.received);
                const report =
                    `viewer speed: ${perf.frames} animation frames, work per frame median ${perf.median.toFixed(2)} ms, ` +
                    `p95 ${perf.p95.toFixed(2)} ms; ${sent} trees sent, ${got} messages received; memory at s: JS heap / kept messages / renderer RSS, MB: ` +
                    samples.map((s) => `${s.at}: ${mb(s.js)}/${mb(s.kept)}/${mb(s.rss)}`).join(", ");
                console.log(report);
                fs.writeFileSync(path.join(out, "speed.txt"), report + "\n");
                // Alive, not fast: on a loaded machine the frame rate is not ours to promise.
                assert.ok(perf.frames > loadSeconds * 2, `only ${perf.frames} animation frames`);
                assert.ok(perf.median <= 8, report);
                // The ring never holds more than 60 s of what the server sends.
                const ringBound = 60 * 60 * threads * templates[0].length * 1.1;
                for (const s of samples) assert.ok(s.kept <= ringBound, report);
                // Flat once the ring has filled: half a minute later and after, no sample holds
                // much more than the first one after filling. Runs on a loaded machine stayed
                // within 1.20 of it; a ring that frees what it drops only now and then was at
                // 1.31 by then and growing.
                const full = samples.find((s) => s.at >= 65);
                if (full)
                    for (const s of samples.filter((x) => x.at >= 95)) {
                        assert.ok(s.js <= full.js * 1.5 + 8 * 1048576, report);
                        assert.ok(s.rss <= full.rss * 1.28, report);
                    }
            } finally {
                clearInterval(timer);
                server.close();
            }
        });
        assert.deepStrictEqual(pageErrors, []);
    } finally {
        if (host) await host.stop().catch(() => host.child.kill());
        await browser.close();
    }
});
