// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <string_view>

namespace utf8 {

// The length of the valid sequence that starts at the offset, or 0 when the
// bytes there are not valid UTF-8.
std::size_t sequenceLength(std::string_view text, std::size_t offset);

bool isValid(std::string_view text);

} // namespace utf8
