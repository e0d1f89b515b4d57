#include "text_checks.h"

#include "app/utf8.h"

#include <charconv>
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

std::optional<std::string> unquote(std::string_view quoted)
{
    if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"')
        return std::nullopt;
    constexpr std::string_view escapes("\"\"\\\\n\nr\rt\t0\0",
                                       12); // each escape letter, then what it stands for
    std::string out;
    for (auto body = quoted.substr(1, quoted.size() - 2); !body.empty();) {
        const auto escape =
            body.size() > 1 && body[0] == '\\' ? escapes.find(body[1]) : std::string_view::npos;
        unsigned control = 0;
        if (body[0] == '"') {
            return std::nullopt;
        } else if (body[0] != '\\') {
            out += body[0];
            body.remove_prefix(1);
        } else if (escape % 2 == 0) {
            out += escapes[escape + 1];
            body.remove_prefix(2);
        } else if (body.starts_with("\\u{") && body.substr(5, 1) == "}" &&
                   std::from_chars(&body[3], &body[5], control, 16).ptr == &body[5]) {
            // A control character as two hex digits, in UTF-8.
            out += control < 0x80 ? std::string{static_cast<char>(control)}
                                  : std::string{static_cast<char>(0xC0 | control >> 6),
                                                static_cast<char>(0x80 | (control & 0x3F))};
            body.remove_prefix(6);
        } else {
            return std::nullopt;
        }
    }
    return out;
}

void require(bool holds, std::string_view rule)
{
    if (holds)
        return;
    std::fprintf(stderr, "broken: %.*s\n", static_cast<int>(rule.size()), rule.data());
    std::abort();
}

} // namespace reliability
