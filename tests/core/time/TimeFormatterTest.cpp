#include "core/time/TimeFormatter.h"
#include "core/time/TimeFormatterValidator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using velmora::TimeFormatter;

namespace {

std::optional<QString> longText(double s) {
    return TimeFormatter::format(s, TimeFormatter::Style::Long);
}
std::optional<QString> shortText(double s) {
    return TimeFormatter::format(s, TimeFormatter::Style::Short);
}

} // namespace

TEST(TimeFormatterTest, FormatsWholeSecondsInBothStyles) {
    EXPECT_EQ(longText(0), u"00:00:00");
    EXPECT_EQ(shortText(0), u"00:00");
    EXPECT_EQ(longText(3661), u"01:01:01");
    EXPECT_EQ(shortText(3661), u"01:01");
    // Seconds are truncated, never rounded, in both styles.
    EXPECT_EQ(longText(59.9), u"00:00:59");
    EXPECT_EQ(shortText(3599), u"00:59");
    // Hours are not capped.
    EXPECT_EQ(longText(360000), u"100:00:00");
    EXPECT_EQ(shortText(360000 + 61), u"100:01");

    TimeFormatter formatter(TimeFormatter::Style::Short);
    EXPECT_EQ(formatter.string(3725), u"01:02");
    formatter.setStyle(TimeFormatter::Style::Long);
    EXPECT_EQ(formatter.string(3725), u"01:02:05");
}

TEST(TimeFormatterTest, NumbersWithoutWholeSecondsHaveNoText) {
    EXPECT_FALSE(longText(std::nan("")));
    EXPECT_FALSE(longText(-3661));
    EXPECT_FALSE(shortText(-0.5));
    EXPECT_FALSE(longText(std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(shortText(-std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(longText(1e19));
    EXPECT_FALSE(longText(9223372036854775808.0));
    EXPECT_TRUE(longText(9223372036854774784.0)); // the largest double below 2^63
}

TEST(TimeFormatterTest, ParsesHoursMinutesAndSeconds) {
    EXPECT_EQ(TimeFormatter::parse(u"1"), 3600.0);
    EXPECT_EQ(TimeFormatter::parse(u"1:30"), 5400.0);
    EXPECT_EQ(TimeFormatter::parse(u"1:30:15"), 5415.0);
    EXPECT_EQ(TimeFormatter::parse(u"0:0:0"), 0.0);
    EXPECT_EQ(TimeFormatter::parse(u"+1:05"), 3900.0);
    EXPECT_EQ(TimeFormatter::parse(u"01:05:09"), 3909.0);
    EXPECT_EQ(TimeFormatter::parse(u"-0:00"), 0.0);
    EXPECT_EQ(TimeFormatter::parse(u"100:00:00"), 360000.0);
}

TEST(TimeFormatterTest, RefusesTextOutsideTheGrammar) {
    for (const char16_t* text : {u"1:60", u"1:59:60", u"-1", u"1:-5", u"1:", u":30", u"1:2:3:4", u"1h", u" 1",
                                 u"1 ", u"", u"+", u"+-1", u"1::2", u"1.5", u"1:3\u0661"}) {
        EXPECT_FALSE(TimeFormatter::parse(text)) << QString::fromUtf16(text).toStdString();
    }
}

TEST(TimeFormatterTest, RefusesHoursWhoseSecondsDoNotFit) {
    // 2562047788015215 h is the largest count whose seconds fit 64 bits.
    EXPECT_TRUE(TimeFormatter::parse(u"2562047788015215"));
    EXPECT_FALSE(TimeFormatter::parse(u"2562047788015216"));
    EXPECT_FALSE(TimeFormatter::parse(u"99999999999999999999"));
    EXPECT_FALSE(TimeFormatter::parse(u"2562047788015215:59:59"));
}

TEST(TimeFormatterTest, ParsesOnlyWhatItCanFormatBack) {
    // Fits 64 bits, but as a duration it is 2^63, which has no clock text.
    EXPECT_FALSE(TimeFormatter::parse(u"2562047788015215:30:07"));
    EXPECT_FALSE(TimeFormatter::parse(u"2562047788015215:21:36"));
    for (const char16_t* text : {u"2562047788015215:21:35", u"2562047788015215", u"10000:00:00"}) {
        const auto seconds = TimeFormatter::parse(text);
        ASSERT_TRUE(seconds) << QString::fromUtf16(text).toStdString();
        EXPECT_TRUE(longText(*seconds)) << QString::fromUtf16(text).toStdString();
    }
}

TEST(TimeFormatterTest, ValidatorAcceptsOnlyReadableTextButKeepsTheRestEditable) {
    velmora::TimeFormatterValidator validator;
    int pos = 0;
    QString text = QStringLiteral("1:30");
    EXPECT_EQ(validator.validate(text, pos), QValidator::Acceptable);
    text = QStringLiteral("1:");
    EXPECT_EQ(validator.validate(text, pos), QValidator::Intermediate);
    text = QStringLiteral("1:60");
    EXPECT_EQ(validator.validate(text, pos), QValidator::Intermediate);
}
