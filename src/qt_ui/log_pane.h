// The log in the window, for bug reports: the same lines as standard output,
// the last maxLines of them, and a button that copies them all.
#pragma once

#include "app/log_sink.h"

#include <QPointer>
#include <QWidget>

#include <memory>
#include <string_view>

class QPlainTextEdit;
class QPushButton;

namespace qtui {

class LogPane : public QWidget {
    Q_OBJECT

public:
    static constexpr int maxLines = 10'000;

    explicit LogPane(QWidget* parent = nullptr);

    void appendLine(std::string_view line);
    QPlainTextEdit* lines() const { return lines_; }
    QPushButton* copyButton() const { return copyButton_; }

private:
    QPlainTextEdit* lines_ = nullptr;
    QPushButton* copyButton_ = nullptr;
};

// Each line to the sink first, then to the pane while the pane exists.
class TeeLogSink : public app::LogSink {
public:
    TeeLogSink(std::shared_ptr<app::LogSink> sink, LogPane* pane) : sink_(std::move(sink)), pane_(pane) {}

    void writeLine(std::string_view line) override;

private:
    std::shared_ptr<app::LogSink> sink_;
    QPointer<LogPane> pane_;
};

} // namespace qtui
