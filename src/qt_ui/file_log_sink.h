// The diagnostic log on a file descriptor, standard output by default: each
// line with its newline in one write, unbuffered, so that a reader such as
// tee sees it at once.
#pragma once

#include "app/log_sink.h"

#include <functional>
#include <string>
#include <string_view>

namespace qtui {

// The descriptors of standard output and standard error: the same numbers in
// POSIX and in the Windows C runtime.
inline constexpr int standardOutput = 1;
inline constexpr int standardError = 2;

class FileLogSink : public app::LogSink {
public:
    explicit FileLogSink(int fileDescriptor = standardOutput) : fileDescriptor_(fileDescriptor) {}

    // A log nobody reads any more (a closed pipe) is dropped; the application goes on.
    void writeLine(std::string_view line) override;

private:
    int fileDescriptor_;
    std::string buffer_;
};

// The Bluetooth backend's own lines: to standard error, which they share
// with nothing of the system's, and to a listener such as the window's
// status line. Standard output stays the system's log alone.
class DiagnosticLog : public app::LogSink {
public:
    using Listener = std::function<void(std::string_view line)>;

    explicit DiagnosticLog(int fileDescriptor = standardError) : file_(fileDescriptor) {}

    void setListener(Listener listener) { listener_ = std::move(listener); }
    void writeLine(std::string_view line) override
    {
        file_.writeLine(line);
        if (listener_)
            listener_(line);
    }

private:
    FileLogSink file_;
    Listener listener_;
};

} // namespace qtui
