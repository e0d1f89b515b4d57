// The diagnostic log on a file descriptor, standard output by default: each
// line with its newline in one write, unbuffered, so that a reader such as
// tee sees it at once.
#pragma once

#include "app/log_sink.h"

#include <unistd.h>

namespace qtui {

class FileLogSink : public app::LogSink {
public:
    explicit FileLogSink(int fileDescriptor = STDOUT_FILENO) : fileDescriptor_(fileDescriptor) {}

    // A log nobody reads any more (a closed pipe) is dropped; the application goes on.
    void writeLine(std::string_view line) override;

private:
    int fileDescriptor_;
};

} // namespace qtui
