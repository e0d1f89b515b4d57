// The simulated meter over GATT: its table, its answers to measurement
// requests, and the connection's lifecycle.
#include "radio_recorder.h"

#include "protocol/frame.h"
#include "simulated_radio/meter_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <string>

namespace simradio::testing {
namespace {

using Kind = RadioEvent::Kind;
const std::string meterId = "02:00:5E:10:00:01";
const ble::Bytes request{0x5E};

std::string readingOf(const ble::Bytes& frame)
{
    return std::string(frame.begin() + 7, frame.begin() + 11);
}

class SimulatedMeter : public ::testing::Test {
protected:
    void SetUp() override
    {
        meter = bench.connectAndDiscover(meterId);
        requestCharacteristic = RadioBench::characteristic(*meter, 0xFF01);
        measurement = RadioBench::characteristic(*meter, 0xFF02);
        ASSERT_TRUE(requestCharacteristic && measurement);
    }

    void subscribe()
    {
        const auto seen = bench.recorder->eventsOf(Kind::notificationState).size();
        meter->setNotifyValue(true, measurement);
        ASSERT_TRUE(bench.awaitEvent(Kind::notificationState, seen));
    }

    // Writes one request and returns the frames that came within a second.
    std::vector<ble::Bytes> requestOnce(const ble::Bytes& value = request,
                                        ble::WriteType type = ble::WriteType::withoutResponse)
    {
        const auto& events = bench.recorder->events;
        const auto seen = events.size();
        meter->writeValue(value, requestCharacteristic, type);
        EXPECT_EQ(events.size(), seen) << "answered from inside the write";
        bench.clock->advanceBy(Duration{1'000});
        std::vector<ble::Bytes> frames;
        for (auto event = events.begin() + static_cast<long>(seen); event != events.end(); ++event)
            if (event->kind == Kind::value)
                frames.push_back(event->value.value_or(ble::Bytes{}));
        return frames;
    }

    RadioBench bench{defaultWorld()};
    std::shared_ptr<ble::Peripheral> meter;
    std::shared_ptr<ble::Characteristic> requestCharacteristic;
    std::shared_ptr<ble::Characteristic> measurement;
};

TEST_F(SimulatedMeter, OffersTheVendorAndDeviceInformationServices)
{
    ASSERT_TRUE(meter->services());
    ASSERT_EQ(meter->services()->size(), 2u);
    EXPECT_EQ((*meter->services())[0]->uuid().uuidString(), "FF00");
    EXPECT_EQ((*meter->services())[1]->uuid().uuidString(), "180A");
    EXPECT_EQ(requestCharacteristic->properties(), ble::property::writeWithoutResponse);
    EXPECT_EQ(measurement->properties(), ble::property::notify);
    EXPECT_EQ(requestCharacteristic->uuid().uuidString(), "FF01");

    const auto manufacturer = RadioBench::characteristic(*meter, 0x2A29);
    const auto model = RadioBench::characteristic(*meter, 0x2A24);
    ASSERT_TRUE(manufacturer && model);
    EXPECT_EQ(manufacturer->value(), std::nullopt) << "nothing is known before the read";
    meter->readValue(manufacturer);
    meter->readValue(model);
    bench.clock->advanceBy(Duration{500});
    const auto values = bench.recorder->eventsOf(Kind::value);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_FALSE(values[0].error);
    EXPECT_EQ(values[0].value,
              ble::Bytes(std::begin("Simulated Instruments"), std::end("Simulated Instruments") - 1));
    EXPECT_EQ(values[1].value, ble::Bytes(std::begin("TH-SIM-1"), std::end("TH-SIM-1") - 1));
}

TEST_F(SimulatedMeter, RefusesWhatItsCharacteristicsDoNotAllow)
{
    meter->setNotifyValue(true, requestCharacteristic);
    meter->readValue(measurement);
    bench.clock->advanceBy(Duration{500});
    const auto notification = bench.recorder->eventsOf(Kind::notificationState);
    ASSERT_EQ(notification.size(), 1u);
    EXPECT_TRUE(notification[0].error);
    EXPECT_FALSE(requestCharacteristic->isNotifying());
    const auto read = bench.recorder->eventsOf(Kind::value);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_TRUE(read[0].error);
}

TEST_F(SimulatedMeter, AnswersNothingUntilItsMeasurementCharacteristicNotifies)
{
    EXPECT_TRUE(requestOnce().empty());
    subscribe();
    EXPECT_TRUE(measurement->isNotifying());
    EXPECT_EQ(requestOnce().size(), 1u);
}

TEST_F(SimulatedMeter, AnswersOnlyTheMeasurementRequestWrittenWithoutResponse)
{
    subscribe();
    EXPECT_TRUE(requestOnce(ble::Bytes{0x00}).empty());
    EXPECT_TRUE(requestOnce(ble::Bytes{0x5E, 0x5E}).empty());
    EXPECT_TRUE(requestOnce(request, ble::WriteType::withResponse).empty())
        << "FF01 takes no write with response";
    EXPECT_EQ(requestOnce().size(), 1u);
}

TEST_F(SimulatedMeter, AnswersEachRequestAFewMillisecondsLaterWithOneFrameInTurn)
{
    subscribe();
    const auto written = bench.clock->now();
    meter->writeValue(request, requestCharacteristic, ble::WriteType::withoutResponse);
    ASSERT_TRUE(bench.awaitEvent(Kind::value, 0));
    const auto delay = bench.clock->now() - written;
    EXPECT_GT(delay, Duration{0});
    EXPECT_LE(delay, Duration{20});

    const auto first = bench.recorder->eventsOf(Kind::value)[0];
    EXPECT_EQ(first.characteristic, measurement);
    EXPECT_FALSE(first.error);
    ASSERT_TRUE(first.value);
    EXPECT_EQ(first.value->size(), 19u);
    EXPECT_EQ((*first.value)[4], '0') << "the first answer is a temperature";
    EXPECT_EQ(requestOnce().at(0)[4], '4');
    EXPECT_EQ(requestOnce().at(0)[4], '0');
}

TEST_F(SimulatedMeter, ReadingsDriftSlowlyWithinRealisticRangesInTheFourCharacterForm)
{
    subscribe();
    const std::regex fourCharacters(R"(^( \d|\d\d|-\d)\.\d$)");
    std::optional<double> previous[2];
    for (int request = 0; request < 2'000; ++request) {
        const auto frames = requestOnce();
        ASSERT_EQ(frames.size(), 1u);
        const auto& frame = frames[0];
        ASSERT_EQ(frame.size(), protocol::frameLength);
        const auto decoded = protocol::decodeFrame(frame);
        ASSERT_TRUE(decoded && decoded->valueText);
        const bool temperature = request % 2 == 0;
        EXPECT_EQ(decoded->kind,
                  temperature ? protocol::ReadingKind::temperature : protocol::ReadingKind::humidity);
        const auto text = readingOf(frame);
        ASSERT_TRUE(std::regex_match(text, fourCharacters)) << '"' << text << '"';
        const double value = std::stod(text);
        if (temperature) {
            EXPECT_GE(value, 18.0);
            EXPECT_LE(value, 26.0);
        } else {
            EXPECT_GE(value, 35.0);
            EXPECT_LE(value, 65.0);
        }
        auto& last = previous[temperature ? 0 : 1];
        if (last) {
            EXPECT_LE(std::abs(value - *last), (temperature ? 0.2 : 0.6) + 0.1)
                << "jumped at request " << request;
        }
        last = value;
    }
}

TEST_F(SimulatedMeter, CancelledConnectionEndsLaterWithoutErrorAndStopsTheAnswers)
{
    subscribe();
    bench.central->cancelPeripheralConnection(meter);
    EXPECT_TRUE(bench.recorder->eventsOf(Kind::disconnection).empty()) << "reported from inside the cancel";
    ASSERT_TRUE(bench.awaitEvent(Kind::disconnection, 0));
    const auto disconnection = bench.recorder->eventsOf(Kind::disconnection)[0];
    EXPECT_EQ(disconnection.peripheral, meter);
    EXPECT_FALSE(disconnection.error);
    EXPECT_FALSE(measurement->isNotifying());
    EXPECT_FALSE(meter->services()) << "the GATT table is discovered anew on the next connection";
    EXPECT_TRUE(requestOnce().empty());

    // Cancelling an idle peripheral reports nothing.
    bench.central->cancelPeripheralConnection(meter);
    bench.clock->advanceBy(Duration{1'000});
    EXPECT_EQ(bench.recorder->eventsOf(Kind::disconnection).size(), 1u);
}

TEST_F(SimulatedMeter, RequestsAnsweredAfterTheLinkDroppedAreNotDelivered)
{
    subscribe();
    meter->writeValue(request, requestCharacteristic, ble::WriteType::withoutResponse);
    bench.central->cancelPeripheralConnection(meter);
    bench.clock->advanceBy(Duration{1'000});
    EXPECT_TRUE(bench.recorder->eventsOf(Kind::value).empty());
}

TEST(SimulatedCentralConnection, RefusesPeripheralsItDoesNotKnowOrThatDoNotConnect)
{
    auto world = defaultWorld();
    world.peripherals[1].connectable = false;
    RadioBench bench(world);
    RadioBench otherRadio(defaultWorld());
    bench.central->connectPeripheral(otherRadio.central->peripheral("02:00:5E:10:00:01"));
    bench.central->connectPeripheral(bench.central->peripheral("02:00:5E:10:00:02"));
    bench.clock->advanceBy(Duration{1'000});
    const auto failures = bench.recorder->eventsOf(RadioEvent::Kind::connectionFailure);
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_TRUE(failures[0].error && failures[1].error);
    EXPECT_TRUE(bench.recorder->eventsOf(RadioEvent::Kind::connection).empty());
}

TEST(MeterFrames, CarryTheKindAndTheReadingWhereTheDecoderLooks)
{
    const auto temperature = protocol::decodeFrame(measurementFrame(MeterModel::temperatureKind, "23.5"));
    ASSERT_TRUE(temperature);
    EXPECT_EQ(temperature->kind, protocol::ReadingKind::temperature);
    EXPECT_EQ(temperature->displayText, "23.5 \u02DA"
                                        "C");
    const auto humidity = protocol::decodeFrame(measurementFrame(MeterModel::humidityKind, " 9.8"));
    ASSERT_TRUE(humidity);
    EXPECT_EQ(humidity->displayText, " 9.8 %RH");
}

TEST(MeterFrames, ReadingTextsAreAlwaysFourCharacters)
{
    EXPECT_EQ(readingText(23.5), "23.5");
    EXPECT_EQ(readingText(45.62), "45.6");
    EXPECT_EQ(readingText(9.8), " 9.8");
    EXPECT_EQ(readingText(-5.2), "-5.2");
    EXPECT_EQ(readingText(-0.04), " 0.0");
    EXPECT_EQ(readingText(0.0), " 0.0");
    EXPECT_EQ(readingText(123.4), "99.9");
    EXPECT_EQ(readingText(-27.0), "-9.9");
}

} // namespace
} // namespace simradio::testing
