// How a failed check ends the process, how it carries on under a debugger, and its report.
#include "support/test_support.h"

#include "qv_sys/assertion.h"
#include "qv_sys/io.h"

#include <signal.h>

namespace {

// Two threads fail at once: one report, and the other caller is answered at once.
std::atomic<int> s_reports{0}, s_answered{0};

void count_report(void*, const char*, const char*, sys_u32, const char*) {
    const int reports = ++s_reports;
    for (int i = 0; i < 5000 && s_answered.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    fprintf(stderr, "reports=%d answered=%d\n", reports, s_answered.load());
}

void fail_on_two_threads_at_once() {
    sys_assert_add_callback(count_report, nullptr);
    std::atomic<int> ready{0};
    auto fail = [&] {
        for (++ready; ready.load() < 2;) {
        }
        if (sys_assert_handler("both", __FILE__, __LINE__, 1, nullptr) == 1)
            ++s_answered;
        // Both stay until the report ends the process (a thread left unjoined upsets TSan).
        for (;;)
            std::this_thread::sleep_for(std::chrono::seconds(1));
    };
    std::thread a(fail), b(fail);
    a.join();
    b.join();
}

TEST(AssertionDeathTest, TwoThreadsFailingAtOnceGiveOneReport) {
    EXPECT_EXIT(fail_on_two_threads_at_once(), ::testing::ExitedWithCode(qv_test::kCheckExitCode),
                "reports=1 answered=1");
}

// In a fresh process a context message needs the slot the first callback makes; sys_abort
// ends abnormally.
TEST(AssertionDeathTest, AbortEndsAbnormallyAndContextNeedsTheSlotOfTheFirstCallback) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    QV_EXPECT_CHECK_FAILS(sys_assert_message_push("early"));
#if defined(_WIN32)
    EXPECT_EXIT(sys_abort(), ::testing::ExitedWithCode(3), "");
#else
    EXPECT_EXIT(sys_abort(), ::testing::KilledBySignal(SIGABRT), "");
#endif
}

struct Recorded {
    std::string condition, file, report;
    sys_u32 line = 0;
} g_recorded; // by the callback with user data 1
std::vector<int> g_order;

void record(void* user, const char* condition, const char* file, sys_u32 line, const char* report) {
    g_order.push_back((int)(intptr_t)user);
    if ((intptr_t)user == 1)
        g_recorded = {condition, file, report, line};
}

std::string g_printed;
int g_print_calls = 0;
void print_to_string(void*, const char* text, sys_u64 length, sys_bool is_error) {
    g_printed.append(text, length);
    g_print_calls += is_error ? 1 : 100;
}

int g_fail_line = 0;
__attribute__((noinline)) int fail_here(int value) {
    g_fail_line = __LINE__ + 1;
    if (!SYS_CHECK_MSG(value < 0, "value %i too big", value))
        return -1;
    return value;
}

} // namespace

// Under the debugger the handler returns and the function takes its failure path. The check
// and the 65th push trap; later failures report nothing.
QV_CHECK_SCENARIO(AssertReport, ReportReachesEveryCallbackInOrder, 2, {
    sys_set_game_version("game 1.2.3");
    sys_assert_add_callback(record, (void*)1);
    sys_assert_add_callback(record, (void*)2);
    sys_assert_add_callback(record, (void*)3);
    sys_assert_remove_callback(record, (void*)4); // callback matches, user data does not
    sys_assert_remove_callback(record, (void*)2); // later entries move down, order kept
    sys_assert_add_callback(sys_assert_callback_print, nullptr);
    sys_printf_add_callback(print_to_string, nullptr);
    sys_assert_message_push("first context");
    sys_assert_message_push("second context");

    EXPECT_EQ(fail_here(5), -1);
    EXPECT_EQ(fail_here(-2), -2); // a holding check yields 1
    EXPECT_EQ(sys_assert_handler("again", __FILE__, __LINE__, 1, NULL), 1u);
    EXPECT_EQ(g_order, (std::vector<int>{1, 3}));
    EXPECT_EQ(g_recorded.condition, "value < 0");
    EXPECT_EQ(g_recorded.file.substr(g_recorded.file.find_last_of("/\\") + 1),
              "test_assertion.cpp");
    EXPECT_EQ(g_recorded.line, (sys_u32)g_fail_line);

    const std::string head = "value 5 too big\n\ngame 1.2.3\n\nAdditional assert messages:\n"
                             "first context\nsecond context\n\nCallstack:\n0: ";
    const std::string& r = g_recorded.report;
    ASSERT_EQ(r.substr(0, head.size()), head) << r;
    // Frame 0 is the function that made the check, with its file and line.
    const size_t frame1 = r.find("\n1: ");
    ASSERT_NE(frame1, std::string::npos) << r;
    const std::string frame0 = r.substr(head.size(), frame1 - head.size());
    EXPECT_NE(frame0.find("fail_here"), std::string::npos) << r;
    EXPECT_NE(frame0.find("test_assertion.cpp:" + std::to_string(g_fail_line) + ":"),
              std::string::npos)
        << r;
    EXPECT_LT(r.size(), 4096u);

    EXPECT_EQ(g_print_calls, 1);
    const std::string tail = "|game 1.2.3|" + g_recorded.file + ":" + std::to_string(g_fail_line) +
                             "] ASSERT failed: value < 0 [" + r + "]\n";
    ASSERT_GE(g_printed.size(), tail.size() + 16);
    EXPECT_EQ(g_printed.substr(0, 1), "[");
    EXPECT_EQ(g_printed.substr(16), tail);

    // Popped top first; an empty stack gives null without a report, a full one refuses the 65th.
    sys_u64 count = 0;
    const char** messages = sys_assert_message_peek(&count);
    ASSERT_EQ(count, 2u);
    EXPECT_STREQ(messages[0], "first context");
    EXPECT_STREQ(sys_assert_message_pop(), "second context");
    EXPECT_STREQ(sys_assert_message_pop(), "first context");
    EXPECT_EQ(sys_assert_message_pop(), nullptr);
    for (int i = 0; i < 65; ++i)
        sys_assert_message_push("m");
    sys_assert_message_peek(&count);
    EXPECT_EQ(count, 64u);
    // Stacks are per thread. (No failed check there: the tracer follows the main thread only.)
    std::thread other([] {
        sys_u64 n = 9;
        EXPECT_EQ(sys_assert_message_peek(&n), nullptr);
        EXPECT_EQ(n, 0u);
    });
    other.join();
})
