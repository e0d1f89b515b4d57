// The device table's reload tells Qt only what changed: appended rows are inserted, rows on screen
// whose texts changed are updated, a shorter list starts over, rows off screen are not asked again.
#include "qt_ui/device_table.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTableView>

#include <gtest/gtest.h>

namespace qtui {
namespace {

using Names = std::vector<std::string>;

// One row per name.
struct NameList : ui::TableViewDataSource {
    Names names;
    int cellsAsked = 0;
    long numberOfRowsInTableView(ui::TableView&) override { return static_cast<long>(names.size()); }
    std::shared_ptr<ui::TableCellView> tableViewViewForTableColumn(ui::TableView& table,
                                                                   const ui::TableColumn&, long row) override
    {
        ++cellsAsked;
        auto cell = std::dynamic_pointer_cast<ScanTableCellView>(table.makeViewWithIdentifier("defaultRow"));
        ui::setStringValue(cell->deviceNameTextField, names.at(static_cast<std::size_t>(row)));
        return cell;
    }
};

struct Reload {
    Names before, after;
    int resets;
    std::vector<int> inserted, changedRows; // inserted: first and last row of each insert
};

TEST(DeviceTable, ReloadTellsQtOnlyWhatChanged)
{
    const Reload reloads[] = {{{"a", "b"}, {"a", "x", "c"}, 0, {2, 2}, {1}},
                              {Names(1'000, "a"), Names(1'001, "a"), 0, {1'000, 1'000}, {}},
                              {{"a", "b", "c"}, {"x"}, 1, {}, {}}};
    for (const auto& reload : reloads) {
        SCOPED_TRACE(reload.after.size());
        auto list = std::make_shared<NameList>();
        list->names = reload.before;
        auto table = std::make_shared<DeviceTable>(std::vector<DeviceColumn>{
            {"name", "Name", &ScanTableCellView::deviceNameTextField, Qt::AlignLeft}});
        table->setDataSource(list);
        QAbstractItemModelTester tester(table.get(), QAbstractItemModelTester::FailureReportingMode::Fatal);
        QTableView view; // about six rows high
        table->attach(&view);
        view.resize(200, 200);
        view.show();
        table->reloadData();
        for (int row = 0; row < table->rowCount(); ++row) // a screen reader reads the whole list
            table->data(table->index(row, 0), Qt::DisplayRole);
        QSignalSpy resets(table.get(), &QAbstractItemModel::modelReset);
        QSignalSpy inserts(table.get(), &QAbstractItemModel::rowsInserted);
        QSignalSpy changes(table.get(), &QAbstractItemModel::dataChanged);
        list->cellsAsked = 0;

        list->names = reload.after;
        table->reloadData();

        EXPECT_EQ(resets.count(), reload.resets);
        std::vector<int> inserted, changedRows;
        for (const auto& signal : inserts)
            inserted.insert(inserted.end(), {signal.at(1).toInt(), signal.at(2).toInt()});
        for (const auto& signal : changes)
            changedRows.push_back(signal.at(0).toModelIndex().row());
        EXPECT_EQ(inserted, reload.inserted);
        EXPECT_EQ(changedRows, reload.changedRows);
        EXPECT_LT(list->cellsAsked, 20);
        for (int row = 0; row < table->rowCount(); ++row)
            EXPECT_EQ(table->data(table->index(row, 0), Qt::DisplayRole).toString().toStdString(),
                      reload.after[row]);
    }
}

} // namespace
} // namespace qtui
