// The controller over the simulated radio on virtual time: from the scan
// button to both readings, and the poll going on for an hour.
#include "simulated_radio/scheduler_run_loop.h"
#include "simulated_radio/simulated_central_manager.h"
#include "simulated_radio/virtual_clock.h"

#include "app/view_controller.h"
#include "fake_platform.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace simradio {
namespace {

class SimulatedSystem : public ::testing::Test {
protected:
    SimulatedSystem()
    {
        auto runLoop = std::make_shared<SchedulerRunLoop>(clock);
        controller = std::make_shared<ViewController>(
            ViewController::Platform{log, centralManagerFactory(clock, defaultWorld()), runLoop,
                                     std::make_shared<ProgramWideValues>()});
        controller->tableView = table;
        controller->temperatureTxtFld = temperature;
        controller->moistureTxtFld = humidity;
        controller->scanButton = button;
        controller->viewDidLoad();
    }

    long meterRow() const
    {
        const auto& listed = *controller->peripherals;
        const auto meter = std::find_if(listed.begin(), listed.end(), [](const auto& peripheral) {
            return peripheral->name() == "SIM Thermo-Hygrometer";
        });
        return meter == listed.end() ? -1 : static_cast<long>(meter - listed.begin());
    }

    void scanAndSelectMeter()
    {
        button->currentState = ui::controlState::on;
        controller->refreshAction(*button);
        ASSERT_TRUE(clock->advanceUntil([&] { return meterRow() >= 0; }, Duration{10'000}));
        table->selection = {meterRow()};
        controller->tableViewSelectionDidChange(ui::Notification{table});
    }

    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    std::shared_ptr<fake::Log> log = std::make_shared<fake::Log>();
    std::shared_ptr<fake::TableView> table = std::make_shared<fake::TableView>();
    std::shared_ptr<fake::TextField> temperature = std::make_shared<fake::TextField>();
    std::shared_ptr<fake::TextField> humidity = std::make_shared<fake::TextField>();
    std::shared_ptr<fake::Button> button = std::make_shared<fake::Button>();
    std::shared_ptr<ViewController> controller;
};

TEST_F(SimulatedSystem, ListsOnlyNamedPeripheralsStrongerThanMinusOneHundred)
{
    button->currentState = ui::controlState::on;
    controller->refreshAction(*button);
    clock->advanceBy(Duration{5'000});
    std::vector<std::string> names;
    for (const auto& peripheral : *controller->peripherals)
        names.push_back(peripheral->name().value_or("?"));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"SIM Edge Sensor", "SIM Fitness Band", "SIM Late Tag",
                                               "SIM Thermo-Hygrometer"}));
}

TEST_F(SimulatedSystem, ShowsBothReadingsWithinFiveSecondsOfTheSelection)
{
    scanAndSelectMeter();
    const auto selected = clock->now();
    ASSERT_TRUE(clock->advanceUntil(
        [&] { return !temperature->stringValue().empty() && !humidity->stringValue().empty(); },
        Duration{5'000}));
    EXPECT_LE(clock->now() - selected, Duration{5'000});
    EXPECT_EQ(button->currentState, ui::controlState::off);
    EXPECT_TRUE(temperature->stringValue().ends_with(" \u02DA"
                                                     "C"));
    EXPECT_TRUE(humidity->stringValue().ends_with(" %RH"));
}

TEST_F(SimulatedSystem, PollsTheMeterEveryTwoSecondsForAnHour)
{
    scanAndSelectMeter();
    ASSERT_TRUE(clock->advanceUntil([&] { return controller->counter; }, Duration{5'000}));
    const auto meter = std::dynamic_pointer_cast<SimulatedCentralManager>(controller->centralManager)
                           ->peripheral("02:00:5E:10:00:01");
    const auto armedRequests = meter->measurementRequestsReceived();
    const auto temperatureWrites = temperature->writes;
    clock->advanceBy(Duration{3'600'000});
    // One request per 2-second tick; half of the answers are temperatures.
    EXPECT_EQ(meter->measurementRequestsReceived() - armedRequests, 1'800u);
    EXPECT_NEAR(temperature->writes - temperatureWrites, 900, 1);
    EXPECT_NE(temperature->stringValue(), "");
}

} // namespace
} // namespace simradio
