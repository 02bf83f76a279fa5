#include "validation/InlineValidator.h"
#include "validation/NonEmptyValidator.h"
#include "validation/Validation.h"

#include "TestMessages.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace velmora;

TEST(Validation, EqualityComparesFailureTextsCanonically) {
    EXPECT_EQ(Validation::success(), Validation::success());
    EXPECT_EQ(Validation::failure("a"), Validation::failure("a"));
    EXPECT_FALSE(Validation::failure("a") == Validation::failure("b"));
    EXPECT_FALSE(Validation::failure("") == Validation::success());
    // Precomposed and decomposed é are the same text.
    EXPECT_EQ(Validation::failure(QString::fromUtf8("caf\u00e9")),
              Validation::failure(QString::fromUtf8("cafe\u0301")));
    EXPECT_EQ(Validation::failure("x").failureMessage(), QString("x"));
    EXPECT_FALSE(Validation::success().failureMessage().has_value());
}

TEST(Validatable, IsEmptyOnlyForAbsentValueOrEmptyText) {
    // Validators live behind shared pointers, as forms hold them.
    auto text = std::make_shared<NonEmptyValidator>(test::text("m"));
    EXPECT_TRUE(text->isEmpty());
    text->setValue(QString(" "));
    EXPECT_FALSE(text->isEmpty());
    text->setValue(std::nullopt);
    EXPECT_TRUE(text->isEmpty());

    InlineValidator<int> number([](const int&) { return std::nullopt; });
    EXPECT_TRUE(number.isEmpty());
    number.setValue(0);
    EXPECT_FALSE(number.isEmpty());
}

TEST(Validatable, ObserveDisabledSendsSuccessAndTellsNoObserver) {
    NonEmptyValidator validator(test::text("required"));
    std::vector<Validation> sent;
    int observed = 0;
    auto token = validator.subject().subscribe([&](const Validation& v) { sent.push_back(v); });
    validator.addOnChanged([&](const Validation&) { ++observed; });

    validator.observe(true, true);
    EXPECT_EQ(sent, std::vector<Validation>{Validation::success()});
    EXPECT_EQ(observed, 0);
}

TEST(Validatable, ObserveSendsToSubjectBeforeObserversAndHidesWhenAsked) {
    NonEmptyValidator validator(test::text("required"));
    std::vector<QString> order;
    auto token = validator.subject().subscribe(
        [&](const Validation& v) { order.push_back("subject:" + v.failureMessage().value_or("ok")); });
    validator.addOnChanged(
        [&](const Validation& v) { order.push_back("observer:" + v.failureMessage().value_or("ok")); });

    validator.observe(false, false);
    validator.observe(false, true);
    EXPECT_EQ(order, (std::vector<QString>{"subject:ok", "observer:required", "subject:required",
                                           "observer:required"}));
}

TEST(Validatable, NotifyCallsObserversInOrderAndLateOnesNextTime) {
    NonEmptyValidator validator(test::text("m"));
    std::vector<int> calls;
    auto first = [&](const Validation&) { calls.push_back(1); };
    validator.addOnChanged(first);
    validator.addOnChanged([&](const Validation&) {
        calls.push_back(2);
        if (calls.size() == 2) {
            validator.addOnChanged([&](const Validation&) { calls.push_back(3); });
        }
    });
    validator.addOnChanged(first);

    validator.notify(Validation::success());
    EXPECT_EQ(calls, (std::vector<int>{1, 2, 1}));
    calls.clear();
    validator.notify(Validation::success());
    EXPECT_EQ(calls, (std::vector<int>{1, 2, 1, 3}));
}

TEST(Validatable, MessageIsEvaluatedAtEachFailure) {
    QString current = "first";
    NonEmptyValidator validator([&] { return current; });
    EXPECT_EQ(validator.validate(), Validation::failure("first"));
    current = "second";
    EXPECT_EQ(validator.validate(), Validation::failure("second"));
}
