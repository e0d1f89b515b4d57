// How a fuzz target reports a broken rule: it names the rule and aborts, so
// that libFuzzer keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace reliability {

inline void require(bool holds, std::string_view rule)
{
    if (holds)
        return;
    std::fprintf(stderr, "broken: %.*s\n", static_cast<int>(rule.size()), rule.data());
    std::abort();
}

} // namespace reliability
