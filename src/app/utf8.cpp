#include "app/utf8.h"

namespace utf8 {

std::size_t sequenceLength(std::string_view text, std::size_t offset)
{
    const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byteAt(offset);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (offset + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char continuation = byteAt(offset + i);
        const unsigned char min = i == 1 ? low : 0x80;
        const unsigned char max = i == 1 ? high : 0xBF;
        if (continuation < min || continuation > max)
            return 0;
    }
    return length;
}

bool isValid(std::string_view text)
{
    for (std::size_t offset = 0; offset < text.size();) {
        const std::size_t length = sequenceLength(text, offset);
        if (length == 0)
            return false;
        offset += length;
    }
    return true;
}

} // namespace utf8
