// The measurement frame decoder and the value callback with any value: only a
// 19-byte frame of kind "0" or "4" is a reading, shown as its four bytes of
// text (or "error") and the kind's suffix in the field of its kind, and the
// log has the documented number of lines.
#include "app/utf8.h"
#include "fake_platform.h"
#include "protocol/frame.h"
#include "text_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using reliability::require;
    const std::span<const std::uint8_t> value(data, size);
    const std::string text(value.begin(), value.end());
    const auto asText = protocol::utf8Text(value);
    require(asText == (utf8::isValid(text) ? std::optional(text) : std::nullopt),
            "utf8Text is not the valid bytes");

    const bool frame = size == protocol::frameLength;
    const bool temperature = frame && data[4] == '0';
    const bool shown = temperature || (frame && data[4] == '4');
    require(protocol::decodeFrame(value).has_value() == shown, "decodeFrame took or refused the wrong value");
    const auto valueText = text.substr(std::min(size, protocol::valueOffset), protocol::valueLength);
    const auto displayText =
        (utf8::isValid(valueText) ? valueText : "error") +
        std::string(temperature ? protocol::temperatureSuffix : protocol::humiditySuffix);

    fake::Platform platform;
    const auto meter = std::make_shared<fake::Peripheral>("METER", "Meter");
    platform.deliverValue(meter, fake::makeCharacteristic("FF02", ble::property::notify),
                          ble::Bytes(value.begin(), value.end()));
    for (const auto& line : platform.log->lines)
        require(reliability::lineFault(line).empty(), "log line: " + reliability::lineFault(line));
    require(platform.log->lines.size() == (shown ? 23u : frame ? 22u : 2u), "wrong number of log lines");
    const auto& field = temperature ? platform.temperature : platform.humidity;
    require(platform.temperature->writes + platform.humidity->writes == shown &&
                (!shown || field->stringValue() == displayText),
            "wrong field or text shown");
    return 0;
}
