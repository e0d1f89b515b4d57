#include "text_checks.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace reliability {
namespace {

// The code point that starts at the offset and its length, by RFC 3629; a length of 0 when invalid.
std::pair<char32_t, std::size_t> decodeAt(std::string_view text, std::size_t offset)
{
    const auto lead = static_cast<std::uint8_t>(text[offset]);
    if (lead < 0x80)
        return {lead, 1};
    const std::size_t length = lead >= 0xF8 ? 0 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || offset + length > text.size())
        return {0, 0};
    char32_t codePoint = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto continuation = static_cast<std::uint8_t>(text[offset + i]);
        if ((continuation & 0xC0) != 0x80)
            return {0, 0};
        codePoint = codePoint << 6 | (continuation & 0x3F);
    }
    constexpr char32_t smallestOfLength[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < smallestOfLength[length] || (codePoint >= 0xD800 && codePoint <= 0xDFFF) ||
        codePoint > 0x10FFFF)
        return {0, 0};
    return {codePoint, length};
}

} // namespace

std::string withInvalidBytesReplaced(std::string_view text)
{
    std::string out;
    for (std::size_t offset = 0; offset < text.size();) {
        const auto length = decodeAt(text, offset).second;
        out += length == 0 ? "\uFFFD" : text.substr(offset, length);
        offset += length == 0 ? 1 : length;
    }
    return out;
}

std::string lineFault(std::string_view line)
{
    for (std::size_t offset = 0; offset < line.size();) {
        const auto [codePoint, length] = decodeAt(line, offset);
        if (length == 0)
            return "invalid UTF-8 at offset " + std::to_string(offset);
        if (codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F))
            return "raw control character at offset " + std::to_string(offset);
        offset += length;
    }
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
