// Where the diagnostic log goes: one call per whole line.
#pragma once

#include <string_view>

namespace app {

class LogSink {
public:
    virtual ~LogSink() = default;
    // The line without its newline; the sink writes it and the newline at once.
    virtual void writeLine(std::string_view line) = 0;
};

} // namespace app
