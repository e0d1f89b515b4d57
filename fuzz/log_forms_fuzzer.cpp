// The log forms with any text: one printable line of valid UTF-8, and valid
// UTF-8 quoted with exactly its quotes, backslashes and control characters
// escaped (the replacement of invalid bytes has its cases in the log forms test).
#include "app/log_forms.h"
#include "app/utf8.h"
#include "text_checks.h"

#include <cstdint>
#include <cstdio>

namespace {

// The quoted form of valid UTF-8, byte by byte; a C1 control is C2 followed by 80 to 9F.
std::string expectedQuoted(std::string_view text)
{
    constexpr std::string_view named("\"\"\\\\\nn\rr\tt\0000", 12); // each byte, then its escape letter
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (const auto at = named.find(text[i]); at % 2 == 0) {
            out += {'\\', named[at + 1]};
        } else if (byte < 0x20 || byte == 0x7F ||
                   (byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
            byte = byte == 0xC2 ? static_cast<unsigned char>(text[++i]) : byte;
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u{%02X}", byte);
            out += escape;
        } else {
            out += text[i];
        }
    }
    return out + '"';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace reliability;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto quoted = logform::quoted(text);
    require(lineFault(quoted).empty(), "quoted: " + lineFault(quoted));
    require(!utf8::isValid(text) || quoted == expectedQuoted(text), "quoted form is not the escaped text");

    const auto printable = logform::printable(text);
    require(lineFault(printable).empty(), "printable: " + lineFault(printable));
    require(!lineFault(text).empty() || printable == text,
            "printable changed a text without control characters");
    return 0;
}
