#include "validation/FormField.h"
#include "validation/CountValidator.h"
#include "validation/DateFormField.h"
#include "validation/FormManager.h"
#include "validation/PasswordFormField.h"

#include "TestMessages.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace velmora;

TEST(FormField, ProjectedValueStartsWithTheCurrentValue) {
    FormField<QString, CountValidator> field(
        "a", std::make_shared<CountValidator>(3, CountValidator::ValidationType::lessThanOrEquals,
                                              test::text("m")));
    field.setValue("b");
    std::vector<QString> seen;
    auto token = field.projectedValue().subscribe([&](const QString& v) { seen.push_back(v); });
    field.setValue("c");
    field.setValue("c");
    EXPECT_EQ(seen, (std::vector<QString>{"b", "c", "c"}));
    EXPECT_EQ(field.value(), "c");
}

TEST(FormField, ValidatesOnlyWhileSubscribedAndRepeatsWithoutCallback) {
    FormManager manager;
    auto validator = std::make_shared<CountValidator>(3, CountValidator::ValidationType::lessThanOrEquals,
                                                      test::text("long"));
    FormField<QString, CountValidator> field("abcd", validator);
    int changes = 0;
    int notified = 0;
    validator->addOnChanged([&](const Validation&) { ++notified; });
    auto container = field.validation(
        manager, [] { return false; }, [&](const Validation&) { ++changes; });

    field.setValue("abcde");
    EXPECT_EQ(validator->value(), QString()) << "nothing is validated before a view subscribes";
    EXPECT_EQ(notified, 0);

    std::vector<Validation> shown;
    auto token = container.publisher().subscribe([&](const Validation& v) { shown.push_back(v); });
    EXPECT_EQ(validator->value(), QString("abcde"));
    EXPECT_EQ(changes, 1);

    field.setValue("xy");
    field.setValue("xy");
    EXPECT_EQ(notified, 3) << "an equal value is validated again";
    EXPECT_EQ(changes, 2) << "but reported as a change once";
    EXPECT_EQ(shown, (std::vector<Validation>{Validation::success(), Validation::success()}));
}

TEST(FormField, EachValidationCallRegistersAgain) {
    FormManager manager;
    FormField<QString, CountValidator> field(
        "", std::make_shared<CountValidator>(1, CountValidator::ValidationType::greaterThanOrEquals,
                                             test::text("m")));
    auto first = field.validation(manager);
    auto second = field.validation(manager);
    EXPECT_EQ(manager.validators().size(), 2u);
    EXPECT_EQ(first.validator(), second.validator());
    manager.triggerValidation();
    EXPECT_EQ(manager.validationMessages(), (QStringList{"m", "m"}));
}

TEST(FormField, InlineConditionField) {
    FormManager manager;
    FormField<int, InlineValidator<int>> field(5, [](const int& n) -> std::optional<QString> {
        return n > 10 ? std::optional<QString>("too many") : std::nullopt;
    });
    auto container = field.validation(manager);
    auto token = container.publisher().subscribe([](const Validation&) {});
    EXPECT_TRUE(manager.allValid());
    field.setValue(11);
    EXPECT_EQ(manager.validationMessages(), QStringList{"too many"});
}

TEST(DateFormField, JudgesTheTimeOfBuildingUntilTheFirstValue) {
    FormManager manager;
    const QDateTime now = QDateTime::currentDateTime();
    DateFormField field(now.addYears(-10), "out of range");
    // A range around now: the fresh validator's own time passes, the field's value does not.
    auto container = field.validation(manager, now.addDays(1), now.addDays(-1));
    EXPECT_TRUE(manager.checkAllValid());
    std::vector<Validation> shown;
    auto token = container.publisher().subscribe([&](const Validation& v) { shown.push_back(v); });
    EXPECT_FALSE(manager.allValid());
    field.setValue(now);
    EXPECT_EQ(shown, std::vector<Validation>{Validation::success()});
    field.setValue(now.addDays(2));
    EXPECT_EQ(shown.back(), Validation::failure("out of range"));
}

namespace {
PasswordMatchValidator::MessagesSource passwordTexts() {
    return [] { return PasswordMatchValidator::Messages{"empty", "notMatching", "invalidPattern"}; };
}
} // namespace

TEST(PasswordFormField, EitherFieldValidatesThePair) {
    FormManager manager;
    PasswordFormField password("", passwordTexts());
    PasswordFormField confirmation("", passwordTexts());
    auto container = password.validation(manager, confirmation, QRegularExpression("\\d"));
    auto validator = std::static_pointer_cast<PasswordMatchValidator>(container.validator());

    std::vector<Validation> shown;
    auto token = container.publisher().subscribe([&](const Validation& v) { shown.push_back(v); });
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(validator->value(), (ValidatedPassword{"", 1})) << "only the second current value is validated";
    EXPECT_EQ(manager.validationMessages(), QStringList{"empty"});

    password.setValue("secret1");
    EXPECT_EQ(shown.back(), Validation::failure("notMatching"));
    confirmation.setValue("secret1");
    EXPECT_EQ(validator->value(), (ValidatedPassword{"secret1", 1}));
    EXPECT_EQ(shown.back(), Validation::success());
    EXPECT_TRUE(manager.allValid());
    confirmation.setValue("secret");
    EXPECT_EQ(shown.back(), Validation::failure("notMatching"));
    password.setValue("secret");
    EXPECT_EQ(shown.back(), Validation::failure("invalidPattern"));
}

TEST(PasswordFormField, ValidatorOutlivesItsFields) {
    FormManager manager;
    {
        PasswordFormField password("abc", passwordTexts());
        PasswordFormField confirmation("abd", passwordTexts());
        auto container = password.validation(manager, confirmation);
        container.validator()->validate();
    }
    // The manager keeps the validator; checking it must not reach the destroyed fields.
    EXPECT_EQ(manager.collectMessages(), QStringList{"notMatching"});
}
