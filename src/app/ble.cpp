#include "app/ble.h"

#include <algorithm>
#include <cctype>
#include <cstddef>

namespace ble {
namespace {

// 0000xxxx-0000-1000-8000-00805F9B34FB
constexpr std::array<std::uint8_t, 16> baseUuid = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                                   0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

std::optional<std::uint8_t> hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<std::uint8_t>(c - '0');
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper >= 'A' && upper <= 'F')
        return static_cast<std::uint8_t>(upper - 'A' + 10);
    return std::nullopt;
}

// The hex digits of the text (dashes only where the full form puts them) as bytes.
std::optional<std::vector<std::uint8_t>> hexBytes(std::string_view text)
{
    std::vector<std::uint8_t> nibbles;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dashPosition = text.size() == 36 && (i == 8 || i == 13 || i == 18 || i == 23);
        if (dashPosition) {
            if (text[i] != '-')
                return std::nullopt;
            continue;
        }
        const auto digit = hexDigit(text[i]);
        if (!digit)
            return std::nullopt;
        nibbles.push_back(*digit);
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < nibbles.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(nibbles[i] << 4 | nibbles[i + 1]));
    return bytes;
}

void appendHex(std::string& out, std::uint8_t byte)
{
    constexpr char digits[] = "0123456789ABCDEF";
    out.push_back(digits[byte >> 4]);
    out.push_back(digits[byte & 0x0F]);
}

} // namespace

std::optional<Uuid> Uuid::fromString(std::string_view text)
{
    if (text.size() != 4 && text.size() != 8 && text.size() != 36)
        return std::nullopt;
    const auto bytes = hexBytes(text);
    if (!bytes)
        return std::nullopt;
    if (bytes->size() == 16) {
        std::array<std::uint8_t, 16> full{};
        std::copy(bytes->begin(), bytes->end(), full.begin());
        return Uuid(full);
    }
    std::uint32_t value = 0;
    for (const auto byte : *bytes)
        value = value << 8 | byte;
    return fromShort(value);
}

Uuid Uuid::fromShort(std::uint32_t value)
{
    auto bytes = baseUuid;
    bytes[0] = static_cast<std::uint8_t>(value >> 24);
    bytes[1] = static_cast<std::uint8_t>(value >> 16);
    bytes[2] = static_cast<std::uint8_t>(value >> 8);
    bytes[3] = static_cast<std::uint8_t>(value);
    return Uuid(bytes);
}

std::string Uuid::uuidString() const
{
    std::string text;
    const bool onBase = std::equal(bytes_.begin() + 4, bytes_.end(), baseUuid.begin() + 4);
    if (onBase) {
        const std::size_t first = bytes_[0] == 0 && bytes_[1] == 0 ? 2 : 0;
        for (std::size_t i = first; i < 4; ++i)
            appendHex(text, bytes_[i]);
        return text;
    }
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text.push_back('-');
        appendHex(text, bytes_[i]);
    }
    return text;
}

} // namespace ble
