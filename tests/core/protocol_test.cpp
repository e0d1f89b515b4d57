// The poll and the value handler.
#include "meter_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using testing::ElementsAre;
using Request = fake::Request::Kind;

namespace {

ble::Bytes frame(std::uint8_t kind, std::vector<std::uint8_t> value)
{
    ble::Bytes bytes(19, 0x00);
    bytes[4] = kind;
    std::copy(value.begin(), value.end(), bytes.begin() + 7);
    return bytes;
}

struct Protocol : MeterFixture {
    std::vector<std::string> valueUpdateLines(const std::shared_ptr<fake::Characteristic>& characteristic,
                                              std::optional<ble::Bytes> value,
                                              std::optional<ble::Error> error = std::nullopt)
    {
        characteristic->currentValue = std::move(value);
        const auto first = platform.log->lines.size();
        platform.controller->peripheralDidUpdateValueForCharacteristic(meter, characteristic, error);
        return platform.linesSince(first);
    }
};

} // namespace

TEST_F(Protocol, TicksSendNothingUntilArmedThenOneRequestEveryTwoSeconds)
{
    platform.runLoop->advance(1.99);
    EXPECT_TRUE(platform.log->lines.empty());
    platform.runLoop->advance(10.0);
    EXPECT_TRUE(platform.log->lines.empty()) << "unarmed ticks write nothing";

    listDevices();
    connectAndArm();
    ASSERT_EQ(meter->requestsOf(Request::write).size(), 1u) << "the first request goes out at once";
    // The poll timer keeps its own phase: 2.0 s after the view loaded, every 2.0 s.
    const auto first = platform.log->lines.size();
    platform.runLoop->advance(0.01);
    EXPECT_THAT(platform.linesSince(first), ElementsAre("data = 94", "sending data"));
    EXPECT_EQ(meter->requestsOf(Request::write).size(), 2u);
    platform.runLoop->advance(1.98);
    EXPECT_EQ(meter->requestsOf(Request::write).size(), 2u);
    platform.runLoop->advance(0.02);
    EXPECT_EQ(meter->requestsOf(Request::write).size(), 3u) << "the next request needs no answer to the last";

    // Scans, selections and disappearances do not stop the poll timer.
    platform.controller->viewWillDisappear();
    platform.runLoop->advance(2.0);
    EXPECT_EQ(meter->requestsOf(Request::write).size(), 4u);
}

TEST_F(Protocol, FramesShowTheirReadingInTheFieldOfTheirKind)
{
    listDevices();
    connectAndArm();
    const auto temperatureLines = valueUpdateLines(ff02, frame('0', {'2', '3', '.', '5'}));
    ASSERT_EQ(temperatureLines.size(), 23u);
    EXPECT_EQ(temperatureLines[0], "didUpdateValueFor characteristic UUID: FF02");
    EXPECT_EQ(temperatureLines[1], "data update value Optional(19 bytes)");
    EXPECT_EQ(temperatureLines[6], "data = Optional(48)");
    EXPECT_EQ(temperatureLines[21], "Optional(\"0\")");
    EXPECT_EQ(temperatureLines[22], "Optional(\"23.5\")");
    EXPECT_EQ(platform.temperature->stringValue(), "23.5 \u02DA"
                                                   "C");
    EXPECT_EQ(platform.humidity->writes, 0);

    // An error with the update is not examined; blanks and signs are the meter's.
    valueUpdateLines(ff02, frame('4', {' ', ' ', '4', '1'}), ble::Error{"ignored"});
    EXPECT_EQ(platform.humidity->stringValue(), "  41 %RH");
    EXPECT_EQ(platform.temperature->stringValue(), "23.5 \u02DA"
                                                   "C");

    // Any characteristic's 19-byte value is decoded, not only FF02's.
    auto readable = fake::makeCharacteristic("2A00", ble::property::read);
    valueUpdateLines(readable, frame('0', {' ', '-', '5', '.'}));
    EXPECT_EQ(platform.temperature->stringValue(), " -5. \u02DA"
                                                   "C");
}

TEST_F(Protocol, UndecodableValuesAreLoggedAndDropped)
{
    EXPECT_THAT(valueUpdateLines(ff02, std::nullopt),
                ElementsAre("didUpdateValueFor characteristic UUID: FF02", "data update value nil"));
    for (const std::size_t length : {0u, 18u, 20u}) {
        const auto lines = valueUpdateLines(ff02, ble::Bytes(length, '0'));
        EXPECT_THAT(lines, ElementsAre("didUpdateValueFor characteristic UUID: FF02",
                                       "data update value Optional(" + std::to_string(length) + " bytes)"));
    }
    auto lines = valueUpdateLines(ff02, frame('1', {'2', '3', '.', '5'}));
    ASSERT_EQ(lines.size(), 22u);
    EXPECT_EQ(lines.back(), "Optional(\"1\")");
    lines = valueUpdateLines(ff02, frame(0xC3, {'2', '3', '.', '5'}));
    ASSERT_EQ(lines.size(), 22u);
    EXPECT_EQ(lines.back(), "nil");
    EXPECT_EQ(platform.temperature->writes + platform.humidity->writes, 0);

    lines = valueUpdateLines(ff02, frame('0', {0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(lines.back(), "nil");
    EXPECT_EQ(lines[2], "data = Optional(0)");
    EXPECT_EQ(lines[9], "data = Optional(255)");
    EXPECT_EQ(platform.temperature->stringValue(), "error \u02DA"
                                                   "C");
}
