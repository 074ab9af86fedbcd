/* Records what a running profiler sends into a capture file, the format the page saves and
 * loads. It asks for unknown names and sends one console line, as the page would, so the
 * capture holds every kind of message the server sends. The decoder tests' fixtures come
 * from here:
 *     node browser/record.js ws://127.0.0.1:17815 2 test/fixtures/default.qvcap */
"use strict";
const fs = require("fs");
const path = require("path");
const ws = require("./ws");
const P = require("../profile.js");

async function record(url, seconds, consoleText) {
    let conn;
    const deadline = Date.now() + 20000;
    for (;;) {
        try {
            conn = await ws.connect(url);
            break;
        } catch (e) {
            if (Date.now() > deadline) throw e;
            await new Promise((r) => setTimeout(r, 200));
        }
    }
    const t0 = Date.now();
    const entries = [];
    const session = new P.Session({ ringSeconds: 3600 });
    conn.onmessage = (payload) => {
        const t = Date.now() - t0;
        entries.push({ t, bytes: new Uint8Array(payload) });
        for (const h of session.ingest(payload, t) || []) conn.send("GSMP" + h);
    };
    await new Promise((r) => setTimeout(r, 500));
    if (consoleText) conn.send("CONI" + consoleText);
    await new Promise((r) => setTimeout(r, seconds * 1000));
    conn.close();
    return { entries, session };
}

if (require.main === module) {
    const [url, seconds, out, text] = process.argv.slice(2);
    record(url, Number(seconds), text === undefined ? "fixture console line" : text).then(
        ({ entries, session }) => {
            fs.mkdirSync(path.dirname(out), { recursive: true });
            fs.writeFileSync(out, P.encodeCapture(entries));
            console.log(
                `${out}: ${entries.length} messages, ${session.treeCount()} trees, ` +
                    `${session.names.size} names, threads ${[...session.threads.keys()].join(", ")}`,
            );
        },
        (e) => {
            console.error(e.message);
            process.exit(1);
        },
    );
}

module.exports = { record };
