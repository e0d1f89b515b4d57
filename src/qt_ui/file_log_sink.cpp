#include "qt_ui/file_log_sink.h"

#include <cerrno>
#include <string>

namespace qtui {

void FileLogSink::writeLine(std::string_view line)
{
    // One buffer for every line: after the first lines it no longer allocates.
    auto& whole = buffer_;
    whole.assign(line);
    whole.push_back('\n');
    // A pipe may take a long line in parts; a signal may interrupt the write.
    std::size_t written = 0;
    while (written < whole.size()) {
        const auto result = ::write(fileDescriptor_, whole.data() + written, whole.size() - written);
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0)
            return;
        written += static_cast<std::size_t>(result);
    }
}

} // namespace qtui
