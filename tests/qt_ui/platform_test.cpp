// The window as macOS and Windows users meet it: devices known by a UUID the system made up instead
// of an address, and a radio the system does not let the application use.
#include "qt_ui/bluetooth_permission.h"
#include "qt_ui/main_window.h"
#include "simulated_radio/scheduler_run_loop.h"
#include "simulated_radio/simulated_central_manager.h"
#include "simulated_radio/virtual_clock.h"

#include "fake_platform.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>

namespace qtui {
namespace {

struct Session {
    explicit Session(ble::CentralManagerFactory radio, std::shared_ptr<simradio::VirtualClock> radioClock =
                                                           std::make_shared<simradio::VirtualClock>())
        : clock(std::move(radioClock)), window({std::move(radio), log, std::make_shared<ProgramWideValues>(),
                                                std::make_shared<simradio::SchedulerRunLoop>(clock)})
    {
        window.show();
    }
    // The radio's time, and the poll's with it, runs on while Qt's events get their turn.
    bool shows(const std::string& text) const
    {
        const bool shown = QTest::qWaitFor(
            [&] {
                return clock->advanceBy(simradio::Duration{50}), window.statusLine()->text() == text.c_str();
            },
            10'000);
        EXPECT_TRUE(shown) << "expected: " << text
                           << "\nshown: " << window.statusLine()->text().toStdString();
        return shown;
    }
    void select(const std::string& identifier) const
    {
        const auto& listed = *window.controller()->peripherals;
        const auto found = std::find_if(listed.begin(), listed.end(), [&](const auto& peripheral) {
            return peripheral->identifier() == identifier;
        });
        ASSERT_NE(found, listed.end()) << identifier;
        window.deviceTable()->selectRow(static_cast<int>(found - listed.begin()));
    }
    long count(std::string_view line) const { return std::count(log->lines.begin(), log->lines.end(), line); }

    std::shared_ptr<simradio::VirtualClock> clock;
    std::shared_ptr<fake::Log> log = std::make_shared<fake::Log>();
    MainWindow window;
};

TEST(OtherPlatforms, AMeterKnownByAUuidOnlyIsListedReadLostAndReconnected)
{
    const std::string meterId = "6F1C2A3E-5B4D-4E8F-9A0B-1C2D3E4F5A6B";
    simradio::SimulatedWorld world;
    world.peripherals = {
        simradio::meterPeripheral(meterId, "SIM Thermo-Hygrometer", -58),
        simradio::plainPeripheral("6F1C2A3E-5B4D-4E8F-9A0B-1C2D3E4F5A6C", {{"SIM Band", -64}})};
    const auto clock = std::make_shared<simradio::VirtualClock>();
    Session session(simradio::centralManagerFactory(clock, world), clock);
    auto& central =
        dynamic_cast<simradio::SimulatedCentralManager&>(*session.window.controller()->centralManager);

    session.window.scanButton()->click();
    ASSERT_TRUE(session.shows("Scanning: 2 devices listed"));
    session.select(meterId);
    ASSERT_TRUE(session.shows("Connected to SIM Thermo-Hygrometer"));
    EXPECT_TRUE(QTest::qWaitFor([&] {
        return clock->advanceBy(simradio::Duration{50}), !session.window.humidityField()->text().isEmpty();
    }));
    central.loseConnection(meterId, "Connection timed out");
    ASSERT_TRUE(session.shows(
        "Disconnected from SIM Thermo-Hygrometer: Connection timed out. Reconnect connects again."));
    session.window.reconnectButton()->click();
    EXPECT_TRUE(session.shows("Connected to SIM Thermo-Hygrometer"));
}

TEST(OtherPlatforms, ARadioTheSystemDoesNotAllowShowsAsUnauthorizedWithWhereToAllowItAndRefusesConnections)
{
#if defined(Q_OS_MACOS)
    const std::string notAllowed =
        "Thermo-Hygrometer is not allowed to use Bluetooth. Allow it in System Settings > "
        "Privacy & Security > Bluetooth, then start it again.";
#elif defined(Q_OS_WIN)
    const std::string notAllowed = "No usable Bluetooth adapter. Check in Settings > Bluetooth & devices "
                                   "that Bluetooth is available and on.";
#else
    EXPECT_TRUE(bluetoothPermitted()) << "only macOS asks the user";
    const std::string notAllowed =
        "No usable Bluetooth adapter. Check that the bluetooth service runs (systemctl "
        "status bluetooth) and that rfkill does not block the adapter (rfkill list).";
#endif
    Session session(unauthorizedCentralManagerFactory());
    ASSERT_TRUE(session.shows(notAllowed));
    EXPECT_EQ(session.count("Bluetooth Disabled- Make sure your Bluetooth is turned on"), 1);
    session.window.scanButton()->click();
    EXPECT_TRUE(session.shows(notAllowed));

    // Nothing is ever listed to connect to; were anything asked, the answer comes, and later.
    session.window.controller()->centralManager->connectPeripheral(
        std::make_shared<fake::Peripheral>("0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9", std::nullopt));
    EXPECT_EQ(session.count("Failed to connect to peripheral"), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return session.count("Failed to connect to peripheral") == 1; }));
}

} // namespace
} // namespace qtui
