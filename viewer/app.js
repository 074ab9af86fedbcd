/* The page: connection with reconnects, the timeline and flame canvases, the statistics
 * table, threads and log as page text, pause, captures. Messages are queued as they arrive
 * and decoded at the start of the next animation frame, so the work of a frame (decoding and
 * drawing) is measured in one place. */
(function () {
    "use strict";
    const P = window.QvProfile;
    const $ = (id) => document.getElementById(id);

    const DEFAULT_URL = "ws://127.0.0.1:17815";
    const ROW = 16; // px per nesting level
    const HEAD = 16; // px of a thread's name row
    const BACKOFF_MIN = 250, BACKOFF_MAX = 5000;
    const HANDSHAKE_LIMIT = 5000; // a server busy with another viewer leaves us in its backlog

    const state = {
        session: new P.Session({ ringSeconds: 60 }),
        url: DEFAULT_URL,
        ws: null,
        mode: "live", // or "capture"
        status: "idle",
        attempt: 0,
        backoff: BACKOFF_MIN,
        retryTimer: 0,
        queue: [],
        paused: false,
        follow: true,
        width: 2e6, // visible span in us while following
        t0: 0,
        t1: 2e6,
        selection: null, // { tree } or { range: [t0, t1] }
        sortKey: "total",
        sortDir: "desc",
        dirty: true,
        lastSlow: 0,
        perf: new Float64Array(1200),
        perfCount: 0,
        captureName: "",
        flameDirty: true,
        epoch: performance.now(),
    };

    // ---------------------------------------------------------------- connection

    function setStatus(kind, text) {
        state.status = kind;
        const el = $("status");
        el.dataset.state = kind;
        el.textContent = text;
    }

    function connect() {
        clearTimeout(state.retryTimer);
        if (state.mode !== "live") return;
        state.attempt++;
        setStatus("connecting", `connecting to ${state.url}` + (state.attempt > 1 ? ` (attempt ${state.attempt})` : ""));
        let ws;
        try {
            ws = new WebSocket(state.url);
        } catch (e) {
            showError(`bad address ${state.url}: ${e.message}`);
            setStatus("idle", "not connected");
            return;
        }
        ws.binaryType = "arraybuffer";
        state.ws = ws;
        const limit = setTimeout(() => ws.close(), HANDSHAKE_LIMIT);
        ws.onopen = () => {
            clearTimeout(limit);
            state.attempt = 0;
            state.backoff = BACKOFF_MIN;
            state.session.newConnection();
            setStatus("connected", `connected to ${state.url}`);
        };
        ws.onmessage = (e) => {
            if (typeof e.data === "string") return; // the server only sends binary frames
            state.queue.push(e.data, performance.now() - state.epoch);
            // A hidden page gets no animation frames: keep the queue from growing without end.
            if (state.queue.length > 40000) drain();
        };
        ws.onclose = () => {
            clearTimeout(limit);
            if (state.ws !== ws) return;
            state.ws = null;
            if (state.mode !== "live") return;
            const wait = state.backoff;
            state.backoff = Math.min(BACKOFF_MAX, state.backoff * 2);
            setStatus("waiting", `no server at ${state.url}, retrying in ${(wait / 1000).toFixed(1)} s`);
            state.retryTimer = setTimeout(connect, wait);
        };
    }

    function disconnect() {
        clearTimeout(state.retryTimer);
        const ws = state.ws;
        state.ws = null;
        if (ws) ws.close();
    }

    function send(text) {
        if (state.ws && state.ws.readyState === WebSocket.OPEN) {
            state.ws.send(text);
            return true;
        }
        return false;
    }

    function drain() {
        const q = state.queue;
        if (!q.length) return;
        const s = state.session;
        for (let k = 0; k < q.length; k += 2) {
            const ask = s.ingest(new Uint8Array(q[k]), q[k + 1]);
            if (ask) for (const h of ask) send("GSMP" + h);
        }
        q.length = 0;
        state.dirty = true;
    }

    // ---------------------------------------------------------------- errors

    let errorsShown = 0;
    function showError(text) {
        const el = $("errors");
        el.hidden = false;
        el.textContent = text;
    }
    function checkDecodeErrors() {
        const s = state.session;
        if (s.errors !== errorsShown) {
            errorsShown = s.errors;
            showError(`${s.errors} malformed message${s.errors > 1 ? "s" : ""} skipped; last: ${s.lastError}`);
        }
    }

    // ---------------------------------------------------------------- view range

    function threadRows() {
        const rows = [];
        let y = 0;
        for (const th of state.session.threadList()) {
            const h = HEAD + (th.maxDepth + 1) * ROW + 4;
            rows.push({ th, y, h });
            y += h;
        }
        return { rows, height: y };
    }

    function updateRange() {
        const s = state.session;
        if (state.follow && !state.paused && s.newestUs > 0) {
            state.t1 = s.newestUs;
            state.t0 = s.newestUs - state.width;
        }
    }

    function fitAll() {
        const s = state.session;
        if (s.treeCount() === 0) return;
        const pad = (s.newestUs - s.oldestUs) * 0.01 + 1;
        state.t0 = s.oldestUs - pad;
        state.t1 = s.newestUs + pad;
        state.follow = false;
        state.dirty = true;
    }

    // ---------------------------------------------------------------- timeline

    const timeline = $("timeline");
    const tctx = timeline.getContext("2d", { alpha: false });
    const colourCache = new Map();
    const lastPx = new Float64Array(256);

    function colourOf(tree, i) {
        const h = P.rec.hash(tree, i);
        let c = colourCache.get(h);
        if (c === undefined) colourCache.set(h, (c = P.rec.colour(tree, i)));
        return c;
    }

    function sizeCanvas(canvas, height) {
        const dpr = window.devicePixelRatio || 1;
        const w = canvas.parentElement.clientWidth;
        const wantW = Math.max(1, Math.round(w * dpr)), wantH = Math.max(1, Math.round(height * dpr));
        if (canvas.width !== wantW || canvas.height !== wantH) {
            canvas.width = wantW;
            canvas.height = wantH;
            canvas.style.height = height + "px";
        }
        return { w, dpr };
    }

    /* A duration for people: microseconds below a millisecond, else milliseconds. */
    function fmtTime(us) {
        return us < 1000 ? `${+us.toFixed(1)} \u00b5s` : `${fmtMs(us)} ms`;
    }

    function fmtMs(us) {
        const ms = us / 1000;
        return ms >= 100 ? ms.toFixed(1) : ms >= 1 ? ms.toFixed(3) : ms.toFixed(4);
    }

    function drawTimeline() {
        const s = state.session;
        const { rows, height } = threadRows();
        const { w, dpr } = sizeCanvas(timeline, Math.max(height, 40));
        const ctx = tctx;
        ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
        ctx.fillStyle = "#1b1d21";
        ctx.fillRect(0, 0, w, Math.max(height, 40));
        const t0 = state.t0, t1 = state.t1;
        const scale = w / (t1 - t0);
        ctx.font = "11px system-ui, sans-serif";
        ctx.textBaseline = "middle";
        const labels = [];
        for (const { th, y, h } of rows) {
            ctx.fillStyle = "#23262c";
            ctx.fillRect(0, y, w, HEAD);
            ctx.fillStyle = "#c8ccd4";
            ctx.fillText(th.name, 4, y + HEAD / 2);
            lastPx.fill(-1);
            for (const tree of s.treesIn(th, t0, t1)) {
                const n = tree.count, end = tree.end, depth = tree.depth;
                let i = 0;
                while (i < n) {
                    const st = P.rec.start(tree, i), len = P.rec.length(tree, i);
                    const x0 = (st - t0) * scale, x1 = (st + len - t0) * scale;
                    if (x1 < 0 || x0 > w) {
                        i = end[i];
                        continue;
                    }
                    const d = depth[i];
                    const ry = y + HEAD + d * ROW;
                    if (x1 - x0 < 1) {
                        // Too small to see apart: one pixel stands for it and everything inside.
                        const px = Math.floor(x0);
                        if (px > lastPx[d]) {
                            lastPx[d] = px;
                            ctx.fillStyle = colourOf(tree, i);
                            ctx.fillRect(px, ry, 1, ROW - 1);
                        }
                        i = end[i];
                        continue;
                    }
                    const cx0 = Math.max(x0, 0), cx1 = Math.min(x1, w);
                    ctx.fillStyle = colourOf(tree, i);
                    ctx.fillRect(cx0, ry, Math.max(cx1 - cx0 - 0.5, 0.5), ROW - 1);
                    if (lastPx[d] < cx1) lastPx[d] = cx1;
                    if (cx1 - cx0 > 36) labels.push(cx0, ry, cx1 - cx0, P.rec.hash(tree, i));
                    const children = P.rec.children(tree, i);
                    if (children > 0 && x1 - x0 < children * 2) {
                        // Children too many to tell apart: one muted bar stands for all of them.
                        ctx.fillStyle = "#5b606b";
                        ctx.fillRect(cx0, ry + ROW, Math.max(cx1 - cx0 - 0.5, 0.5), ROW - 1);
                        if (lastPx[d + 1] < cx1) lastPx[d + 1] = cx1;
                        i = end[i];
                        continue;
                    }
                    ++i;
                }
            }
            ctx.strokeStyle = "#3a3e46";
            ctx.beginPath();
            ctx.moveTo(0, y + h - 0.5);
            ctx.lineTo(w, y + h - 0.5);
            ctx.stroke();
        }
        ctx.fillStyle = "#111";
        for (let k = 0; k < labels.length; k += 4) {
            const name = s.nameOf(labels[k + 3]);
            const room = labels[k + 2] - 6;
            const fit = Math.floor(room / 6);
            ctx.fillText(name.length > fit ? name.slice(0, Math.max(fit - 1, 1)) + "\u2026" : name, labels[k] + 3, labels[k + 1] + ROW / 2);
        }
        // Dropped frames: the server counted what it could not send since its last report.
        for (const drop of s.drops) {
            if (drop.at < t0 || drop.at > t1) continue;
            const x = (drop.at - t0) * scale;
            ctx.fillStyle = "#d0404080";
            ctx.fillRect(x - 3, 0, 6, Math.max(height, 40));
            ctx.fillStyle = "#ff9a9a";
            ctx.fillText(`${drop.trees} frames, ${drop.logs} lines dropped`, x + 5, 8);
        }
        if (state.selection && state.selection.range) {
            const [a, b] = state.selection.range;
            ctx.fillStyle = "#6aa0ff30";
            ctx.fillRect((a - t0) * scale, 0, (b - a) * scale, Math.max(height, 40));
        }
        if (drag && drag.shift) {
            ctx.fillStyle = "#6aa0ff40";
            ctx.fillRect(Math.min(drag.x0, drag.x), 0, Math.abs(drag.x - drag.x0), Math.max(height, 40));
        }
    }

    /* The sample under a point of the timeline: { th, tree, i } or null. */
    function hitTimeline(px, py) {
        const w = timeline.clientWidth;
        const t = state.t0 + (px / w) * (state.t1 - state.t0);
        const tol = (2 / w) * (state.t1 - state.t0);
        for (const { th, y, h } of threadRows().rows) {
            if (py < y || py >= y + h) continue;
            const d = Math.floor((py - y - HEAD) / ROW);
            if (d < 0) return null;
            for (const tree of state.session.treesIn(th, t - tol, t + tol)) {
                const tt = Math.min(Math.max(t, tree.start), tree.start + tree.length);
                const i = P.sampleAt(tree, d, tt);
                if (i >= 0) return { th, tree, i };
            }
            return null;
        }
        return null;
    }

    // ---------------------------------------------------------------- flame

    const flame = $("flame");
    const fctx = flame.getContext("2d", { alpha: false });
    let flameBoxes = []; // x, y, w, node
    let flameRoot = null;

    function flameTrees() {
        const sel = state.selection;
        if (!sel) return null;
        if (sel.tree) return [sel.tree];
        const out = [];
        for (const th of state.session.threads.values()) for (const tr of state.session.treesIn(th, sel.range[0], sel.range[1])) out.push(tr);
        return out;
    }

    function drawFlame() {
        const trees = flameTrees();
        flameRoot = trees && trees.length ? P.mergeFlame(trees) : null;
        let depth = 0;
        const measure = (n, d) => {
            if (d > depth) depth = d;
            for (const c of n.children.values()) measure(c, d + 1);
        };
        if (flameRoot) measure(flameRoot, 0);
        const height = Math.max(depth * ROW, 20);
        const { w, dpr } = sizeCanvas(flame, height);
        fctx.setTransform(dpr, 0, 0, dpr, 0, 0);
        fctx.fillStyle = "#1b1d21";
        fctx.fillRect(0, 0, w, height);
        flameBoxes = [];
        if (!flameRoot) {
            $("flame-caption").textContent = "Flame: click a frame in the timeline, or shift+drag over a range";
            return;
        }
        const s = state.session;
        fctx.font = "11px system-ui, sans-serif";
        fctx.textBaseline = "middle";
        let sum = 0;
        for (const c of flameRoot.children.values()) sum += c.total;
        const scale = sum > 0 ? w / sum : 0;
        const lay = (node, x, d) => {
            const kids = [...node.children.values()].sort((a, b) => b.total - a.total);
            for (const c of kids) {
                const cw = c.total * scale;
                if (cw >= 0.5) {
                    const y = (d - 1) * ROW;
                    fctx.fillStyle = colourCache.get(c.hash) || "#8899aa";
                    fctx.fillRect(x, y, Math.max(cw - 0.5, 0.5), ROW - 1);
                    flameBoxes.push(x, y, cw, c);
                    if (cw > 36) {
                        const name = s.nameOf(c.hash);
                        const fit = Math.floor((cw - 6) / 6);
                        fctx.fillStyle = "#111";
                        fctx.fillText(name.length > fit ? name.slice(0, Math.max(fit - 1, 1)) + "\u2026" : name, x + 3, y + ROW / 2);
                    }
                    lay(c, x, d + 1);
                }
                x += cw;
            }
        };
        lay(flameRoot, 0, 1);
        const sel = state.selection;
        $("flame-caption").textContent = sel.tree
            ? `Flame: one frame of ${sel.tree.thread}, ${fmtTime(sel.tree.length)}`
            : `Flame: ${trees.length} frames merged over ${fmtTime(sel.range[1] - sel.range[0])}`;
    }

    function hitFlame(px, py) {
        for (let k = 0; k < flameBoxes.length; k += 4)
            if (px >= flameBoxes[k] && px < flameBoxes[k] + flameBoxes[k + 2] && py >= flameBoxes[k + 1] && py < flameBoxes[k + 1] + ROW)
                return flameBoxes[k + 3];
        return null;
    }

    // ---------------------------------------------------------------- page text

    function renderStats() {
        const rows = state.session.statistics(state.t0, state.t1);
        const key = state.sortKey, dir = state.sortDir === "asc" ? 1 : -1;
        rows.sort((a, b) => (a[key] < b[key] ? -dir : a[key] > b[key] ? dir : a.name < b.name ? -1 : 1));
        const body = document.createElement("tbody");
        for (const r of rows.slice(0, 400)) {
            const tr = document.createElement("tr");
            tr.dataset.name = r.name;
            const cells = [r.name, String(r.calls), fmtMs(r.total), fmtMs(r.self), fmtMs(r.mean), fmtMs(r.max)];
            for (const c of cells) {
                const td = document.createElement("td");
                td.textContent = c;
                tr.appendChild(td);
            }
            body.appendChild(tr);
        }
        $("stats").replaceChild(body, $("stats").tBodies[0]);
        for (const th of $("stats").tHead.rows[0].cells) th.dataset.sort = th.dataset.key === key ? state.sortDir : "";
        $("stats-caption").textContent = `Statistics over the visible range (${fmtMs(state.t1 - state.t0)} ms, ${rows.length} scopes)`;
    }

    function renderThreads() {
        const list = $("threads");
        const items = [];
        for (const th of state.session.threadList()) {
            const li = document.createElement("li");
            li.dataset.thread = th.name;
            const name = document.createElement("span");
            name.className = "name";
            name.textContent = th.name;
            const n = document.createElement("span");
            n.className = "n";
            n.textContent = `${th.trees.length - th.head} frames`;
            li.append(name, n);
            items.push(li);
        }
        list.replaceChildren(...items);
    }

    let logShown = -1, logFilter = "";
    function renderLog(force) {
        const s = state.session;
        const stamp = s.logs.length + s.logHead * 1e9;
        if (!force && stamp === logShown) return;
        logShown = stamp;
        const f = logFilter.toLowerCase();
        const lines = [];
        for (let k = s.logs.length - 1; k >= s.logHead && lines.length < 1000; --k) {
            const l = s.logs[k];
            if (!f || l.text.toLowerCase().includes(f)) lines.push(l.text);
        }
        lines.reverse();
        const el = $("log");
        const atBottom = el.scrollTop + el.clientHeight >= el.scrollHeight - 4;
        const frag = document.createDocumentFragment();
        for (const text of lines) {
            const div = document.createElement("div");
            div.textContent = text;
            frag.appendChild(div);
        }
        el.replaceChildren(frag);
        if (atBottom) el.scrollTop = el.scrollHeight;
    }

    function renderCounters() {
        const s = state.session;
        const mb = (s.rawBytes / 1048576).toFixed(1);
        let text = `${s.treeCount()} frames kept (${mb} MB), ${s.received} messages`;
        if (s.droppedTrees || s.droppedLogs) text += `, server dropped ${s.droppedTrees} frames and ${s.droppedLogs} lines`;
        if (state.paused) text += " \u2014 paused";
        $("counters").textContent = text;
    }

    // ---------------------------------------------------------------- the frame loop

    let statsRange = "";
    function frame() {
        const start = performance.now();
        drain();
        if (start - state.lastSlow > 250) {
            state.lastSlow = start;
            state.session.trim();
            checkDecodeErrors();
            renderCounters();
            renderThreads();
            if (!state.paused) renderLog(false);
        }
        if (!state.paused || state.viewMoved) {
            updateRange();
            if (state.dirty || state.viewMoved) {
                drawTimeline();
                state.dirty = false;
                const key = `${state.t0}|${state.t1}`;
                // The table is page text: rebuild it a few times a second at most.
                if (key !== statsRange && (state.viewMoved || start - (state.lastStats || 0) > 250)) {
                    statsRange = key;
                    state.lastStats = start;
                    renderStats();
                }
            }
            if (state.flameDirty) {
                state.flameDirty = false;
                drawFlame();
            }
            state.viewMoved = false;
        }
        state.perf[state.perfCount++ % state.perf.length] = performance.now() - start;
        requestAnimationFrame(frame);
    }

    function moved() {
        state.viewMoved = true;
        state.dirty = true;
    }

    // ---------------------------------------------------------------- input

    let drag = null;
    const tip = $("tooltip");

    function showTip(e, text) {
        tip.hidden = false;
        tip.textContent = text;
        tip.style.left = Math.min(e.clientX + 14, window.innerWidth - tip.offsetWidth - 4) + "px";
        tip.style.top = e.clientY + 14 + "px";
    }

    timeline.addEventListener("wheel", (e) => {
        e.preventDefault();
        const r = timeline.getBoundingClientRect();
        const f = Math.pow(1.0015, e.deltaY);
        const span = Math.min(Math.max((state.t1 - state.t0) * f, 10), 3600e6);
        if (state.follow && !state.paused) {
            state.width = span;
        } else {
            const at = state.t0 + ((e.clientX - r.left) / r.width) * (state.t1 - state.t0);
            const frac = (at - state.t0) / (state.t1 - state.t0);
            state.t0 = at - frac * span;
            state.t1 = state.t0 + span;
        }
        moved();
    }, { passive: false });

    timeline.addEventListener("mousedown", (e) => {
        const r = timeline.getBoundingClientRect();
        drag = { x0: e.clientX - r.left, x: e.clientX - r.left, t0: state.t0, t1: state.t1, shift: e.shiftKey, moved: false };
    });
    window.addEventListener("mousemove", (e) => {
        const r = timeline.getBoundingClientRect();
        if (drag) {
            drag.x = e.clientX - r.left;
            if (Math.abs(drag.x - drag.x0) > 3) drag.moved = true;
            if (!drag.shift && drag.moved) {
                const dt = ((drag.x - drag.x0) / r.width) * (drag.t1 - drag.t0);
                state.follow = false;
                state.t0 = drag.t0 - dt;
                state.t1 = drag.t1 - dt;
            }
            moved();
            return;
        }
        if (e.target === timeline) {
            const hit = hitTimeline(e.clientX - r.left, e.clientY - r.top);
            if (!hit) return void (tip.hidden = true);
            const { th, tree, i } = hit;
            showTip(e, `${state.session.nameOf(P.rec.hash(tree, i))}\nduration ${fmtTime(P.rec.length(tree, i))}\n` +
                `self ${fmtTime(P.rec.self(tree, i))}\ncalls ${P.rec.calls(tree, i)}\nthread ${th.name}`);
        } else if (e.target === flame) {
            const fr = flame.getBoundingClientRect();
            const node = hitFlame(e.clientX - fr.left, e.clientY - fr.top);
            if (!node) return void (tip.hidden = true);
            showTip(e, `${state.session.nameOf(node.hash)}\ntotal ${fmtTime(node.total)}\nself ${fmtTime(node.self)}\ncalls ${node.calls}`);
        } else tip.hidden = true;
    });
    window.addEventListener("mouseup", (e) => {
        if (!drag) return;
        const d = drag;
        drag = null;
        const r = timeline.getBoundingClientRect();
        const toT = (x) => d.t0 + (x / r.width) * (d.t1 - d.t0);
        if (d.shift && d.moved) {
            const a = toT(Math.min(d.x0, d.x)), b = toT(Math.max(d.x0, d.x));
            state.selection = { range: [a, b] };
            state.flameDirty = true;
        } else if (!d.moved) {
            const hit = hitTimeline(d.x0, e.clientY - r.top);
            state.selection = hit ? { tree: hit.tree } : null;
            state.flameDirty = true;
        }
        moved();
    });

    window.addEventListener("keydown", (e) => {
        if (e.key === "Escape" && state.selection) {
            state.selection = null;
            state.flameDirty = true;
            moved();
        }
    });

    $("stats").tHead.addEventListener("click", (e) => {
        const key = e.target.dataset && e.target.dataset.key;
        if (!key) return;
        if (state.sortKey === key) state.sortDir = state.sortDir === "asc" ? "desc" : "asc";
        else {
            state.sortKey = key;
            state.sortDir = key === "name" ? "asc" : "desc";
        }
        renderStats();
    });

    function setPaused(p) {
        state.paused = p;
        const b = $("pause");
        b.setAttribute("aria-pressed", String(p));
        b.textContent = p ? "Resume" : "Pause";
        if (!p) renderLog(true);
        renderCounters();
        moved();
    }
    $("pause").onclick = () => setPaused(!state.paused);
    $("live").onclick = () => {
        state.follow = true;
        setPaused(false);
    };
    $("fit").onclick = () => {
        fitAll();
        moved();
    };
    $("ring").onchange = () => {
        const v = Number($("ring").value);
        if (v >= 1) state.session.ringSeconds = v;
    };
    $("log-filter").oninput = () => {
        logFilter = $("log-filter").value;
        renderLog(true);
    };
    $("console").onsubmit = (e) => {
        e.preventDefault();
        const input = $("console-input");
        if (!input.value) return;
        if (!send("CONI" + input.value)) showError("console input needs a connected server");
        input.value = "";
    };
    $("connect-form").onsubmit = (e) => {
        e.preventDefault();
        startLive($("ws-url").value.trim() || DEFAULT_URL, true);
    };

    function download(name, blob) {
        const a = document.createElement("a");
        a.href = URL.createObjectURL(blob);
        a.download = name;
        document.body.appendChild(a);
        a.click();
        a.remove();
        setTimeout(() => URL.revokeObjectURL(a.href), 10000);
    }
    const stamp = () => new Date().toISOString().slice(0, 19).replace(/[-:]/g, "").replace("T", "-");
    $("save").onclick = () => {
        drain();
        download(`qv_sys-${stamp()}.qvcap`, new Blob([P.encodeCapture(state.session.retained())]));
    };
    $("export").onclick = () => {
        drain();
        download(`qv_sys-${stamp()}.trace.json`, new Blob([JSON.stringify(P.traceEvents(state.session))], { type: "application/json" }));
    };

    async function loadFile(file) {
        let entries;
        try {
            entries = P.decodeCapture(new Uint8Array(await file.arrayBuffer()));
        } catch (e) {
            showError(`${file.name}: ${e.message}`);
            return;
        }
        state.mode = "capture";
        disconnect();
        state.queue.length = 0;
        // A capture is already bounded; keep all of it.
        state.session = P.replay(entries, { ringSeconds: 1e9 });
        state.session.ringSeconds = 1e9;
        errorsShown = 0;
        state.selection = null;
        state.captureName = file.name;
        setStatus("capture", `capture ${file.name}: ${entries.length} messages`);
        setPaused(false);
        fitAll();
        renderLog(true);
        checkDecodeErrors();
        state.lastSlow = 0;
        state.flameDirty = true;
    }
    $("load").onchange = () => {
        const f = $("load").files[0];
        if (f) loadFile(f);
        $("load").value = "";
    };
    window.addEventListener("dragover", (e) => {
        e.preventDefault();
        $("drop-hint").hidden = false;
    });
    window.addEventListener("dragleave", (e) => {
        if (!e.relatedTarget) $("drop-hint").hidden = true;
    });
    window.addEventListener("drop", (e) => {
        e.preventDefault();
        $("drop-hint").hidden = true;
        const f = e.dataTransfer.files[0];
        if (f) loadFile(f);
    });
    window.addEventListener("resize", moved);

    function startLive(url, remember) {
        disconnect();
        if (state.mode !== "live" || url !== state.url) {
            state.session = new P.Session({ ringSeconds: Number($("ring").value) || 60 });
            state.selection = null;
            errorsShown = 0;
            $("errors").hidden = true;
            state.flameDirty = true;
        }
        state.mode = "live";
        state.url = url;
        state.attempt = 0;
        state.backoff = BACKOFF_MIN;
        state.follow = true;
        $("ws-url").value = url;
        if (remember) {
            try {
                const q = new URLSearchParams(location.search);
                q.set("ws", url);
                history.replaceState(null, "", "?" + q.toString());
            } catch (e) {
                /* some file:// setups refuse; the address field still holds it */
            }
        }
        connect();
    }

    // What the browser test reads besides the page text.
    window.qvViewer = {
        get session() {
            return state.session;
        },
        get state() {
            return { status: state.status, paused: state.paused, follow: state.follow, t0: state.t0, t1: state.t1 };
        },
        perf() {
            const n = Math.min(state.perfCount, state.perf.length);
            const v = Array.from(state.perf.subarray(0, n)).sort((a, b) => a - b);
            return { frames: state.perfCount, median: v[n >> 1] || 0, p95: v[Math.floor(n * 0.95)] || 0 };
        },
        resetPerf() {
            state.perfCount = 0;
        },
        /* Client coordinates of a sample of the named scope in the view, for hovering. */
        locate(name, minWidth = 2) {
            const w = timeline.clientWidth, r = timeline.getBoundingClientRect();
            for (const { th, y } of threadRows().rows)
                for (const tree of state.session.treesIn(th, state.t0, state.t1))
                    for (let i = 0; i < tree.count; ++i) {
                        if (state.session.nameOf(P.rec.hash(tree, i)) !== name) continue;
                        const a = Math.max(0, (P.rec.start(tree, i) - state.t0) / (state.t1 - state.t0) * w);
                        const b = Math.min(w, (P.rec.start(tree, i) + P.rec.length(tree, i) - state.t0) / (state.t1 - state.t0) * w);
                        if (b - a < minWidth || b <= 0 || a >= w) continue;
                        const whole = (P.rec.start(tree, i) + P.rec.length(tree, i) / 2 - state.t0) / (state.t1 - state.t0) * w;
                        return { x: r.left + (a + b) / 2, y: r.top + y + HEAD + tree.depth[i] * ROW + ROW / 2, length: P.rec.length(tree, i), thread: th.name, centre: r.left + whole };
                    }
            return null;
        },
    };

    const params = new URLSearchParams(location.search);
    startLive(params.get("ws") || DEFAULT_URL, false);
    requestAnimationFrame(frame);
})();
