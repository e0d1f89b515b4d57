// The toolkit's text field and two-state button over Qt widgets. They
// translate only; the widgets stay owned by the window.
#pragma once

#include "app/ui.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QPointer>

namespace qtui {

class LineEditField : public ui::TextField {
public:
    explicit LineEditField(QLineEdit* lineEdit) : lineEdit_(lineEdit) {}

    void setStringValue(const std::string& text) override;
    std::string stringValue() const override;

private:
    QPointer<QLineEdit> lineEdit_;
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
