// The values that exist once per process beside the controller. The
// application entry owns one set for the process's life; tests make fresh ones.
#pragma once

#include "app/ble.h"

#include <memory>
#include <optional>

struct ProgramWideValues {
    // The peripheral of the latest report, selection or measurement characteristic.
    std::shared_ptr<ble::Peripheral> currentPeripheral;
    // The meter's measurement-request characteristic (FF01).
    std::shared_ptr<ble::Characteristic> writeCharacteristic;
    // The peripheral on which writeCharacteristic was found: the poll's target.
    std::shared_ptr<ble::Peripheral> writePeripheral;

    // The measurement characteristic's UUID, made on first use.
    const ble::Uuid& BLE_Characteristic_uuid_FF02();

private:
    std::optional<ble::Uuid> uuidFF02_;
};
