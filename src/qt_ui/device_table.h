// The device table: the toolkit's table role over a Qt item model. Qt asks
// the model for rows and texts; the model asks the controller, its data
// source, for the row count at each reload and for a "defaultRow" cell per
// row and column when Qt first shows that cell. A reload tells Qt only what
// changed, so the view and the accessibility tree keep the rows they have
// already built. Selection changes go to the table's delegate.
#pragma once

#include "app/ui.h"
#include "discovery/scan_table_cell_view.h"

#include <QAbstractTableModel>
#include <QPointer>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QTableView;

namespace qtui {

// A column of the device table and which text field of its cells it shows.
struct DeviceColumn {
    std::string identifier;
    QString title;
    std::weak_ptr<ui::TextField> ScanTableCellView::*field;
    Qt::Alignment alignment;
};

class DeviceTable : public QAbstractTableModel,
                    public ui::TableView,
                    public std::enable_shared_from_this<DeviceTable> {
    Q_OBJECT

public:
    explicit DeviceTable(std::vector<DeviceColumn> columns);

    // Shows the table in the view, one row selected at a time.
    void attach(QTableView* view);
    // The text each row's cells give as tooltip and accessible description.
    void describeRowsWith(std::function<QString(int row)> describe) { describeRow_ = std::move(describe); }

    void setDelegate(std::weak_ptr<ui::TableViewDelegate> delegate) override
    {
        delegate_ = std::move(delegate);
    }
    void setDataSource(std::weak_ptr<ui::TableViewDataSource> dataSource) override
    {
        dataSource_ = std::move(dataSource);
    }
    void reloadData() override;
    long selectedRow() const override;
    std::vector<long> selectedRowIndexes() const override;
    // Cells of the "defaultRow" kind: a ScanTableCellView whose text fields start empty.
    std::shared_ptr<ui::TableCellView> makeViewWithIdentifier(std::string_view identifier) override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    using RowTexts = std::vector<std::optional<QString>>;

    const QString& cellText(int row, int column);
    QString askedText(int row, int column);
    void forgetRowsOffScreen();
    void refreshShownRows();

    std::vector<DeviceColumn> columns_;
    std::function<QString(int row)> describeRow_;
    QPointer<QTableView> view_;
    std::weak_ptr<ui::TableViewDelegate> delegate_;
    std::weak_ptr<ui::TableViewDataSource> dataSource_;
    int rows_ = 0;
    // The texts Qt has been given, by row and column: what the view shows.
    // Rows off screen are forgotten at each reload.
    std::map<int, RowTexts> cellTexts_;
};

} // namespace qtui
