#include "qt_ui/file_log_sink.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>

namespace qtui {
namespace {

// One write of up to `size` bytes: what was written, or a negative number.
long long writeOnce(int fileDescriptor, const char* data, std::size_t size)
{
#ifdef _WIN32
    return _write(fileDescriptor, data, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
#else
    return ::write(fileDescriptor, data, size);
#endif
}

} // namespace

void FileLogSink::writeLine(std::string_view line)
{
    // One buffer for every line: after the first lines it no longer allocates.
    auto& whole = buffer_;
    whole.assign(line);
    whole.push_back('\n');
    // A pipe may take a long line in parts; a signal may interrupt the write.
    std::size_t written = 0;
    while (written < whole.size()) {
        const auto result = writeOnce(fileDescriptor_, whole.data() + written, whole.size() - written);
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0)
            return;
        written += static_cast<std::size_t>(result);
    }
}

} // namespace qtui
