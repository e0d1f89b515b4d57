#include "qt_ui/controls.h"

#include <QSignalBlocker>

namespace qtui {

QLineEdit* makeValueField(const QString& accessibleName, QWidget* parent)
{
    auto* field = new QLineEdit(parent);
    field->setReadOnly(true);
    field->setAccessibleName(accessibleName);
    field->setAlignment(Qt::AlignCenter);
    field->setPlaceholderText(QStringLiteral("--"));
    // Opaque, the window's colour around its frame: a new value repaints the
    // field alone, not the window behind it.
    field->setBackgroundRole(QPalette::Window);
    field->setAutoFillBackground(true);
    return field;
}

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
