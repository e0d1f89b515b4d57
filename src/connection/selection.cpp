// Selection of a device, the connection to it, and its loss.
#include "app/log_forms.h"
#include "app/view_controller.h"

#include <algorithm>
#include <utility>

void ViewController::tableViewSelectionDidChange(const ui::Notification& notification)
{
    log({"tableViewSelectionDidChange"});
    const auto table = std::dynamic_pointer_cast<ui::TableView>(notification.object);
    if (!table)
        return;
    const long selectedRow = table->selectedRow();
    log({logform::decimal(selectedRow)});
    const auto selectedRows = table->selectedRowIndexes();
    if (selectedRow < 0 || selectedRows.empty())
        return;
    const long row = *std::min_element(selectedRows.begin(), selectedRows.end());
    log({logform::decimal(row)});
    if (!isListedRow(row))
        return;

    programWide().currentPeripheral = (*peripherals)[static_cast<std::size_t>(row)];
    peripheralRssiStr = logform::decimal(RSSIs[static_cast<std::size_t>(row)]);
    peripheralIdStr = "???";
    log({"peripheralName", peripheralNameStr});
    log({"peripheralID", peripheralIdStr});
    log({"peripheralRSSI", peripheralRssiStr});
    stopScanning();
    if (const auto button = scanButton.lock())
        button->setState(ui::controlState::off);
    if (!centralManager)
        return;

    // One connection at a time: a meter that accepts one central stays free for others.
    const auto& selected = programWide().currentPeripheral;
    if (connectionPeripheral && !connectionPeripheral->isEqual(*selected))
        cancelConnection();
    if (!connectionPeripheral)
        connectionPeripheral = selected;
    centralManager->connectPeripheral(selected);
}

void ViewController::centralManagerDidConnectPeripheral(ble::CentralManager&,
                                                        const std::shared_ptr<ble::Peripheral>& peripheral)
{
    log({logform::separator(29)});
    log({"Connection complete"});
    const auto& current = programWide().currentPeripheral;
    log({"Peripheral info: " +
         logform::optional(current ? std::optional(logform::printable(current->description()))
                                   : std::nullopt)});
    if (centralManager)
        centralManager->stopScan();
    log({"Scan Stopped"});
    data.clear();

    // A connection the application no longer wants (the user chose another
    // device meanwhile) is closed rather than walked.
    if (!connectionPeripheral || !connectionPeripheral->isEqual(*peripheral)) {
        if (centralManager)
            centralManager->cancelPeripheralConnection(peripheral);
        return;
    }
    connectionEstablished = true;
    peripheral->setDelegate(weak_from_this());
    peripheral->discoverServices();
}

void ViewController::centralManagerDidFailToConnectPeripheral(
    ble::CentralManager&, const std::shared_ptr<ble::Peripheral>& peripheral,
    const std::optional<ble::Error>& error)
{
    forgetConnectionTo(*peripheral);
    if (error)
        log({"Failed to connect to peripheral"});
}

void ViewController::centralManagerDidDisconnectPeripheral(ble::CentralManager&,
                                                           const std::shared_ptr<ble::Peripheral>& peripheral,
                                                           const std::optional<ble::Error>& error)
{
    log({"Disconnected from peripheral: " + logform::printable(peripheral->description())});
    if (error)
        log({"Disconnect error: " + logform::optionalQuoted(error->localizedDescription)});
    // Without an error the report answers one of the application's own
    // cancels, which already forgot that connection and stopped its poll. It
    // may come late: the user may have gone back to the device and be
    // connecting or connected again, and that connection stays.
    if (!error)
        return;
    forgetConnectionTo(*peripheral);
    disarmPollFor(*peripheral);
}

bool ViewController::isEstablishedConnection(const ble::Peripheral& peripheral) const
{
    return connectionEstablished && connectionPeripheral && connectionPeripheral->isEqual(peripheral);
}

void ViewController::forgetConnectionTo(const ble::Peripheral& peripheral)
{
    if (connectionPeripheral && connectionPeripheral->isEqual(peripheral)) {
        connectionPeripheral.reset();
        connectionEstablished = false;
    }
}

void ViewController::cancelConnection()
{
    if (!connectionPeripheral)
        return;
    const auto peripheral = std::exchange(connectionPeripheral, nullptr);
    connectionEstablished = false;
    disarmPollFor(*peripheral);
    if (centralManager)
        centralManager->cancelPeripheralConnection(peripheral);
}

void ViewController::disarmPollFor(const ble::Peripheral& peripheral)
{
    auto& slots = programWide();
    if (!slots.writePeripheral || !slots.writePeripheral->isEqual(peripheral))
        return;
    counter = false;
    slots.writeCharacteristic.reset();
    slots.writePeripheral.reset();
}
