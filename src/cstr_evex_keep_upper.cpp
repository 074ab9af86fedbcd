// The AVX-512 comparison of cstr_evex.cpp compiled a second time, without the instruction that
// clears the vector registers' upper halves before each return (the build gives this file
// -mno-vzeroupper). Compilers put that instruction at every exit of code that used 256-bit
// registers because some processors slow down SSE code that runs while those halves are set;
// AMD's do not, and there it is a cost paid on every call (a few percent of a 1 KiB comparison,
// up to a tenth of a short one, measured with bench_cstr). cstr.cpp picks this copy only on
// AMD processors; elsewhere the first copy runs.
#define QV_CSTR_EVEX_KEEP_UPPER 1
#include "cstr_evex.cpp"
