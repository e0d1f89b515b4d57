#include "text_checks.h"

#include <cstdint>
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
    const auto body = quoted.substr(1, quoted.size() - 2);
    constexpr std::string_view escapes = "\"\\nrt0";
    constexpr std::string_view escaped("\"\\\n\r\t\0", 6);
    constexpr std::string_view hex = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '"')
            return std::nullopt;
        if (body[i] != '\\') {
            out += body[i];
        } else if (i + 1 < body.size() && escapes.find(body[i + 1]) != std::string_view::npos) {
            out += escaped[escapes.find(body[++i])];
        } else {
            // \u{XX}: a control character as two upper-case hex digits.
            if (body.substr(i + 1, 2) != "u{" || body.substr(i + 5, 1) != "}" || hex.find(body[i + 3]) > 15 ||
                hex.find(body[i + 4]) > 15)
                return std::nullopt;
            const auto codePoint = static_cast<unsigned>(hex.find(body[i + 3]) * 16 + hex.find(body[i + 4]));
            if (codePoint < 0x80)
                out += static_cast<char>(codePoint);
            else
                out +=
                    {static_cast<char>(0xC0 | codePoint >> 6), static_cast<char>(0x80 | (codePoint & 0x3F))};
            i += 5;
        }
    }
    return out;
}

} // namespace reliability
