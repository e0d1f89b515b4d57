// The controller under any sequence of user actions and radio callbacks.
#include "controller_driver.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto violation = reliability::runActions({data, size});
    reliability::require(violation.empty(), violation);
    return 0;
}
