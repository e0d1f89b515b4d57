#include "qt_ui/device_table.h"

#include <QItemSelectionModel>
#include <QTableView>

#include <algorithm>
#include <climits>

namespace qtui {
namespace {

class CellTextField : public ui::TextField {
public:
    void setStringValue(const std::string& text) override { text_ = text; }
    std::string stringValue() const override { return text_; }

private:
    std::string text_;
};

// The "defaultRow" cell: it owns its text fields, its outlets point at them.
class DefaultRowCell : public ScanTableCellView {
public:
    DefaultRowCell()
    {
        deviceNameTextField = name_;
        deviceID_TextField = id_;
        deviceRSSI_TextField = rssi_;
    }

private:
    std::shared_ptr<ui::TextField> name_ = std::make_shared<CellTextField>();
    std::shared_ptr<ui::TextField> id_ = std::make_shared<CellTextField>();
    std::shared_ptr<ui::TextField> rssi_ = std::make_shared<CellTextField>();
};

} // namespace

DeviceTable::DeviceTable(std::vector<DeviceColumn> columns) : columns_(std::move(columns))
{
}

void DeviceTable::attach(QTableView* view)
{
    view_ = view;
    view->setModel(this);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (const auto delegate = delegate_.lock())
            delegate->tableViewSelectionDidChange(ui::Notification{shared_from_this()});
    });
}

void DeviceTable::reloadData()
{
    const auto dataSource = dataSource_.lock();
    const long reported = dataSource ? dataSource->numberOfRowsInTableView(*this) : 0;
    const int rows = static_cast<int>(std::clamp<long>(reported, 0, INT_MAX));
    if (rows < rows_) {
        // The list was emptied for a new scan: start over, which also drops the selection quietly.
        beginResetModel();
        rows_ = rows;
        cellTexts_.clear();
        endResetModel();
        return;
    }
    forgetRowsOffScreen();
    refreshShownRows();
    if (rows > rows_) {
        beginInsertRows({}, rows_, rows - 1);
        rows_ = rows;
        endInsertRows();
    }
}

// Rows off screen are not asked again: Qt asks for them when they scroll back
// in, and asking at every reload would cost as much as every row ever shown.
void DeviceTable::forgetRowsOffScreen()
{
    if (!view_)
        return;
    const int first = view_->rowAt(0);
    const int last = view_->rowAt(view_->viewport()->height() - 1);
    std::erase_if(cellTexts_, [&](const auto& entry) {
        return first < 0 || entry.first < first || (last >= 0 && entry.first > last);
    });
}

// Asks again for the cells Qt has shown and reports the rows whose texts changed.
void DeviceTable::refreshShownRows()
{
    for (auto& [row, texts] : cellTexts_) {
        bool changed = false;
        for (int column = 0; column < columnCount(); ++column) {
            auto& text = texts[static_cast<std::size_t>(column)];
            if (!text)
                continue;
            auto asked = askedText(row, column);
            if (asked != *text) {
                *text = std::move(asked);
                changed = true;
            }
        }
        if (changed)
            emit dataChanged(index(row, 0), index(row, columnCount() - 1));
    }
}

long DeviceTable::selectedRow() const
{
    const auto rows = selectedRowIndexes();
    return rows.empty() ? -1 : rows.front();
}

std::vector<long> DeviceTable::selectedRowIndexes() const
{
    std::vector<long> rows;
    if (!view_ || !view_->selectionModel())
        return rows;
    for (const auto& index : view_->selectionModel()->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

std::shared_ptr<ui::TableCellView> DeviceTable::makeViewWithIdentifier(std::string_view identifier)
{
    if (identifier != ScanTableCellView::identifier)
        return nullptr;
    return std::make_shared<DefaultRowCell>();
}

int DeviceTable::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : rows_;
}

int DeviceTable::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

const QString& DeviceTable::cellText(int row, int column)
{
    auto& texts = cellTexts_.try_emplace(row, columns_.size()).first->second;
    auto& text = texts[static_cast<std::size_t>(column)];
    if (!text)
        text = askedText(row, column);
    return *text;
}

QString DeviceTable::askedText(int row, int column)
{
    const auto& shown = columns_[static_cast<std::size_t>(column)];
    const auto dataSource = dataSource_.lock();
    if (!dataSource)
        return {};
    const auto cell = std::dynamic_pointer_cast<ScanTableCellView>(
        dataSource->tableViewViewForTableColumn(*this, ui::TableColumn{shown.identifier}, row));
    if (!cell)
        return {};
    const auto field = ((*cell).*shown.field).lock();
    return field ? QString::fromStdString(field->stringValue()) : QString{};
}

QVariant DeviceTable::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        // Qt reads through a const model; the cell is made on first sight, as a toolkit table does.
        return const_cast<DeviceTable*>(this)->cellText(index.row(), index.column());
    case Qt::ToolTipRole:
    case Qt::AccessibleDescriptionRole:
        return describeRow_ ? describeRow_(index.row()) : QVariant();
    case Qt::TextAlignmentRole:
        return static_cast<int>(columns_[static_cast<std::size_t>(index.column())].alignment);
    default:
        return {};
    }
}

QVariant DeviceTable::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount())
        return {};
    if (role == Qt::DisplayRole)
        return columns_[static_cast<std::size_t>(section)].title;
    if (role == Qt::TextAlignmentRole)
        return static_cast<int>(columns_[static_cast<std::size_t>(section)].alignment);
    return {};
}

} // namespace qtui
