// The log forms with any text: one printable line of valid UTF-8, and the
// quoted form gives back exactly the text it was made from when that is valid
// UTF-8 (the replacement of invalid bytes has its cases in the log forms test).
#include "app/log_forms.h"
#include "app/utf8.h"
#include "text_checks.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace reliability;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto quoted = logform::quoted(text);
    require(lineFault(quoted).empty(), "quoted: " + lineFault(quoted));
    const auto readBack = unquote(quoted);
    require(readBack && (*readBack == text || !utf8::isValid(text)),
            "quoted form does not give back its text");

    const auto printable = logform::printable(text);
    require(lineFault(printable).empty(), "printable: " + lineFault(printable));
    require(!lineFault(text).empty() || printable == text,
            "printable changed a text without control characters");
    require(logform::optionalQuoted(std::string(text)) == "Optional(" + quoted + ")",
            "optional form is not Optional(quoted)");
    return 0;
}
