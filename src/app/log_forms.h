// The forms in which the diagnostic log writes values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace logform {

// Decimal digits with a leading minus sign when negative.
std::string decimal(std::int64_t value);

// Between double quotes; the double quote and the backslash are escaped with a
// backslash, and so is every control character (\n, \r, \t, \0, others as \u{1B}),
// so a text from the radio can never start a log line of its own. Bytes that
// are not valid UTF-8 are written as U+FFFD.
std::string quoted(std::string_view text);

// A platform's description, written as it stands but with control characters
// and invalid UTF-8 escaped as in quoted(), so that it stays one line.
std::string printable(std::string_view text);

// Optional(text) when present, nil when absent; the caller gives the value's text.
std::string optional(const std::optional<std::string>& valueText);

// An optional text: Optional("...") or nil.
std::string optionalQuoted(const std::optional<std::string>& text);

// A byte sequence's text: its length and the word bytes ("1 bytes" too).
std::string bytesText(std::size_t length);

// [a, b, c]; [] when empty.
std::string list(const std::vector<std::string>& entries);

// A line of asterisks.
std::string separator(std::size_t count);

} // namespace logform
