#include "qt_ui/log_pane.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
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
            [this] { QGuiApplication::clipboard()->setText(lines_->toPlainText()); });

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
    lines_->appendPlainText(QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
}

void TeeLogSink::writeLine(std::string_view line)
{
    sink_->writeLine(line);
    if (pane_)
        pane_->appendLine(line);
}

} // namespace qtui
