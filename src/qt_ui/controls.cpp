#include "qt_ui/controls.h"

#include <QSignalBlocker>

namespace qtui {

void LineEditField::setStringValue(const std::string& text)
{
    if (lineEdit_)
        showText(*lineEdit_, QString::fromStdString(text));
    if (observer_)
        observer_(text);
}

std::string LineEditField::stringValue() const
{
    return lineEdit_ ? lineEdit_->text().toStdString() : std::string();
}

int CheckableButton::state() const
{
    return button_ && button_->isChecked() ? ui::controlState::on : ui::controlState::off;
}

void CheckableButton::setState(int state)
{
    if (!button_)
        return;
    const QSignalBlocker blocker(button_);
    button_->setChecked(state == ui::controlState::on);
}

} // namespace qtui
