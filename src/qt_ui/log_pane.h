// The log in the window, for bug reports: the same lines as standard output,
// the last maxLines of them, and a button that copies them all. The lines are
// kept aside as they came, in UTF-8, and turned into text and laid out only
// while the pane is open, a batch per turn of the event loop: a crowded scan
// logs thousands of long lines that nobody reads. The view follows the
// newest line while it is at the bottom.
#pragma once

#include "app/log_sink.h"

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <deque>
#include <memory>
#include <string>
#include <string_view>

class QPlainTextEdit;
class QPushButton;

namespace qtui {

class LogPane : public QWidget {
    Q_OBJECT

public:
    static constexpr int maxLines = 10'000;
    // A bound on the kept bytes too, since one line can list a whole room's signal strengths.
    static constexpr std::size_t maxBytes = 4 * 1024 * 1024;

    explicit LogPane(QWidget* parent = nullptr);

    void appendLine(std::string_view line);
    // The kept lines, one per line: what Copy log copies.
    QString text() const;
    QPlainTextEdit* lines() const { return lines_; }
    QPushButton* copyButton() const { return copyButton_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void showPending();

    QPlainTextEdit* lines_ = nullptr;
    QPushButton* copyButton_ = nullptr;
    std::deque<std::string> kept_;
    std::size_t keptBytes_ = 0;
    // Kept lines not yet laid out in the open pane.
    QStringList pending_;
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
