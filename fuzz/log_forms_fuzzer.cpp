// The log forms with any text: one printable line, valid UTF-8, and the
// quoted form gives back exactly the text it was made from.
#include "app/log_forms.h"
#include "fuzz_check.h"
#include "text_checks.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using reliability::require;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const bool ordinary = reliability::isValidUtf8(text);

    const auto quoted = logform::quoted(text);
    require(reliability::lineFault(quoted).empty(), "quoted: " + reliability::lineFault(quoted));
    const auto unquoted = reliability::unquote(quoted);
    require(unquoted.has_value(), "quoted form cannot be read back");
    require(*unquoted == (ordinary ? std::string(text) : reliability::withInvalidBytesReplaced(text)),
            "quoted form does not give back its text");

    const auto printable = logform::printable(text);
    require(reliability::lineFault(printable).empty(), "printable: " + reliability::lineFault(printable));
    const bool plain = ordinary && !reliability::firstControlCharacter(text);
    require(!plain || printable == text, "printable changed a text without control characters");

    const auto optionalQuoted = logform::optionalQuoted(std::string(text));
    require(optionalQuoted == "Optional(" + quoted + ")", "optional form is not Optional(quoted)");
    return 0;
}
