// The viewer's requests as the server hands them on (at most 1022 bytes, a NUL after them) to
// a running instance: a name request ("GSMP" and a decimal hash) must be answered by the "SSMP"
// of a name some thread holds, exactly the one asked for when all digits; console input
// ("CONI" and text) must come back as log lines split at line feeds and every 1015 bytes.
#include "profiler/profiler_internal.h"
#include "profiler/scope_internal.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const kNames[] = {"frame", "physics", "a", "render shadows"};

Profiler g_context; // the instance's samplers
Server g_server;
ThreadSampler* g_self = nullptr;

void start() {
    ProfilerSettings settings = *prf_settings();
    settings.port = 0; // the system's pick: nobody connects
    settings.bind_loopback = 1;
    if (Profiler_Start(&settings) != PRF_ERROR_NONE)
        abort();
    for (const char* name : kNames) {
        scope_begin(name);
        scope_end();
    }
    Profiler* prof = profiler_instance();
    if (FetchThreadSampler(prof, &g_self) != PRF_ERROR_NONE)
        abort();
    // Queued trees sit where a leak checker does not look for pointers: stopping the instance
    // at exit puts them back in their pools before it runs.
    atexit(scope_static_destroy);
    // Answers go to a server of this target's own: nothing races with the profiler thread.
    ByteBuffer_Create(&g_server.send_buf, 4096);
    g_context.server = &g_server;
    g_context.first_thread_sampler = LoadAcquirePtr(&prof->first_thread_sampler);
}

// The log lines this thread queued since the last call; trees of other threads go back.
std::vector<std::string> take_lines() {
    std::vector<std::string> lines;
    MsgRing* queue = profiler_instance()->sample_queue;
    while (Message* message = MsgRing_Peek(queue)) {
        const prf_u8* payload = Message_Payload(message);
        if (message->id == MsgID_Tree) {
            Sample* tree;
            ObjectPool* pool;
            memcpy(&tree, payload, sizeof(tree));
            memcpy(&pool, payload + sizeof(void*), sizeof(pool));
            ReleaseSampleTree(tree, pool);
        } else if (message->thread_sampler == g_self) {
            prf_u32 length;
            memcpy(&length, payload + 4, 4);
            if (memcmp(payload, "LOGM", 4) != 0 || length + 8 != message->payload_size)
                abort();
            lines.emplace_back((const char*)payload + 8, length);
        }
        MsgRing_Release(queue, message);
    }
    return lines;
}

// The echo, then each line (up to a NUL) in pieces of at most 1015 bytes.
std::vector<std::string> expected_lines(const std::string& text) {
    std::vector<std::string> lines = {"Console message received..."};
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        for (size_t piece = at; piece == at || piece < end; piece += 1015)
            lines.push_back(text.substr(piece, std::min<size_t>(1015, end - piece)));
        at = end + 1;
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const bool started = (start(), true);
    if (size > 1022)
        return 0;
    take_lines();
    std::vector<prf_u8> message(data, data + size);
    message.push_back(0);
    g_server.send_buf.bytes_filled = 0;
    if (HandleViewerMessage(&g_context, message.data(), (prf_u32)size) != PRF_ERROR_NONE)
        abort();

    const bool name_request = size >= 4 && memcmp(data, "GSMP", 4) == 0;
    bool digits = name_request && size > 4;
    prf_u32 asked = 0;
    for (size_t i = 4; digits && i < size; ++i) {
        digits = data[i] >= '0' && data[i] <= '9';
        asked = asked * 10 + (data[i] - '0');
    }
    const ByteBuffer& answer = g_server.send_buf;
    if (answer.bytes_filled != 0) {
        const prf_u8* p = answer.data + PRF_SEND_RESERVE;
        prf_u32 hash, length;
        memcpy(&hash, p + 4, 4);
        memcpy(&length, p + 8, 4);
        if (!name_request || memcmp(p, "SSMP", 4) != 0 || (digits && hash != asked) ||
            answer.bytes_filled != PRF_SEND_RESERVE + 12 + length ||
            HashName(std::string((const char*)p + 12, length).c_str()) != hash)
            abort();
    } else if (digits) {
        for (const char* name : kNames)
            if (HashName(name) == asked)
                abort(); // a name this thread holds went unanswered
    }

    const bool console = size >= 4 && memcmp(data, "CONI", 4) == 0;
    const std::vector<std::string> expected =
        console ? expected_lines((const char*)message.data() + 4) : std::vector<std::string>();
    // A message another thread has reserved but not yet published holds back the ones behind
    // it: read on until the lines are all there or a generous limit has passed.
    std::vector<std::string> lines = take_lines();
    for (int tries = 0; lines.size() < expected.size() && tries < 2000; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (std::string& line : take_lines())
            lines.push_back(std::move(line));
    }
    if (lines != expected)
        abort();
    return 0;
}
