// Checks on what the application writes, decoded here independently of the
// application's own UTF-8 code so that the two cannot share a mistake.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace reliability {

bool isValidUtf8(std::string_view text);

// The offset of the first control character (U+0000-U+001F, U+007F or
// U+0080-U+009F), or nothing. The text must be valid UTF-8.
std::optional<std::size_t> firstControlCharacter(std::string_view text);

// Empty when the line is valid UTF-8 without a control character; otherwise
// what is wrong with it.
std::string lineFault(std::string_view line);

// Reverses the quoted form: the text between the double quotes with every
// escape undone; nothing when the text is not in that form.
std::optional<std::string> unquote(std::string_view quotedText);

// The text with each byte that is not part of a valid UTF-8 sequence
// replaced by U+FFFD.
std::string withInvalidBytesReplaced(std::string_view text);

} // namespace reliability
