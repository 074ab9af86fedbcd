// Call stacks: the portable pieces shared by both platforms' walkers.
#pragma once

#include "qv_sys/assertion.h"

#include "platform/os.h"

// The engine's source folder marker: paths below it are shown relative to it.
inline constexpr char kCallstackEngineMarker[] = "quorvale";

// `path` shortened to what follows the engine marker and the one separator ('/' or '\')
// after it; `path` itself when it holds no marker. Points into `path`.
const char* callstack_cut_at_marker(const char* path);

// Clears `entry` and fills it from one looked-up frame: "<failed function lookup>" without a
// symbol, else the name, and when a file is known the file (shortened at the marker), line
// and displacement. Texts are cut to 511 bytes.
void callstack_fill_entry(callstack_entry* entry, const OsFrameSymbol& frame);
