#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzz {

// A broken property is a finding: say which and stop, so libFuzzer keeps the input.
[[noreturn]] inline void fail(const char *what) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

inline void check(bool ok, const char *what) {
    if (!ok)
        fail(what);
}

} // namespace fuzz
