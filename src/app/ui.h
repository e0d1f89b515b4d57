// The window toolkit as the controller uses it: text fields, a two-state
// button, the device table with its data source and delegate, and cell views.
// A toolkit adapter implements these roles; everything runs on the GUI thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

// Anything a notification can carry.
class Object {
public:
    virtual ~Object() = default;
};

class TextField : public Object {
public:
    virtual void setStringValue(const std::string& text) = 0;
    virtual std::string stringValue() const = 0;
};

// Shows the text in the field while the field exists.
inline void setStringValue(const std::weak_ptr<TextField>& field, const std::string& text)
{
    if (const auto live = field.lock())
        live->setStringValue(text);
}

namespace controlState {
inline constexpr int mixed = -1;
inline constexpr int off = 0;
inline constexpr int on = 1;
} // namespace controlState

class Button : public Object {
public:
    virtual int state() const = 0;
    // Set by the program: never runs the button's action.
    virtual void setState(int state) = 0;
};

// A cell of a table; the system's own cell kinds derive from it.
class TableCellView : public Object {};

struct TableColumn {
    std::string identifier;
};

class TableView;

class TableViewDataSource {
public:
    virtual ~TableViewDataSource() = default;
    virtual long numberOfRowsInTableView(TableView& tableView) = 0;
    virtual std::shared_ptr<TableCellView>
    tableViewViewForTableColumn(TableView& tableView, const TableColumn& column, long row) = 0;
};

struct Notification {
    std::shared_ptr<Object> object;
};

class TableViewDelegate {
public:
    virtual ~TableViewDelegate() = default;
    virtual void tableViewSelectionDidChange(const Notification& notification) = 0;
};

class TableView : public Object {
public:
    virtual void setDelegate(std::weak_ptr<TableViewDelegate> delegate) = 0;
    virtual void setDataSource(std::weak_ptr<TableViewDataSource> dataSource) = 0;
    // Asks the data source again for the row count and the cells.
    virtual void reloadData() = 0;
    // -1 when no row is selected.
    virtual long selectedRow() const = 0;
    // Ascending.
    virtual std::vector<long> selectedRowIndexes() const = 0;
    // A cell made from, or reused after, the prototype registered under the identifier.
    virtual std::shared_ptr<TableCellView> makeViewWithIdentifier(std::string_view identifier) = 0;
};

} // namespace ui
