// The library frame: the one piece of work done when the library is loaded.
//
// Everything else process-wide is constant data or created lazily by the family that owns
// it, so load order between libraries never matters. The clock family captures its
// frequency and start tick here; it is the only initialiser that may run at load.
#include "chrono.h"

#include "platform/os.h"

namespace {

__attribute__((constructor)) void qv_sys_on_load() {
    chrono_init_at_load();
}

} // namespace
