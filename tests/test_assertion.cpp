// The check convention: how a failed check ends the process, and how it carries on under a
// real debugger.
#include "support/test_support.h"

#include "qv_sys/assertion.h"

#include <stdio.h>
#include <stdlib.h>

namespace {

// A function with a failure result, written the way every library function checks.
int checked_read(const int* p) {
    if (!SYS_CHECK(p != NULL))
        return -1;
    return *p;
}

TEST(AssertionDeathTest, FailedCheckEndsTheProcessBeforeTheNextLine) {
    // Had the handler returned, the exit code would be 7, not the check's.
    EXPECT_EXIT(
        {
            checked_read(nullptr);
            exit(7);
        },
        ::testing::ExitedWithCode(qv_test::kCheckExitCode), "");
}

TEST(AssertionDeathTest, HandlerCalledDirectlyEndsTheProcess) {
    EXPECT_EXIT(
        {
            sys_assert_handler("host condition", __FILE__, __LINE__, 3, "with %s", "message");
            exit(7);
        },
        ::testing::ExitedWithCode(qv_test::kCheckExitCode), "");
}

TEST(Assertion, HoldingCheckCostsNothingAndYieldsOne) {
    int value = 11;
    EXPECT_EQ(checked_read(&value), 11);
    EXPECT_EQ(SYS_CHECK(value == 11), 1);
    EXPECT_EQ(SYS_CHECK_MSG(value > 0, "value %d", value), 1);
}

// Run only as the child of AssertionUnderDebugger below, with a tracer attached.
TEST(AssertDebuggee, DISABLED_FailedChecksResume) {
    // First failure: the handler returns 1 (debugger present), the site traps, and once
    // resumed the function takes its failure path.
    EXPECT_EQ(checked_read(nullptr), -1);
    // Later failures return 1 at once, from any path, and still trap at the site.
    EXPECT_EQ(sys_assert_handler("again", __FILE__, __LINE__, 1, NULL), 1u);
    EXPECT_EQ(checked_read(nullptr), -1);
    int value = 5;
    EXPECT_EQ(checked_read(&value), 5);
    qv_test::end_debuggee();
}

TEST(AssertionUnderDebugger, FailedChecksTrapAndTakeTheFailurePath) {
    const qv_test::DebuggedRun run =
        qv_test::run_test_under_debugger("AssertDebuggee.DISABLED_FailedChecksResume");
    ASSERT_TRUE(run.started) << "the debuggee did not run to its end";
    EXPECT_EQ(run.exit_code, qv_test::kDebuggeeOk);
    // Two failing SYS_CHECKs trap; the direct handler call does not.
    EXPECT_EQ(run.traps, 2);
}

} // namespace
