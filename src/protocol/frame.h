// The meter's measurement frame: 19 bytes, the reading kind at offset 4
// ("0" temperature, "4" relative humidity) and the reading as four bytes of
// text at offsets 7 to 10, shown exactly as the meter spells it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace protocol {

inline constexpr std::size_t frameLength = 19;
inline constexpr std::size_t kindOffset = 4;
inline constexpr std::size_t valueOffset = 7;
inline constexpr std::size_t valueLength = 4;

// The measurement request written to FF01.
inline constexpr std::uint8_t measurementRequest = 0x5E;

inline constexpr std::string_view temperatureSuffix = " \u02DA"
                                                      "C";
inline constexpr std::string_view humiditySuffix = " %RH";

enum class ReadingKind { temperature, humidity };

struct Reading {
    ReadingKind kind;
    // The four bytes as UTF-8 text; absent when they are not valid UTF-8.
    std::optional<std::string> valueText;
    // The value text, or "error", followed by the kind's unit suffix.
    std::string displayText;
};

// Bytes decoded as UTF-8 text; absent when they are not valid UTF-8. A zero
// byte is valid and stays in the text.
std::optional<std::string> utf8Text(std::span<const std::uint8_t> bytes);

// The byte at the kind offset as text, absent when it is not a character by itself.
// Only for a whole frame.
std::optional<std::string> readingKindText(std::span<const std::uint8_t> frame);

// The reading a value carries: nothing unless it is 19 bytes long with kind "0" or "4".
std::optional<Reading> decodeFrame(std::span<const std::uint8_t> value);

} // namespace protocol
