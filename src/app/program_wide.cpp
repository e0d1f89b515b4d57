#include "app/program_wide.h"

const ble::Uuid& ProgramWideValues::BLE_Characteristic_uuid_FF02()
{
    if (!uuidFF02_)
        uuidFF02_ = ble::Uuid::fromString("FF02");
    return *uuidFF02_;
}
