#include "app/log_forms.h"

#include "app/utf8.h"

namespace logform {
namespace {

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

void appendEscapedControl(std::string& out, unsigned char c)
{
    switch (c) {
    case '\n':
        out += "\\n";
        return;
    case '\r':
        out += "\\r";
        return;
    case '\t':
        out += "\\t";
        return;
    case '\0':
        out += "\\0";
        return;
    default:
        constexpr char digits[] = "0123456789ABCDEF";
        out += "\\u{";
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 0x0F]);
        out += "}";
    }
}

// Copies the text with control characters (C0, DEL and C1) escaped and invalid UTF-8 replaced;
// with escapeQuotes, the double quote and the backslash get a backslash too.
std::string escaped(std::string_view text, bool escapeQuotes)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t offset = 0; offset < text.size();) {
        const std::size_t length = utf8::sequenceLength(text, offset);
        if (length == 0) {
            out += replacementCharacter;
            ++offset;
            continue;
        }
        const auto c = static_cast<unsigned char>(text[offset]);
        // U+0080-U+009F are control characters too (NEL, CSI, ...): 0xC2 then 0x80-0x9F.
        const bool c1Control =
            length == 2 && c == 0xC2 && static_cast<unsigned char>(text[offset + 1]) <= 0x9F;
        if (c < 0x20 || c == 0x7F)
            appendEscapedControl(out, c);
        else if (c1Control)
            appendEscapedControl(out, static_cast<unsigned char>(text[offset + 1]));
        else if (escapeQuotes && (c == '"' || c == '\\'))
            (out += '\\') += static_cast<char>(c);
        else
            out.append(text.substr(offset, length));
        offset += length;
    }
    return out;
}

} // namespace

std::string decimal(std::int64_t value)
{
    return std::to_string(value);
}

std::string quoted(std::string_view text)
{
    return '"' + escaped(text, true) + '"';
}

std::string printable(std::string_view text)
{
    return escaped(text, false);
}

std::string optional(const std::optional<std::string>& valueText)
{
    return valueText ? "Optional(" + *valueText + ")" : "nil";
}

std::string optionalQuoted(const std::optional<std::string>& text)
{
    return optional(text ? std::optional(quoted(*text)) : std::nullopt);
}

std::string bytesText(std::size_t length)
{
    return std::to_string(length) + " bytes";
}

std::string list(const std::vector<std::string>& entries)
{
    std::string out = "[";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i > 0)
            out += ", ";
        out += entries[i];
    }
    return out + "]";
}

std::string separator(std::size_t count)
{
    return std::string(count, '*');
}

} // namespace logform
