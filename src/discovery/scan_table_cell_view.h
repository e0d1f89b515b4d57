// The cell of the device table: the peripheral's name, an ID field that the
// prototype fills, and the signal strength recorded when the peripheral was listed.
#pragma once

#include "app/ui.h"

#include <memory>
#include <string_view>

class ScanTableCellView : public ui::TableCellView {
public:
    // The identifier of the prototype every cell of the device table is made from.
    static constexpr std::string_view identifier = "defaultRow";

    std::weak_ptr<ui::TextField> deviceNameTextField;
    std::weak_ptr<ui::TextField> deviceID_TextField;
    std::weak_ptr<ui::TextField> deviceRSSI_TextField;
};
