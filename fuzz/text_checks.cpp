#include "text_checks.h"

#include "app/utf8.h"

#include <cstdio>
#include <cstdlib>

namespace reliability {

std::string lineFault(std::string_view line)
{
    if (!utf8::isValid(line))
        return "invalid UTF-8";
    // In valid UTF-8 a C1 control (U+0080 to U+009F) is C2 followed by 80 to 9F.
    for (std::size_t offset = 0; offset < line.size(); ++offset)
        if (const auto byte = static_cast<unsigned char>(line[offset]);
            byte < 0x20 || byte == 0x7F ||
            (byte == 0xC2 && static_cast<unsigned char>(line[offset + 1]) < 0xA0))
            return "raw control character at offset " + std::to_string(offset);
    return {};
}

void require(bool holds, std::string_view rule)
{
    if (holds)
        return;
    std::fprintf(stderr, "broken: %.*s\n", static_cast<int>(rule.size()), rule.data());
    std::abort();
}

} // namespace reliability
