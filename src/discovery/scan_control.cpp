// Scan control and the radio state report.
#include "app/log_forms.h"
#include "app/view_controller.h"

void ViewController::refreshAction(const ui::Button& sender)
{
    if (sender.state() != ui::controlState::on) {
        stopScanning();
        return;
    }
    cancelConnection();
    peripherals.emplace();
    RSSIs.clear();
    reloadTable();
    startScanning();
}

void ViewController::startScanning()
{
    reloadTable();
    peripherals.emplace();
    log({"Now Scanning..."});
    timer->invalidate();
    if (centralManager)
        centralManager->scanForPeripherals(ble::ScanOptions{.allowDuplicates = false});
}

void ViewController::stopScanning()
{
    if (centralManager)
        centralManager->stopScan();
    log({"Scan Stopped"});
    log({"Number of Peripherals Found: " + peripheralCountText()});
}

void ViewController::centralManagerDidUpdateState(ble::CentralManager& central)
{
    log({"centralManagerDidUpdateState"});
    if (central.state() == ble::managerState::poweredOn)
        log({"Bluetooth Enabled"});
    else
        log({"Bluetooth Disabled- Make sure your Bluetooth is turned on"});
}
