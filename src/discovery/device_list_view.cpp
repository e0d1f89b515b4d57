// The device table's data source: one row per listed peripheral.
#include "app/log_forms.h"
#include "app/view_controller.h"
#include "discovery/scan_table_cell_view.h"

std::string ViewController::peripheralCountText() const
{
    if (!peripherals)
        return logform::optional(std::nullopt);
    return logform::optional(logform::decimal(static_cast<std::int64_t>(peripherals->size())));
}

bool ViewController::isListedRow(long row) const
{
    return peripherals && row >= 0 && static_cast<std::size_t>(row) < peripherals->size() &&
           static_cast<std::size_t>(row) < RSSIs.size();
}

long ViewController::numberOfRowsInTableView(ui::TableView&)
{
    log({"myTableViewData.count", peripheralCountText()});
    return peripherals ? static_cast<long>(peripherals->size()) : 0;
}

std::shared_ptr<ui::TableCellView>
ViewController::tableViewViewForTableColumn(ui::TableView& table, const ui::TableColumn&, long row)
{
    // The table asks only for rows it was told about; anything else has no cell.
    if (!isListedRow(row))
        return nullptr;
    const auto& peripheral = (*peripherals)[static_cast<std::size_t>(row)];
    const auto rssiText = logform::decimal(RSSIs[static_cast<std::size_t>(row)]);

    auto cell = std::dynamic_pointer_cast<ScanTableCellView>(
        table.makeViewWithIdentifier(ScanTableCellView::identifier));
    if (!cell)
        return nullptr;
    ui::setStringValue(cell->deviceNameTextField, "no name");
    if (const auto name = peripheral->name()) {
        ui::setStringValue(cell->deviceNameTextField, *name);
        ui::setStringValue(cell->deviceRSSI_TextField, rssiText);
    } else {
        ui::setStringValue(cell->deviceNameTextField, "no name");
        log({"no name"});
    }
    return cell;
}
