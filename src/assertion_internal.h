// Internal parts of the check family: the report builder shared by the check handler and the
// crash handlers, and a switch for tests.
#pragma once

#include "qv_sys/assertion.h"
#include "qv_sys/types.h"

#include <stdarg.h>

// A report under construction in a buffer its owner sizes. The buffer is zeroed here and its
// last byte is never written, so the text stays terminated however it is cut. Nothing
// allocates: crash handlers build their report inside a signal handler.
class ReportBuilder {
  public:
    // An empty builder that holds no buffer yet, so a static report needs no run-time
    // initialisation (a crash handler's first use must not take the static-init guard).
    constexpr ReportBuilder() : text_(nullptr), size_(0), used_(0) {}
    ReportBuilder(char* text, sys_u64 size);

    void append(const char* piece);
    void appendf(const char* format, ...);
    void vappendf(const char* format, va_list args);
    // "\n\nAdditional assert messages:" and the calling thread's context messages, oldest
    // first; nothing when it has none. Raises no check, so a crash before any assertion
    // callback was registered still gets its report.
    void append_context_messages();
    // "\n\nCallstack:\n" and the frames from `first` on, numbered from 0, each with its file
    // line when it has one; "\n\nNo callstack found." when the walk found no frame at all.
    void append_callstack(const callstack_entry* frames, sys_u64 count, sys_u64 first);

    // The text's length so far; where the next piece goes.
    sys_u64 length() const { return used_; }
    const char* end() const { return text_ + used_; }

  private:
    char* text_;
    sys_u64 size_;
    sys_u64 used_;
};

// The game version text given to sys_set_game_version ("" until set).
const char* assert_game_version();

// Makes the handler behave as if a debugger were attached, so failed checks return and their
// sites go on along their failure paths. The caller must survive the breakpoint trap each
// site then executes (a fuzzer installs a SIGTRAP handler that returns). Never called by the
// library itself.
void assert_test_pretend_debugger(bool pretend);
