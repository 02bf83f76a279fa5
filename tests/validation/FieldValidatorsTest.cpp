#include "validation/CountValidator.h"
#include "validation/DateValidator.h"
#include "validation/EmailValidator.h"
#include "validation/InlineValidator.h"
#include "validation/NonEmptyValidator.h"
#include "validation/PasswordMatchValidator.h"
#include "validation/PasswordValidator.h"
#include "validation/PatternValidator.h"
#include "validation/PrefixValidator.h"
#include "validation/Regex.h"
#include "validation/SuffixValidator.h"

#include "TestMessages.h"

#include <gtest/gtest.h>

using namespace velmora;

namespace {
template <typename V> Validation check(V& validator, std::optional<QString> value) {
    validator.setValue(std::move(value));
    return validator.validate();
}
const Validation fails = Validation::failure("bad");
const Validation passes = Validation::success();
} // namespace

TEST(NonEmptyValidator, TrimsSpacesAndTabsButNotLineBreaks) {
    NonEmptyValidator v(test::text("bad"));
    EXPECT_EQ(v.validate(), fails) << "a fresh validator judges the empty text";
    EXPECT_EQ(check(v, "   "), fails);
    EXPECT_EQ(check(v, QString::fromUtf8("\t\u00a0\u2003")), fails)
        << "tab and space separators are whitespace";
    EXPECT_EQ(check(v, "\n"), passes);
    EXPECT_EQ(check(v, " x "), passes);
    EXPECT_EQ(check(v, std::nullopt), passes);
}

TEST(CountValidator, CountsTrimmedUserPerceivedCharacters) {
    CountValidator v(35, CountValidator::ValidationType::lessThanOrEquals, test::text("bad"));
    EXPECT_EQ(v.validate(), passes) << "a fresh validator counts 0";
    EXPECT_EQ(check(v, QString(35, 'a')), passes);
    EXPECT_EQ(check(v, QString(36, 'a')), fails);
    EXPECT_EQ(check(v, "  " + QString(35, 'a') + "\t "), passes);
    EXPECT_EQ(check(v, QString(35, 'a') + "\n"), fails) << "a line break is kept and counted";
    EXPECT_EQ(check(v, std::nullopt), passes);

    CountValidator exact(3, CountValidator::ValidationType::equals, test::text("bad"));
    // e + combining acute, a flag (two code points outside the basic plane), a family emoji.
    EXPECT_EQ(check(exact, QString::fromUtf8(
                               "e\u0301\U0001F1E9\U0001F1EA\U0001F468\u200D\U0001F469\u200D\U0001F467")),
              passes);
}

TEST(CountValidator, ComparesByEachType) {
    using T = CountValidator::ValidationType;
    EXPECT_TRUE(CountValidator::passes(5, 5, T::equals));
    EXPECT_FALSE(CountValidator::passes(4, 5, T::equals));
    EXPECT_TRUE(CountValidator::passes(4, 5, T::lessThan));
    EXPECT_FALSE(CountValidator::passes(5, 5, T::lessThan));
    EXPECT_TRUE(CountValidator::passes(5, 5, T::lessThanOrEquals));
    EXPECT_FALSE(CountValidator::passes(5, 5, T::greaterThan));
    EXPECT_TRUE(CountValidator::passes(6, 5, T::greaterThan));
    EXPECT_TRUE(CountValidator::passes(5, 5, T::greaterThanOrEquals));
    EXPECT_FALSE(CountValidator::passes(4, 5, T::greaterThanOrEquals));

    CountValidator atLeast(5, T::greaterThanOrEquals, test::text("bad"));
    EXPECT_EQ(check(atLeast, "abcd"), fails);
    atLeast.setCount(4);
    EXPECT_EQ(atLeast.validate(), passes);
}

TEST(PatternValidator, SearchesTheWholeValueWithoutAnchoring) {
    PatternValidator digit(QRegularExpression("\\d"), test::text("bad"));
    EXPECT_EQ(check(digit, "abc"), fails);
    EXPECT_EQ(check(digit, QString::fromUtf8("\U0001F600e\u0301x7")), passes);
    EXPECT_EQ(check(digit, std::nullopt), passes);

    PatternValidator broken(QRegularExpression("(unclosed"), test::text("bad"));
    EXPECT_EQ(check(broken, "(unclosed"), fails) << "a pattern that does not compile matches nothing";
}

TEST(EmailValidator, AcceptsPlainAddressesWithShortLetterDomains) {
    EmailValidator v(test::text("bad"));
    EXPECT_EQ(check(v, "jane.doe@example.io"), passes);
    EXPECT_EQ(check(v, "JANE.DOE@EXAMPLE.IO"), passes);
    EXPECT_EQ(check(v, "jane@example.c"), fails);
    EXPECT_EQ(check(v, "jane@example.comma"), fails);
    EXPECT_EQ(check(v, "jane@example.c0m"), fails);
    EXPECT_EQ(check(v, "jane.example.com"), fails);
}

TEST(PasswordValidator, BuiltInPatternNeedsLetterDigitAndSpecialCharacter) {
    PasswordValidator v(std::nullopt, test::text("bad"));
    EXPECT_EQ(check(v, "abcdefg1!"), passes);
    EXPECT_EQ(check(v, "abcdefgh12"), fails);
    EXPECT_EQ(check(v, "ab1!c"), fails);
    EXPECT_EQ(check(v, "abcdefg1!."), fails);
    EXPECT_EQ(check(v, "abcd efg1!"), fails);

    PasswordValidator custom(QRegularExpression("^x+$"), test::text("bad"));
    EXPECT_EQ(check(custom, "xxx"), passes);
}

TEST(Regex, RawValuesRoundTrip) {
    EXPECT_EQ(rawValue(Regex::password).size(), 64);
    EXPECT_EQ(rawValue(Regex::email).size(), 49);
    EXPECT_EQ(regexFromRawValue(rawValue(Regex::email)), Regex::email);
    EXPECT_EQ(regexFromRawValue(rawValue(Regex::password)), Regex::password);
    EXPECT_FALSE(regexFromRawValue(rawValue(Regex::email) + " ").has_value());
    EXPECT_TRUE(compiledRegex(Regex::password).isValid());
    EXPECT_TRUE(compiledRegex(Regex::email).isValid());
}

TEST(PrefixSuffixValidator, CaseAndWholeCharacters) {
    PrefixValidator insensitive("AbC", true, test::text("bad"));
    EXPECT_EQ(insensitive.prefix(), "abc");
    EXPECT_EQ(check(insensitive, "ABCdef"), passes);
    EXPECT_EQ(check(insensitive, "abcdef"), passes);
    EXPECT_EQ(check(insensitive, "xabc"), fails);

    PrefixValidator sensitive("AbC", false, test::text("bad"));
    EXPECT_EQ(check(sensitive, "AbCdef"), passes);
    EXPECT_EQ(check(sensitive, "abcdef"), fails);

    // A mixed-case prefix assigned after construction still ignores case.
    sensitive.setIgnoreCase(true);
    EXPECT_EQ(check(sensitive, "abcdef"), passes);

    PrefixValidator e("e", false, test::text("bad"));
    EXPECT_EQ(check(e, QString::fromUtf8("e\u0301t\u00e9")), fails) << "é does not begin with e";
    EXPECT_EQ(check(e, "eat"), passes);

    SuffixValidator suffix(QString::fromUtf8("\u00e9"), false, test::text("bad"));
    EXPECT_EQ(check(suffix, QString::fromUtf8("cafe\u0301")), passes) << "canonically equal endings";
    EXPECT_EQ(check(suffix, "cafe"), fails);
    SuffixValidator empty("", false, test::text("bad"));
    EXPECT_EQ(check(empty, "anything"), passes);
    SuffixValidator ci("TXT", true, test::text("bad"));
    EXPECT_EQ(check(ci, "notes.Txt"), passes);
}

TEST(DateValidator, RangeIsOpenAtBothEnds) {
    const QDateTime now = QDateTime::currentDateTime();
    DateValidator v(now.addDays(1), now.addDays(-1), test::text("bad"));
    EXPECT_EQ(v.validate(), passes) << "judges its construction time";
    v.setValue(now.addDays(1));
    EXPECT_EQ(v.validate(), fails);
    v.setValue(now.addDays(-1));
    EXPECT_EQ(v.validate(), fails);
    v.setValue(std::nullopt);
    EXPECT_EQ(v.validate(), passes);

    DateValidator past(now.addDays(-1), now.addDays(-2), test::text("bad"));
    EXPECT_EQ(past.validate(), fails);
}

TEST(PasswordMatchValidator, MatchIsCheckedBeforePattern) {
    QString first;
    QString second;
    const PasswordMatchValidator::Messages texts{"empty", "notMatching", "invalidPattern"};
    PasswordMatchValidator v([&] { return first; }, [&] { return second; }, QRegularExpression("\\d"),
                             [&] { return texts; });
    EXPECT_EQ(v.validate(), Validation::failure("empty")) << "a fresh validator judges two empty entries";

    v.setValue(ValidatedPassword{"abc", 0});
    second = "abd";
    EXPECT_EQ(v.validate(), Validation::failure("notMatching"));
    second = "abc";
    EXPECT_EQ(v.validate(), Validation::failure("invalidPattern"));

    // From the confirmation's side the first entry comes from the first field.
    first = "ab1";
    v.setValue(ValidatedPassword{"ab1", 1});
    EXPECT_EQ(v.validate(), passes);
    v.setValue(ValidatedPassword{"other1", 7});
    second = "ab1";
    EXPECT_EQ(v.validate(), passes) << "neither field: both entries come from the closures";

    PasswordMatchValidator noPattern([] { return QString(); }, [] { return QString(); }, std::nullopt,
                                     [&] { return texts; });
    EXPECT_EQ(noPattern.validate(), Validation::failure("empty"));
    EXPECT_EQ(noPattern.message()(), "");
}

TEST(InlineValidator, ConditionDecidesAndIsNeverAskedAboutAbsentValues) {
    int asked = 0;
    InlineValidator<int> v([&](const int& n) -> std::optional<QString> {
        ++asked;
        return n < 0 ? std::optional<QString>(QString()) : std::nullopt;
    });
    EXPECT_EQ(v.validate(), passes);
    EXPECT_EQ(asked, 0);
    v.setValue(-1);
    EXPECT_EQ(v.validate(), Validation::failure("")) << "an empty text still fails";
    v.setValue(1);
    EXPECT_EQ(v.validate(), passes);
    EXPECT_EQ(asked, 2);
}
