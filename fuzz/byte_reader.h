// Turns a fuzzer's bytes into decisions. Once the bytes run out every read
// gives zero, so any input, however short, is a complete run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace reliability {

class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool empty() const { return offset_ >= bytes_.size(); }

    std::uint8_t byte() { return empty() ? 0 : bytes_[offset_++]; }

    // A number from 0 to bound - 1 (bound at most 65536).
    std::uint32_t below(std::uint32_t bound)
    {
        if (bound <= 1)
            return 0;
        const std::uint32_t raw = bound <= 256 ? byte() : static_cast<std::uint32_t>(byte() << 8 | byte());
        return raw % bound;
    }

    bool flag() { return byte() & 1; }

    std::int32_t int32()
    {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value = value << 8 | byte();
        return static_cast<std::int32_t>(value);
    }

    // A length byte, then that many bytes (fewer when the input ends).
    std::vector<std::uint8_t> bytes(std::size_t maxLength)
    {
        const std::size_t length = below(static_cast<std::uint32_t>(maxLength) + 1);
        std::vector<std::uint8_t> out;
        for (std::size_t i = 0; i < length && !empty(); ++i)
            out.push_back(byte());
        return out;
    }

    std::string text(std::size_t maxLength)
    {
        const auto raw = bytes(maxLength);
        return {raw.begin(), raw.end()};
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t offset_ = 0;
};

} // namespace reliability
