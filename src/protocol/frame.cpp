#include "protocol/frame.h"

#include "app/utf8.h"

namespace protocol {

std::optional<std::string> utf8Text(std::span<const std::uint8_t> bytes)
{
    std::string text(bytes.begin(), bytes.end());
    if (!utf8::isValid(text))
        return std::nullopt;
    return text;
}

std::optional<std::string> readingKindText(std::span<const std::uint8_t> frame)
{
    return utf8Text(frame.subspan(kindOffset, 1));
}

std::optional<Reading> decodeFrame(std::span<const std::uint8_t> value)
{
    if (value.size() != frameLength)
        return std::nullopt;
    const auto kindText = readingKindText(value);
    std::string_view suffix;
    ReadingKind kind{};
    if (kindText == "0") {
        kind = ReadingKind::temperature;
        suffix = temperatureSuffix;
    } else if (kindText == "4") {
        kind = ReadingKind::humidity;
        suffix = humiditySuffix;
    } else {
        return std::nullopt;
    }
    auto valueText = utf8Text(value.subspan(valueOffset, valueLength));
    std::string displayText = valueText.value_or("error");
    displayText += suffix;
    return Reading{kind, std::move(valueText), std::move(displayText)};
}

} // namespace protocol
