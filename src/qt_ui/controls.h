// The toolkit's text field and two-state button over Qt widgets. They
// translate only; the widgets stay owned by the window.
#pragma once

#include "app/ui.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QPointer>

#include <functional>
#include <string>

namespace qtui {

// Sets the field's text only when it differs: the same text again would
// only lay the text out anew and tell the accessibility tree of a change.
inline void showText(QLineEdit& field, const QString& text)
{
    if (field.text() != text)
        field.setText(text);
}

// A read-only field for a value: a screen reader reads its text, which it
// would not from a label. "--" stands in while it is empty.
QLineEdit* makeValueField(const QString& accessibleName, QWidget* parent);

class LineEditField : public ui::TextField {
public:
    // Told of every text the program sets, the same text again included.
    using Observer = std::function<void(const std::string& text)>;

    explicit LineEditField(QLineEdit* lineEdit, Observer observer = {})
        : lineEdit_(lineEdit), observer_(std::move(observer))
    {
    }

    void setStringValue(const std::string& text) override;
    std::string stringValue() const override;

private:
    QPointer<QLineEdit> lineEdit_;
    Observer observer_;
};

// Checked is on, unchecked is off.
class CheckableButton : public ui::Button {
public:
    explicit CheckableButton(QAbstractButton* button) : button_(button) {}

    int state() const override;
    // Blocks the button's signals: a state the program sets is not the user's toggle.
    void setState(int state) override;

private:
    QPointer<QAbstractButton> button_;
};

} // namespace qtui
