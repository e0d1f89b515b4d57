// Names and advertisement texts that anyone nearby can send: the longest name
// a device can advertise, every control character, and bytes that are not
// UTF-8. The device is listed as usual and every report stays eleven whole,
// printable log lines.
#include "fake_platform.h"
#include "text_checks.h"

#include <gtest/gtest.h>

namespace {

struct HostileNames : testing::Test {
    // Reports the device and returns its report's log lines.
    std::vector<std::string> reportNamed(const std::string& name, ble::AdvertisementData advertisement = {})
    {
        const auto first = platform.log->lines.size();
        auto device = std::make_shared<fake::Peripheral>("device-" + std::to_string(first), name);
        platform.report(device, -60, std::move(advertisement));
        return platform.linesSince(first);
    }

    fake::Platform platform;
};

std::string everyControlCharacter()
{
    std::string text;
    for (int c = 0; c < 0x20; ++c)
        text.push_back(static_cast<char>(c));
    text += "\x7F";
    for (int c = 0x80; c <= 0x9F; ++c)
        text += {'\xC2', static_cast<char>(c)};
    return text;
}

} // namespace

TEST_F(HostileNames, LongestAdvertisedNameIsListedAndLoggedWhole)
{
    platform.toggleScan(true);
    const std::string name(248, 'M');
    const auto lines = reportNamed(name);
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[5], "Peripheral name: Optional(\"" + name + "\")");
    ASSERT_EQ(platform.controller->peripherals->size(), 1u);
    platform.controller->tableViewViewForTableColumn(*platform.table, {"name"}, 0);
    EXPECT_EQ(platform.table->cells.back().name->stringValue(), name);
}

TEST_F(HostileNames, ControlCharactersAndBrokenUtf8StayInsideTheirLine)
{
    platform.toggleScan(true);
    const std::vector<std::string> names = {
        everyControlCharacter(),
        "Meter\xC2\x85"
        "Found peripheral",                                     // NEL: a line break to some log readers
        "\xFF\xFE\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80\xE2\x82", // no valid UTF-8 at all
        std::string(200, '\n') + std::string(48, '\x1B'),
    };
    for (const auto& name : names) {
        const auto lines = reportNamed(name, {{name, name}});
        ASSERT_EQ(lines.size(), 11u);
        for (const auto& line : lines)
            EXPECT_EQ(reliability::lineFault(line), "") << line;
    }
    EXPECT_EQ(platform.controller->peripherals->size(), names.size());
    EXPECT_EQ(platform.log->lines[platform.log->lines.size() - 11 * 3 + 5],
              R"(Peripheral name: Optional("Meter\u{85}Found peripheral"))");
}

TEST_F(HostileNames, BrokenUtf8IsShownAsReplacementCharactersInTheLog)
{
    platform.toggleScan(true);
    const auto lines = reportNamed("Th\xFF"
                                   "ermo\xE2\x82");
    EXPECT_EQ(lines[5], "Peripheral name: Optional(\"Th\xEF\xBF\xBD"
                        "ermo\xEF\xBF\xBD\xEF\xBF\xBD\")");
}
