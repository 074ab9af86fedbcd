// Internal parts of the check handler, for tests only.
#pragma once

// Makes the handler behave as if a debugger were attached, so failed checks return and their
// sites go on along their failure paths. The caller must survive the breakpoint trap each
// site then executes (a fuzzer installs a SIGTRAP handler that returns). Never called by the
// library itself.
void assert_test_pretend_debugger(bool pretend);
