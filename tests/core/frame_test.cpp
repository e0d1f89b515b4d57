#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<std::uint8_t> frame(std::uint8_t kind, std::vector<std::uint8_t> value)
{
    std::vector<std::uint8_t> bytes(protocol::frameLength, 0x11);
    bytes[protocol::kindOffset] = kind;
    std::copy(value.begin(), value.end(), bytes.begin() + protocol::valueOffset);
    return bytes;
}

std::vector<std::uint8_t> text(std::string_view chars)
{
    return {chars.begin(), chars.end()};
}

} // namespace

TEST(FrameDecoder, TemperatureAndHumidityShowTheTextAsTheMeterSpellsIt)
{
    const auto temperature = protocol::decodeFrame(frame('0', text("23.5")));
    ASSERT_TRUE(temperature);
    EXPECT_EQ(temperature->kind, protocol::ReadingKind::temperature);
    EXPECT_EQ(temperature->valueText, "23.5");
    EXPECT_EQ(temperature->displayText, "23.5 \xCB\x9A"
                                        "C")
        << "ring above, not the degree sign";

    const auto humidity = protocol::decodeFrame(frame('4', text("45.6")));
    ASSERT_TRUE(humidity);
    EXPECT_EQ(humidity->kind, protocol::ReadingKind::humidity);
    EXPECT_EQ(humidity->displayText, "45.6 %RH");

    EXPECT_EQ(protocol::decodeFrame(frame('0', text(" -5.")))->displayText, " -5. \u02DA"
                                                                            "C");
    EXPECT_EQ(protocol::decodeFrame(frame('4', text("  41")))->displayText, "  41 %RH");
}

TEST(FrameDecoder, InvalidValueTextShowsError)
{
    const auto reading = protocol::decodeFrame(frame('0', {0xFF, 0xFF, 0xFF, 0xFF}));
    ASSERT_TRUE(reading);
    EXPECT_FALSE(reading->valueText);
    EXPECT_EQ(reading->displayText, "error \u02DA"
                                    "C");
    // A two-byte character cut off at the end of the value is invalid too.
    EXPECT_FALSE(protocol::decodeFrame(frame('4', {'1', '2', '3', 0xC3}))->valueText);
    // A zero byte is valid and stays in the text; a whole multi-byte character is fine.
    EXPECT_EQ(protocol::decodeFrame(frame('4', {'1', 0x00, 0xC3, 0xA9}))->valueText,
              std::string("1\0\xC3\xA9", 4));
}

TEST(FrameDecoder, OnlyNineteenByteFramesOfKnownKindsAreReadings)
{
    for (const std::size_t length : {0u, 1u, 18u, 20u, 255u})
        EXPECT_FALSE(protocol::decodeFrame(std::vector<std::uint8_t>(length, '0'))) << length;
    EXPECT_FALSE(protocol::decodeFrame(frame('1', text("23.5"))));
    EXPECT_FALSE(protocol::decodeFrame(frame(0xC3, text("23.5"))));

    EXPECT_EQ(protocol::readingKindText(frame('1', {})), "1");
    EXPECT_FALSE(protocol::readingKindText(frame(0xC3, {})));
    EXPECT_EQ(protocol::readingKindText(frame(0x00, {})), std::string(1, '\0'));
}
