// Internal parts of the check handler, for tests only.
#pragma once

// Makes the handler behave as if a debugger were attached, so failed checks return and their
// sites go on along their failure paths. The caller must survive the breakpoint trap each
// site then executes (a fuzzer installs a SIGTRAP handler that returns). Never called by the
// library itself.
void assert_test_pretend_debugger(bool pretend);

#include "qv_sys/types.h"

// The calling thread's context messages, oldest first, and their number; null and 0 when it
// has none. Unlike sys_assert_message_peek it never raises a check, so crash handlers can
// call it before any assertion callback was registered.
const char* const* assert_context_messages(sys_u64* count);

// The game version text given to sys_set_game_version ("" until set).
const char* assert_game_version();
