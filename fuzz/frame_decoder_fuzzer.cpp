// The measurement frame decoder and the value callback with any value: only a
// 19-byte frame of kind "0" or "4" changes a field, and the log has the
// documented number of lines.
#include "fake_platform.h"
#include "fuzz_check.h"
#include "protocol/frame.h"
#include "text_checks.h"

#include <cstdint>
#include <string>

namespace {

using reliability::require;

std::string textOf(std::span<const std::uint8_t> bytes)
{
    return {bytes.begin(), bytes.end()};
}

void checkDecoder(std::span<const std::uint8_t> value)
{
    const auto asText = protocol::utf8Text(value);
    require(asText.has_value() == reliability::isValidUtf8(textOf(value)), "utf8Text disagrees on validity");
    require(!asText || *asText == textOf(value), "utf8Text changed the bytes");

    const auto reading = protocol::decodeFrame(value);
    const bool frame = value.size() == protocol::frameLength;
    const bool knownKind = frame && (value[4] == '0' || value[4] == '4');
    require(reading.has_value() == knownKind, "decodeFrame accepted or refused the wrong value");
    if (frame) {
        const auto kind = protocol::readingKindText(value);
        require(kind.has_value() == (value[4] < 0x80),
                "reading kind text for a byte that is not a character");
        require(!kind || *kind == std::string(1, static_cast<char>(value[4])),
                "reading kind text is not the byte");
    }
    if (!reading)
        return;

    const auto valueBytes = textOf(value.subspan(protocol::valueOffset, protocol::valueLength));
    const bool validValue = reliability::isValidUtf8(valueBytes);
    require(reading->valueText.has_value() == validValue,
            "value text present for invalid bytes or absent for valid");
    require(!reading->valueText || *reading->valueText == valueBytes, "value text is not the four bytes");
    const bool temperature = value[4] == '0';
    require(reading->kind ==
                (temperature ? protocol::ReadingKind::temperature : protocol::ReadingKind::humidity),
            "wrong reading kind");
    const auto suffix = temperature ? protocol::temperatureSuffix : protocol::humiditySuffix;
    require(reading->displayText == (validValue ? valueBytes : "error") + std::string(suffix),
            "wrong display text");
}

void checkValueCallback(std::span<const std::uint8_t> value)
{
    fake::Platform platform;
    auto peripheral = std::make_shared<fake::Peripheral>("METER", "Meter");
    const auto characteristic = fake::makeCharacteristic("FF02", ble::property::notify);
    const auto linesBefore = platform.log->lines.size();
    platform.deliverValue(peripheral, characteristic, ble::Bytes(value.begin(), value.end()));
    const auto lines = platform.linesSince(linesBefore);
    for (const auto& line : lines)
        require(reliability::lineFault(line).empty(), "log line: " + reliability::lineFault(line));

    const bool frame = value.size() == protocol::frameLength;
    const bool shown = frame && (value[4] == '0' || value[4] == '4');
    require(lines.size() == (shown ? 23u : frame ? 22u : 2u), "wrong number of log lines");
    require(platform.temperature->writes + platform.humidity->writes == (shown ? 1 : 0),
            "wrong field writes");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> value(data, size);
    checkDecoder(value);
    checkValueCallback(value);
    return 0;
}
