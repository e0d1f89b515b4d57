// Checks on what the application writes, and how a check reports a broken rule.
#pragma once

#include <string>
#include <string_view>

namespace reliability {

// Empty when the line is valid UTF-8 without a control character (C0, DEL, C1); otherwise what is wrong.
std::string lineFault(std::string_view line);

// Names the broken rule and aborts, so that libFuzzer keeps the input that broke it.
void require(bool holds, std::string_view rule);

} // namespace reliability
