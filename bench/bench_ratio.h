// Shared main for the benchmark programs. Benchmarks come in pairs named "<case>/qv_sys" and
// "<case>/<peer>" (arguments may follow); after the usual table the program prints, for each case,
// qv_sys's time over the peer's (below 1.0 means qv_sys is faster).
#pragma once
