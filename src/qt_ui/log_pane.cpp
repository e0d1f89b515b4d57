#include "qt_ui/log_pane.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

namespace qtui {

LogPane::LogPane(QWidget* parent) : QWidget(parent)
{
    lines_ = new QPlainTextEdit(this);
    lines_->setReadOnly(true);
    lines_->setAccessibleName(tr("Log"));
    lines_->setLineWrapMode(QPlainTextEdit::NoWrap);
    lines_->setMaximumBlockCount(maxLines);
    lines_->setTabChangesFocus(true);

    copyButton_ = new QPushButton(tr("&Copy log"), this);
    copyButton_->setAccessibleName(tr("Copy log"));
    copyButton_->setToolTip(tr("Copy the log lines shown here to the clipboard"));
    // Enter presses it like Space.
    copyButton_->setAutoDefault(true);
    connect(copyButton_, &QPushButton::clicked, this,
            [this] { QGuiApplication::clipboard()->setText(text()); });

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(copyButton_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(lines_, 1);
    layout->addLayout(buttons);
}

void LogPane::appendLine(std::string_view line)
{
    kept_.emplace_back(line);
    keptBytes_ += line.size();
    while (kept_.size() > maxLines || (kept_.size() > 1 && keptBytes_ > maxBytes)) {
        keptBytes_ -= kept_.front().size();
        kept_.pop_front();
    }
    if (!isVisible())
        return;
    if (pending_.isEmpty())
        QTimer::singleShot(0, this, &LogPane::showPending);
    pending_.append(QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
}

QString LogPane::text() const
{
    std::string joined;
    joined.reserve(keptBytes_ + kept_.size());
    for (auto line = kept_.begin(); line != kept_.end(); ++line) {
        if (line != kept_.begin())
            joined += '\n';
        joined += *line;
    }
    return QString::fromStdString(joined);
}

void LogPane::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    pending_.clear();
    lines_->setPlainText(text());
    // Opened, it shows the newest lines, and so follows the new ones.
    lines_->verticalScrollBar()->setValue(lines_->verticalScrollBar()->maximum());
}

void LogPane::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    lines_->clear();
}

void LogPane::showPending()
{
    if (pending_.isEmpty())
        return;
    // The view follows the new lines while it is at the bottom, and stays
    // where the user scrolled otherwise.
    lines_->appendPlainText(pending_.join(u'\n'));
    pending_.clear();
}

void TeeLogSink::writeLine(std::string_view line)
{
    sink_->writeLine(line);
    if (pane_)
        pane_->appendLine(line);
}

} // namespace qtui
