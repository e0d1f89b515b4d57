// A controller on the fake platform, with a meter and one other device nearby.
#pragma once

#include "fake_platform.h"

#include <gtest/gtest.h>

struct MeterFixture : testing::Test {
    // Scans and hears the meter (row 0) and the other device (row 1).
    void listDevices()
    {
        platform.toggleScan(true);
        platform.report(meter, -58);
        platform.report(other, -70);
    }

    // Selects the meter's row and reports the connection.
    void connectMeter()
    {
        platform.select({0});
        platform.connect(meter);
    }

    // Connects the meter and walks its vendor service: the poll is armed.
    void connectAndArm()
    {
        connectMeter();
        platform.discoverGatt(meter, {fake::makeService("FFF0", {ff01, ff02})});
        ASSERT_TRUE(platform.controller->counter);
    }

    std::size_t writesTo(const fake::Peripheral& peripheral) const
    {
        return peripheral.requestsOf(fake::Request::Kind::write).size();
    }

    fake::Platform platform;
    std::shared_ptr<fake::Peripheral> meter = std::make_shared<fake::Peripheral>("meter", "Meter");
    std::shared_ptr<fake::Peripheral> other = std::make_shared<fake::Peripheral>("other", "Other");
    std::shared_ptr<fake::Characteristic> ff01 =
        fake::makeCharacteristic("FF01", ble::property::writeWithoutResponse);
    std::shared_ptr<fake::Characteristic> ff02 = fake::makeCharacteristic("FF02", ble::property::notify);
};
