#include "text_checks.h"

#include <cstdint>

namespace reliability {
namespace {

struct Decoded {
    char32_t codePoint;
    std::size_t length;
};

// The code point that starts at the offset, by the rules of RFC 3629;
// nothing for a byte that does not start a valid sequence.
std::optional<Decoded> decodeAt(std::string_view text, std::size_t offset)
{
    const auto byteAt = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byteAt(offset);
    if (lead < 0x80)
        return Decoded{lead, 1};
    std::size_t length = 0;
    char32_t codePoint = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        codePoint = lead & 0x07;
    } else {
        return std::nullopt;
    }
    if (offset + length > text.size())
        return std::nullopt;
    for (std::size_t i = 1; i < length; ++i) {
        const std::uint8_t continuation = byteAt(offset + i);
        if ((continuation & 0xC0) != 0x80)
            return std::nullopt;
        codePoint = codePoint << 6 | (continuation & 0x3F);
    }
    constexpr char32_t smallestOfLength[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool overlong = codePoint < smallestOfLength[length];
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    if (overlong || surrogate || codePoint > 0x10FFFF)
        return std::nullopt;
    return Decoded{codePoint, length};
}

bool isControl(char32_t codePoint)
{
    return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F);
}

void appendUtf8(std::string& out, char32_t codePoint)
{
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | codePoint >> 6));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | codePoint >> 12));
        out.push_back(static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | codePoint >> 18));
        out.push_back(static_cast<char>(0x80 | (codePoint >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

std::optional<char32_t> hexValue(std::string_view digits)
{
    if (digits.empty() || digits.size() > 6)
        return std::nullopt;
    char32_t value = 0;
    for (const char c : digits) {
        int digit = 0;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        value = value << 4 | static_cast<char32_t>(digit);
    }
    return value;
}

} // namespace

bool isValidUtf8(std::string_view text)
{
    for (std::size_t offset = 0; offset < text.size();) {
        const auto decoded = decodeAt(text, offset);
        if (!decoded)
            return false;
        offset += decoded->length;
    }
    return true;
}

std::optional<std::size_t> firstControlCharacter(std::string_view text)
{
    for (std::size_t offset = 0; offset < text.size();) {
        const auto decoded = decodeAt(text, offset);
        if (!decoded)
            return std::nullopt;
        if (isControl(decoded->codePoint))
            return offset;
        offset += decoded->length;
    }
    return std::nullopt;
}

std::string lineFault(std::string_view line)
{
    if (!isValidUtf8(line))
        return "invalid UTF-8";
    if (const auto offset = firstControlCharacter(line))
        return "raw control character at offset " + std::to_string(*offset);
    return {};
}

std::optional<std::string> unquote(std::string_view quotedText)
{
    if (quotedText.size() < 2 || quotedText.front() != '"' || quotedText.back() != '"')
        return std::nullopt;
    const auto body = quotedText.substr(1, quotedText.size() - 2);
    std::string out;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '"')
            return std::nullopt;
        if (body[i] != '\\') {
            out.push_back(body[i]);
            continue;
        }
        if (++i == body.size())
            return std::nullopt;
        switch (body[i]) {
        case '"':
        case '\\':
            out.push_back(body[i]);
            break;
        case 'n':
            out.push_back('\n');
            break;
        case 'r':
            out.push_back('\r');
            break;
        case 't':
            out.push_back('\t');
            break;
        case '0':
            out.push_back('\0');
            break;
        case 'u': {
            const auto close = body.find('}', i);
            if (i + 1 >= body.size() || body[i + 1] != '{' || close == std::string_view::npos)
                return std::nullopt;
            const auto value = hexValue(body.substr(i + 2, close - i - 2));
            if (!value)
                return std::nullopt;
            appendUtf8(out, *value);
            i = close;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return out;
}

std::string withInvalidBytesReplaced(std::string_view text)
{
    std::string out;
    for (std::size_t offset = 0; offset < text.size();) {
        const auto decoded = decodeAt(text, offset);
        if (!decoded) {
            appendUtf8(out, 0xFFFD);
            ++offset;
            continue;
        }
        out.append(text.substr(offset, decoded->length));
        offset += decoded->length;
    }
    return out;
}

} // namespace reliability
