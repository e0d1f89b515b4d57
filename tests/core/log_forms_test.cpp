// The forms the log writes values in, the UUID forms, and the replacement of invalid UTF-8, case by case.
#include "app/ble.h"
#include "app/log_forms.h"

#include <gtest/gtest.h>

TEST(LogForms, WriteEachValueInItsForm)
{
    const std::string fffd = "\uFFFD"; // the replacement character
    const std::vector<std::pair<std::string, std::string>> cases = {
        {logform::decimal(INT64_MIN), "-9223372036854775808"},
        {logform::optional("3"), "Optional(3)"},
        {logform::optional(std::nullopt), "nil"},
        {logform::optionalQuoted(""), "Optional(\"\")"},
        {logform::optionalQuoted(std::nullopt), "nil"},
        {logform::bytesText(1), "1 bytes"},
        {logform::list({}), "[]"},
        {logform::list({"-67", "a b"}), "[-67, a b]"},
        {logform::separator(3), "***"},
        // The escapes of valid text are the log forms fuzzer's, with its corpus.
        // Each byte of an invalid sequence becomes U+FFFD: cut short, overlong, surrogate, beyond U+10FFFF.
        {logform::quoted("a\xFF"
                         "b\xC3"),
         "\"a" + fffd + "b" + fffd + "\""},
        {logform::quoted("\xC0\xAF\xE0\x80\xAF"), "\"" + fffd + fffd + fffd + fffd + fffd + "\""},
        {logform::quoted("\xED\xA0\x80"), "\"" + fffd + fffd + fffd + "\""},
        {logform::quoted("\xF4\x90\x80\x80\xF5\x80\x80\x80"),
         "\"" + fffd + fffd + fffd + fffd + fffd + fffd + fffd + fffd + "\""},
        {logform::quoted("\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"), "\"\U00010000\U0010FFFF\""}};
    for (const auto& [written, expected] : cases)
        EXPECT_EQ(written, expected);
}

TEST(Uuid, ReadsTheShortAndFullFormsAndWritesTheShortestUpperCase)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"ff0a", "FF0A"},
        {"0000FF02-0000-1000-8000-00805F9B34FB", "FF02"},
        {"12345678", "12345678"},
        {"00123456", "00123456"},
        {"6e400001-b5a3-f393-e0a9-e50e24dcca9e", "6E400001-B5A3-F393-E0A9-E50E24DCCA9E"},
        {"", "none"},
        {"FF0", "none"},
        {"FF0G", "none"},
        {"6e400001-b5a3-f393e-0a9-e50e24dcca9e", "none"}};
    for (const auto& [text, written] : cases) {
        const auto uuid = ble::Uuid::fromString(text);
        EXPECT_EQ(uuid ? uuid->uuidString() : "none", written) << text;
    }
    EXPECT_EQ(ble::Uuid::fromShort(0xFF02), ble::Uuid::fromString("FF02"));
}
