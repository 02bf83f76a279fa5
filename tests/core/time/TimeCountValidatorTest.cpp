#include "core/time/TimeCountValidator.h"
#include "validation/FormManager.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

using velmora::FormManager;
using velmora::TimeCountValidator;
using velmora::Validation;
using Type = TimeCountValidator::ValidationType;

namespace {

const QString atLeastOneMinute = QStringLiteral("Duration must be at least one minute.");

Validation check(TimeCountValidator& validator, std::optional<double> seconds) {
    validator.setValue(seconds);
    return validator.validate();
}

} // namespace

TEST(TimeCountValidatorTest, BookingRuleNeedsOneWholeMinute) {
    TimeCountValidator validator(60, Type::greaterThanOrEquals, [] { return atLeastOneMinute; });
    EXPECT_FALSE(validator.value());
    EXPECT_EQ(validator.validate(), Validation::failure(atLeastOneMinute));
    EXPECT_EQ(check(validator, 0), Validation::failure(atLeastOneMinute));
    EXPECT_EQ(check(validator, 59.999), Validation::failure(atLeastOneMinute));
    EXPECT_EQ(check(validator, -120), Validation::failure(atLeastOneMinute));
    EXPECT_EQ(check(validator, 60.0), Validation::success());
    EXPECT_EQ(check(validator, 60.7), Validation::success());
    EXPECT_EQ(check(validator, std::nullopt), Validation::failure(atLeastOneMinute));
}

TEST(TimeCountValidatorTest, ComparesTruncatedSecondsUnderEveryType) {
    TimeCountValidator below(3600, Type::lessThan, [] { return QStringLiteral("too long"); });
    EXPECT_TRUE(check(below, 3599.9).isSuccess());
    EXPECT_TRUE(check(below, 3600.0).isFailure());

    TimeCountValidator exactly(60, Type::equals, [] { return QString(); });
    EXPECT_TRUE(check(exactly, 60.9).isSuccess());
    EXPECT_TRUE(check(exactly, 61).isFailure());

    TimeCountValidator atMost(60, Type::lessThanOrEquals, [] { return QString(); });
    EXPECT_TRUE(check(atMost, 60.9).isSuccess());
    TimeCountValidator above(60, Type::greaterThan, [] { return QString(); });
    EXPECT_TRUE(check(above, 60.9).isFailure());
    EXPECT_TRUE(check(above, 61).isSuccess());

    // The bound may change between checks.
    above.setCount(100);
    EXPECT_TRUE(check(above, 61).isFailure());
}

TEST(TimeCountValidatorTest, DurationsWithoutWholeSecondsFailEveryRule) {
    // Under an upper bound a negative or NaN duration would otherwise slip through.
    TimeCountValidator below(3600, Type::lessThan, [] { return QStringLiteral("bad"); });
    for (const double seconds : {-0.5, -3600.0, std::nan(""), -std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(check(below, seconds), Validation::failure(QStringLiteral("bad"))) << seconds;
    }
    TimeCountValidator atLeast(60, Type::greaterThanOrEquals, [] { return QStringLiteral("bad"); });
    for (const double seconds : {std::numeric_limits<double>::infinity(), 1e19, std::nan("")}) {
        EXPECT_TRUE(check(atLeast, seconds).isFailure()) << seconds;
    }
}

TEST(TimeCountValidatorTest, MessageIsReadAtEachFailure) {
    QString text = QStringLiteral("first");
    TimeCountValidator validator(60, Type::greaterThanOrEquals, [&text] { return text; });
    validator.setValue(1);
    EXPECT_EQ(validator.validate(), Validation::failure(QStringLiteral("first")));
    text = QStringLiteral("second");
    EXPECT_EQ(validator.validate(), Validation::failure(QStringLiteral("second")));
}

TEST(TimeCountValidatorTest, AbsentDurationIsNeitherValidNorFilledForTheForm) {
    FormManager manager;
    auto validator =
        std::make_shared<TimeCountValidator>(60, Type::greaterThanOrEquals, [] { return atLeastOneMinute; });
    manager.registerValidator({validator, [] { return false; }});
    EXPECT_TRUE(validator->isEmpty());
    EXPECT_FALSE(manager.checkAllValid());
    EXPECT_FALSE(manager.checkAllFilled());

    // A short duration is filled but invalid.
    validator->setValue(30);
    EXPECT_FALSE(validator->isEmpty());
    EXPECT_FALSE(manager.checkAllValid());
    EXPECT_TRUE(manager.checkAllFilled());
    validator->notify(validator->validate());
    EXPECT_EQ(manager.validationMessages(), QStringList{atLeastOneMinute});
}
