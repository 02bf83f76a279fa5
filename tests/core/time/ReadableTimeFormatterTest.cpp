#include "core/time/ReadableTimeFormatter.h"
#include "core/time/ReadableTimeFormatterValidator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using velmora::ReadableTimeFormatter;

TEST(ReadableTimeFormatterTest, FormatsNonZeroPartsAndDropsSeconds) {
    EXPECT_EQ(ReadableTimeFormatter::format(60), u"1m");
    EXPECT_EQ(ReadableTimeFormatter::format(90), u"1m");
    EXPECT_EQ(ReadableTimeFormatter::format(119.99), u"1m");
    EXPECT_EQ(ReadableTimeFormatter::format(3600), u"1h");
    EXPECT_EQ(ReadableTimeFormatter::format(3660), u"1h 1m");
    EXPECT_EQ(ReadableTimeFormatter::format(86400), u"1d");
    EXPECT_EQ(ReadableTimeFormatter::format(604800), u"1w");
    EXPECT_EQ(ReadableTimeFormatter::format(694861), u"1w 1d 1h 1m");
    EXPECT_EQ(ReadableTimeFormatter::format(1209600), u"2w");
    EXPECT_EQ(ReadableTimeFormatter::format(7230), u"2h");
    EXPECT_EQ(ReadableTimeFormatter::format(604800 + 60), u"1w 1m");
}

TEST(ReadableTimeFormatterTest, ShortNegativeAndUnrepresentableDurationsHaveNoText) {
    EXPECT_FALSE(ReadableTimeFormatter::format(59));
    EXPECT_FALSE(ReadableTimeFormatter::format(0));
    EXPECT_FALSE(ReadableTimeFormatter::format(-3600));
    EXPECT_FALSE(ReadableTimeFormatter::format(std::nan("")));
    EXPECT_FALSE(ReadableTimeFormatter::format(std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(ReadableTimeFormatter::format(1e300));
}

// Where the whole time counts (what a deleted account's timer takes with it), seconds
// are a part of their own; they are still dropped below a whole one.
TEST(ReadableTimeFormatterTest, SecondsAreAPartWhenAskedFor) {
    constexpr auto seconds = ReadableTimeFormatter::Smallest::seconds;
    EXPECT_EQ(ReadableTimeFormatter::format(30, seconds), u"30s");
    EXPECT_EQ(ReadableTimeFormatter::format(1.9, seconds), u"1s");
    EXPECT_EQ(ReadableTimeFormatter::format(60, seconds), u"1m");
    EXPECT_EQ(ReadableTimeFormatter::format(4830, seconds), u"1h 20m 30s");
    EXPECT_EQ(ReadableTimeFormatter::format(604800 + 5, seconds), u"1w 5s");
    EXPECT_FALSE(ReadableTimeFormatter::format(0.5, seconds));
    EXPECT_FALSE(ReadableTimeFormatter::format(-30, seconds));
    EXPECT_FALSE(ReadableTimeFormatter::format(std::nan(""), seconds));
    EXPECT_EQ(ReadableTimeFormatter::format(30), std::nullopt) << "minutes stay the default";
}

TEST(ReadableTimeFormatterTest, ParsesGroupsInAnyOrder) {
    EXPECT_EQ(ReadableTimeFormatter::parse(u"1h"), 3600.0);
    EXPECT_EQ(ReadableTimeFormatter::parse(u"1h 30m"), 5400.0);
    EXPECT_EQ(ReadableTimeFormatter::parse(u"30m 1h"), 5400.0);
    EXPECT_EQ(ReadableTimeFormatter::parse(u"2w"), 1209600.0);
    EXPECT_EQ(ReadableTimeFormatter::parse(u"1w 1d 1h 1m"), 694860.0);
    EXPECT_EQ(ReadableTimeFormatter::parse(u"0m"), 0.0);
    EXPECT_EQ(ReadableTimeFormatter::parse(u"90m"), 5400.0);
    EXPECT_EQ(ReadableTimeFormatter::parse(u"007d"), 7.0 * 86400);
}

TEST(ReadableTimeFormatterTest, RefusesTextOutsideTheGrammar) {
    for (const char16_t* text :
         {u"1h 2h", u"1h  30m", u" 1h", u"1h ", u"90", u"h", u"1.5h", u"1H", u"1x", u"", u"1h\n", u"1h\t30m",
          u"1l", u"1h30m", u"-1h", u"+1h", u"1m 2d 3m", u"\u0661h"}) {
        EXPECT_FALSE(ReadableTimeFormatter::parse(text)) << QString::fromUtf16(text).toStdString();
    }
}

TEST(ReadableTimeFormatterTest, NumbersTooLargeFailTheWholeText) {
    // Each of these once parsed as if the big group were not there.
    EXPECT_FALSE(ReadableTimeFormatter::parse(u"99999999999999999999w 1m"));
    EXPECT_FALSE(ReadableTimeFormatter::parse(u"1m 99999999999999999999m"));
    // Fits 64 bits as a number, but not once multiplied by its unit.
    EXPECT_FALSE(ReadableTimeFormatter::parse(u"15250284452472w"));
    EXPECT_EQ(ReadableTimeFormatter::parse(u"15250284452471w"), 15250284452471.0 * 604800);
    // Each group fits, their sum does not.
    EXPECT_FALSE(ReadableTimeFormatter::parse(u"15250284452471w 106751991167d"));
}

TEST(ReadableTimeFormatterTest, ParsesOnlyWhatItCanFormatBack) {
    // 2^63 - 7 s: fits 64 bits, but as a duration it is 2^63, which has no text.
    EXPECT_FALSE(ReadableTimeFormatter::parse(u"153722867280912930m"));
    EXPECT_FALSE(ReadableTimeFormatter::parse(u"15250284452471w 3d 15h 22m"));
    const auto largest = ReadableTimeFormatter::parse(u"15250284452471w 3d 15h 21m");
    ASSERT_TRUE(largest);
    EXPECT_TRUE(ReadableTimeFormatter::format(*largest));
}

TEST(ReadableTimeFormatterTest, FormattedTextReadsBack) {
    for (const double seconds : {60.0, 3660.0, 694860.0, 1209600.0 + 86400 * 6 + 3600 * 23 + 60 * 59}) {
        const auto text = ReadableTimeFormatter::format(seconds);
        ASSERT_TRUE(text);
        EXPECT_EQ(ReadableTimeFormatter::parse(*text), seconds) << text->toStdString();
    }
}

TEST(ReadableTimeFormatterTest, ValidatorAcceptsOnlyReadableTextButKeepsTheRestEditable) {
    velmora::ReadableTimeFormatterValidator validator;
    int pos = 0;
    QString text = QStringLiteral("1h 30m");
    EXPECT_EQ(validator.validate(text, pos), QValidator::Acceptable);
    text = QStringLiteral("1h ");
    EXPECT_EQ(validator.validate(text, pos), QValidator::Intermediate);
    EXPECT_EQ(text, u"1h ");
}
