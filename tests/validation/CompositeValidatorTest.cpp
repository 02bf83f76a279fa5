#include "validation/CompositeValidator.h"
#include "validation/CountValidator.h"
#include "validation/NonEmptyValidator.h"
#include "validation/PatternValidator.h"

#include "TestMessages.h"

#include <gtest/gtest.h>

using namespace velmora;
using Strategy = CompositeValidationMessagesStrategy;
using Type = CompositeValidator::ValidationType;

namespace {
std::shared_ptr<StringValidator> nonEmpty() {
    return std::make_shared<NonEmptyValidator>(test::text("blank"));
}
std::shared_ptr<StringValidator> atMost35() {
    return std::make_shared<CountValidator>(35, CountValidator::ValidationType::lessThanOrEquals,
                                            test::text("long"));
}
std::shared_ptr<StringValidator> atLeast5() {
    return std::make_shared<CountValidator>(5, CountValidator::ValidationType::greaterThanOrEquals,
                                            test::text("short"));
}
std::shared_ptr<StringValidator> digit() {
    return std::make_shared<PatternValidator>(QRegularExpression("\\d"), test::text("digit"));
}
// Text validators of arbitrary behaviour are pattern validators with a chosen message.
std::shared_ptr<StringValidator> failingWith(const char* message) {
    return std::make_shared<PatternValidator>(QRegularExpression("(?!)"), test::text(message));
}

Validation run(CompositeValidator& v, std::optional<QString> value) {
    v.setValue(std::move(value));
    return v.validate();
}
} // namespace

TEST(CompositeValidator, AllReportsEveryFailingMemberInOrder) {
    CompositeValidator name({nonEmpty(), atMost35()}, Type::all(), Strategy::all);
    EXPECT_EQ(run(name, "   "), Validation::failure("blank"));
    EXPECT_EQ(run(name, QString(40, 'a')), Validation::failure("long"));
    EXPECT_EQ(run(name, "Work"), Validation::success());

    CompositeValidator both({atLeast5(), digit()}, Type::all(), Strategy::all);
    EXPECT_EQ(run(both, "ab"), Validation::failure("short\ndigit"));
    CompositeValidator first({atLeast5(), digit()}, Type::all(), Strategy::onByOne);
    EXPECT_EQ(run(first, "ab"), Validation::failure("short"));
}

TEST(CompositeValidator, AnyPassesWithOneMemberAndTitlesItsFailures) {
    CompositeValidator titled({atLeast5(), digit()}, Type::any("Either:"), Strategy::all);
    EXPECT_EQ(run(titled, "ab"), Validation::failure("Either:\nshort\ndigit"));
    EXPECT_EQ(run(titled, "a1"), Validation::success());
    CompositeValidator titledFirst({atLeast5(), digit()}, Type::any("Either:"), Strategy::onByOne);
    EXPECT_EQ(run(titledFirst, "ab"), Validation::failure("Either:"));
    CompositeValidator untitled({atLeast5(), digit()}, Type::any(), Strategy::all);
    EXPECT_EQ(run(untitled, "ab"), Validation::failure("short\ndigit"));
}

TEST(CompositeValidator, NoMembers) {
    CompositeValidator all({}, Type::all(), Strategy::all);
    EXPECT_EQ(all.validate(), Validation::success());
    CompositeValidator any({}, Type::any(), Strategy::all);
    EXPECT_EQ(any.validate(), Validation::success());
    CompositeValidator titled({}, Type::any("Title"), Strategy::all);
    EXPECT_EQ(titled.validate(), Validation::failure("Title"));
}

TEST(CompositeValidator, EmptyMemberTextsKeepTheirPlace) {
    CompositeValidator middle({failingWith("a"), failingWith(""), failingWith("b")}, Type::all(),
                              Strategy::all);
    EXPECT_EQ(middle.validate(), Validation::failure("a\n\nb"));
    CompositeValidator only({failingWith("")}, Type::all(), Strategy::all);
    EXPECT_EQ(only.validate(), Validation::failure(""));
}

TEST(CompositeValidator, HandsValueDownAndNotifiesMembers) {
    auto a = atLeast5();
    auto b = digit();
    int aNotified = 0;
    int bNotified = 0;
    a->addOnChanged([&](const Validation&) { ++aNotified; });
    b->addOnChanged([&](const Validation&) { ++bNotified; });

    CompositeValidator all({a, b}, Type::all(), Strategy::all);
    run(all, "abcdef");
    EXPECT_EQ(a->value(), QString("abcdef"));
    EXPECT_EQ(b->value(), QString("abcdef"));
    EXPECT_EQ(aNotified, 1);
    EXPECT_EQ(bNotified, 1);

    run(all, std::nullopt);
    EXPECT_FALSE(a->value().has_value()) << "an absent value is handed down too";

    // Under `any` the members are asked again until one passes.
    aNotified = bNotified = 0;
    CompositeValidator any({a, b}, Type::any(), Strategy::all);
    run(any, "abcdef");
    EXPECT_EQ(aNotified, 2);
    EXPECT_EQ(bNotified, 1);
}
