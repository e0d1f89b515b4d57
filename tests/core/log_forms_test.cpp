#include "app/ble.h"
#include "app/log_forms.h"

#include <gtest/gtest.h>

TEST(LogForms, DecimalOptionalBytesListAndSeparator)
{
    EXPECT_EQ(logform::decimal(0), "0");
    EXPECT_EQ(logform::decimal(-100), "-100");
    EXPECT_EQ(logform::decimal(INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(logform::optional("3"), "Optional(3)");
    EXPECT_EQ(logform::optional(std::nullopt), "nil");
    EXPECT_EQ(logform::optionalQuoted("SIM"), "Optional(\"SIM\")");
    EXPECT_EQ(logform::optionalQuoted(""), "Optional(\"\")");
    EXPECT_EQ(logform::optionalQuoted(std::nullopt), "nil");
    EXPECT_EQ(logform::bytesText(1), "1 bytes");
    EXPECT_EQ(logform::bytesText(19), "19 bytes");
    EXPECT_EQ(logform::list({}), "[]");
    EXPECT_EQ(logform::list({"-67"}), "[-67]");
    EXPECT_EQ(logform::list({"-67", "-70", "a b"}), "[-67, -70, a b]");
    EXPECT_EQ(logform::separator(29), std::string(29, '*'));
}

TEST(LogForms, QuotedEscapesQuotesBackslashesAndControlCharacters)
{
    EXPECT_EQ(logform::quoted("Thermo \u00B0 Meter \u02DA"), "\"Thermo \u00B0 Meter \u02DA\"")
        << "ordinary text, non-ASCII included, prints unchanged";
    EXPECT_EQ(logform::quoted("say \"hi\" \\o/"), R"("say \"hi\" \\o/")");
    EXPECT_EQ(logform::quoted("a\nb\rc\td"), R"("a\nb\rc\td")");
    EXPECT_EQ(logform::quoted(std::string("x\0y", 3)), R"("x\0y")");
    EXPECT_EQ(logform::quoted("\x1B[31m\x7F\x01"), R"("\u{1B}[31m\u{7F}\u{01}")");
}

TEST(LogForms, InvalidUtf8BecomesReplacementCharacters)
{
    EXPECT_EQ(logform::quoted("a\xFF"
                              "b"),
              "\"a\uFFFDb\"");
    // A sequence cut short, an overlong form and a surrogate are all invalid.
    EXPECT_EQ(logform::quoted("\xC3"), "\"\uFFFD\"");
    EXPECT_EQ(logform::quoted("\xC0\xAF"), "\"\uFFFD\uFFFD\"");
    EXPECT_EQ(logform::quoted("\xED\xA0\x80"), "\"\uFFFD\uFFFD\uFFFD\"");
}

TEST(LogForms, PrintableKeepsQuotesButEscapesControlCharacters)
{
    EXPECT_EQ(logform::printable("<Peripheral: name = \"x\">"), "<Peripheral: name = \"x\">");
    EXPECT_EQ(logform::printable("line one\nline two"), "line one\\nline two");
}

TEST(Uuid, ShortAndFullForms)
{
    const auto ff02 = ble::Uuid::fromString("FF02");
    ASSERT_TRUE(ff02);
    EXPECT_EQ(ff02->uuidString(), "FF02");
    EXPECT_EQ(ble::Uuid::fromString("ff02"), ff02) << "hex digits in either case";
    EXPECT_EQ(ble::Uuid::fromString("0000FF02-0000-1000-8000-00805F9B34FB"), ff02);
    EXPECT_EQ(ble::Uuid::fromShort(0xFF02), ff02);
    EXPECT_NE(ble::Uuid::fromString("FF01"), ff02);

    EXPECT_EQ(ble::Uuid::fromString("12345678")->uuidString(), "12345678");
    const auto vendor = ble::Uuid::fromString("6e400001-b5a3-f393-e0a9-e50e24dcca9e");
    ASSERT_TRUE(vendor);
    EXPECT_EQ(vendor->uuidString(), "6E400001-B5A3-F393-E0A9-E50E24DCCA9E");
    EXPECT_EQ(vendor->description(), vendor->uuidString());
}

TEST(Uuid, RejectsMalformedText)
{
    for (const auto* text : {"", "FF0", "FF0G", "FF02-", "6e400001-b5a3-f393-e0a9+e50e24dcca9e", "xyz"})
        EXPECT_FALSE(ble::Uuid::fromString(text)) << text;
}
