#include "validation/FormManager.h"
#include "validation/CountValidator.h"
#include "validation/FormField.h"
#include "validation/NonEmptyValidator.h"
#include "validation/ValidationFactory.h"

#include "TestMessages.h"
#include "tests/support/EventLoop.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace velmora;
using Type = FormManager::ValidationType;

namespace {
using TextField = FormField<QString, StringValidator>;

std::unique_ptr<TextField> requiredField(const char* message, QString value = QString()) {
    return std::make_unique<TextField>(std::move(value),
                                       std::make_shared<NonEmptyValidator>(test::text(message)));
}

// What a message view would record: the outcomes of both streams of a container.
struct Shown {
    explicit Shown(const ValidationContainer& c) {
        outcomes = c.publisher().subscribe([this](const Validation& v) { seen.push_back(v); });
        PassthroughSubject<Validation> subject = c.subject();
        checks = subject.subscribe([this](const Validation& v) { seen.push_back(v); });
    }
    std::vector<Validation> seen;
    Cancellable outcomes;
    Cancellable checks;
};
} // namespace

TEST(FormManager, StartsInvalidUntilAFieldReports) {
    FormManager manager;
    EXPECT_FALSE(manager.allValid());
    EXPECT_FALSE(manager.allFilled());
    EXPECT_TRUE(manager.validationMessages().isEmpty());
    EXPECT_TRUE(manager.checkAllValid());
    EXPECT_TRUE(manager.checkAllFilled());

    auto field = requiredField("Name cannot be empty.", "Ann");
    auto container = field->validation(manager);
    EXPECT_FALSE(manager.allValid()) << "registration evaluates nothing";
    Shown shown(container);
    EXPECT_TRUE(manager.allValid()) << "the first delivery updates the aggregates";
    EXPECT_TRUE(manager.allFilled());
    EXPECT_TRUE(shown.seen.empty()) << "the first delivery shows nothing";

    field->setValue("");
    EXPECT_FALSE(manager.allValid());
    EXPECT_FALSE(manager.allFilled());
    EXPECT_EQ(manager.validationMessages(), QStringList{"Name cannot be empty."});
    EXPECT_EQ(shown.seen, std::vector<Validation>{Validation::failure("Name cannot be empty.")});
}

TEST(FormManager, DisabledFieldsAreIgnoredExceptForFilled) {
    FormManager manager;
    bool disabled = true;
    auto name = requiredField("name");
    auto other = requiredField("other", "x");
    auto nameContainer = name->validation(manager, [&] { return disabled; });
    auto otherContainer = other->validation(manager);
    Shown shownName(nameContainer);
    Shown shownOther(otherContainer);

    name->setValue("");
    EXPECT_TRUE(manager.allValid());
    EXPECT_FALSE(manager.allFilled());
    EXPECT_TRUE(manager.validationMessages().isEmpty());
    EXPECT_EQ(shownName.seen, std::vector<Validation>{Validation::success()});

    disabled = false;
    EXPECT_FALSE(manager.triggerValidation());
    EXPECT_EQ(manager.validationMessages(), QStringList{"name"});
}

TEST(FormManager, EmptyFailureTextMakesInvalidWithoutMessage) {
    FormManager manager;
    auto silentRule = requiredField("");
    auto loud = requiredField("loud");
    auto a = silentRule->validation(manager);
    auto b = loud->validation(manager);
    Shown sa(a);
    Shown sb(b);
    EXPECT_FALSE(manager.allValid());
    EXPECT_EQ(manager.validationMessages(), QStringList{"loud"});
    loud->setValue("x");
    EXPECT_FALSE(manager.allValid());
    EXPECT_TRUE(manager.validationMessages().isEmpty());
}

TEST(FormManager, DeferredShowsOnlyOnDemandUntilTheNextChange) {
    FormManager manager(Type::deferred);
    auto field = requiredField("required", "x");
    auto container = field->validation(manager);
    Shown shown(container);

    field->setValue(" ");
    EXPECT_EQ(shown.seen, std::vector<Validation>{Validation::success()});
    EXPECT_FALSE(manager.allValid()) << "aggregates follow every change whatever the type";

    EXPECT_FALSE(manager.triggerValidation());
    EXPECT_EQ(shown.seen.back(), Validation::failure("required"));

    field->setValue("  ");
    EXPECT_EQ(shown.seen.back(), Validation::success());
}

TEST(FormManager, SilentNeverShowsButStillJudges) {
    FormManager manager(Type::silent);
    auto field = requiredField("required", "x");
    auto container = field->validation(manager);
    Shown shown(container);
    field->setValue("");
    EXPECT_FALSE(manager.triggerValidation());
    EXPECT_EQ(shown.seen, (std::vector<Validation>{Validation::success(), Validation::success()}));
    EXPECT_EQ(manager.validationMessages(), QStringList{"required"});
}

TEST(FormManager, TriggerValidationUpdatesAggregatesOncePerEnabledField) {
    FormManager manager;
    auto a = requiredField("a");
    auto b = requiredField("b");
    auto c = requiredField("c");
    auto ca = a->validation(manager);
    auto cb = b->validation(manager, [] { return true; });
    auto cc = c->validation(manager);
    int updates = 0;
    auto token = manager.allValidStream().dropFirst().subscribe([&](const bool&) { ++updates; });

    EXPECT_FALSE(manager.triggerValidation());
    EXPECT_EQ(updates, 2);
    EXPECT_EQ(manager.validationMessages(), (QStringList{"a", "c"}));
    EXPECT_EQ(manager.joinedMessages(), "a\nc");
}

TEST(FormManager, JoinedMessages) {
    FormManager manager;
    EXPECT_EQ(manager.joinedMessages(), "");
    auto a = requiredField("only");
    auto ca = a->validation(manager);
    manager.triggerValidation();
    EXPECT_EQ(manager.joinedMessages(), "only");
}

TEST(FormManager, SignalsOnChangesStreamsOnEveryUpdate) {
    FormManager manager;
    std::vector<bool> validSignals;
    int messageSignals = 0;
    QObject::connect(&manager, &FormManager::allValidChanged, [&](bool v) { validSignals.push_back(v); });
    QObject::connect(&manager, &FormManager::validationMessagesChanged, [&] { ++messageSignals; });
    std::vector<bool> streamed;
    auto token = manager.allValidStream().subscribe([&](const bool& v) { streamed.push_back(v); });

    auto field = requiredField("m", "x");
    auto container = field->validation(manager);
    Shown shown(container);
    field->setValue("y");
    field->setValue("");

    EXPECT_EQ(streamed, (std::vector<bool>{false, true, true, false}));
    EXPECT_EQ(validSignals, (std::vector<bool>{true, false}));
    EXPECT_EQ(messageSignals, 1);
}

TEST(FormManager, FormChangedArrivesLaterOncePerUpdate) {
    int calls = 0;
    FormManager* seen = nullptr;
    auto manager = std::make_unique<FormManager>(Type::immediate, [&](FormManager& m) {
        ++calls;
        seen = &m;
    });
    auto field = requiredField("m", "x");
    auto container = field->validation(*manager);
    Shown shown(container);
    field->setValue("y");
    EXPECT_EQ(calls, 0) << "never inside the change";
    test::drainEvents();
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(seen, manager.get());

    // A manager gone before the call runs drops it.
    field->setValue("z");
    manager.reset();
    test::drainEvents();
    EXPECT_EQ(calls, 2);
    field->setValue("w");
}

TEST(ValidationFactory, OutcomeCallbackOnlyWhenValueAndOutcomeChange) {
    FormManager manager;
    auto validator = std::make_shared<CountValidator>(3, CountValidator::ValidationType::lessThanOrEquals,
                                                      test::text("long"));
    CurrentValueSubject<QString> values(QString("abcd"));
    std::vector<Validation> changes;
    auto container = ValidationFactory::create(
        manager, validator, values.stream(), [] { return false; },
        [&](const Validation& v) { changes.push_back(v); });
    Shown shown(container);
    // The first delivery changed both from the validator's empty starting text.
    EXPECT_EQ(changes, std::vector<Validation>{Validation::failure("long")});

    values.send("abcd");
    values.send("abcde");
    EXPECT_EQ(changes.size(), 1u) << "same value, or same outcome: no callback";
    values.send("ab");
    EXPECT_EQ(changes.back(), Validation::success());
    EXPECT_EQ(changes.size(), 2u);
    EXPECT_EQ(shown.seen.size(), 3u);
}

TEST(ValidationFactory, ValidatorOutlivingItsManagerIsHarmless) {
    auto field = requiredField("m", "x");
    std::optional<ValidationContainer> container;
    {
        FormManager manager;
        container = field->validation(manager);
    }
    Shown shown(*container);
    field->setValue("");
    EXPECT_EQ(shown.seen, std::vector<Validation>{Validation::failure("m")});
}
