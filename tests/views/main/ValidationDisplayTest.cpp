#include "views/main/DisableReasons.h"
#include "views/main/ValidatedContainerModifier.h"
#include "views/main/ValidatedFormManagerModifier.h"
#include "views/main/ValidationError.h"

#include "validation/FormField.h"
#include "validation/FormManager.h"
#include "validation/NonEmptyValidator.h"
#include "validation/PatternValidator.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <memory>

using namespace velmora;

namespace {
std::function<QString()> message(const char* text) {
    return [t = QString::fromUtf8(text)] { return t; };
}

// A form of one required field.
struct Form {
    explicit Form(const QString& value = {})
        : name(value, std::make_shared<NonEmptyValidator>(message("Name is required."))) {}
    FormManager manager;
    FormField<QString, NonEmptyValidator> name;
    ValidationContainer container = name.validation(manager);
};
} // namespace

TEST(ValidationError, ShowsNothingUntilAFailureAndGivesBackItsRoomAfterASuccess) {
    Form form(QStringLiteral("Ann"));
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* error = new ValidationError(form.container);
    layout->addWidget(error);
    window.show();
    EXPECT_EQ(error->messageView(), nullptr);
    EXPECT_EQ(error->input(), nullptr) << "the same message view as the library's, without an input";
    EXPECT_EQ(error->sizeHint().height(), 0);

    form.name.setValue(QString());
    ASSERT_NE(error->messageView(), nullptr);
    auto* label = qobject_cast<QLabel*>(error->messageView());
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), "Name is required.");
    EXPECT_TRUE(label->isVisible());

    form.name.setValue(QStringLiteral("Bob"));
    EXPECT_EQ(error->messageView(), nullptr);
    EXPECT_FALSE(label->isVisible());
}

TEST(ValidatedContainerModifier, AnUntouchedEmptyFieldLeavesTheControlEnabledUntilItFails) {
    Form form;
    QPushButton button;
    new ValidatedContainerModifier(&button, form.container);
    button.show();
    EXPECT_TRUE(button.isEnabled());

    form.name.setValue(QStringLiteral("x"));
    form.name.setValue(QString());
    EXPECT_FALSE(button.isEnabled());
    form.name.setValue(QStringLiteral("Ann"));
    EXPECT_TRUE(button.isEnabled());
}

TEST(ValidatedContainerModifier, AFieldThatAlreadyHoldsAnInvalidValueDisablesTheControlWhenShown) {
    FormManager manager;
    FormField<QString, PatternValidator> code(
        QStringLiteral("abc"), std::make_shared<PatternValidator>(
                                   QRegularExpression(QStringLiteral("^[0-9]+$")), message("Digits only.")));
    QPushButton button;
    new ValidatedContainerModifier(&button, code.validation(manager));
    EXPECT_TRUE(button.isEnabled()) << "nothing is checked before the control shows";
    button.show();
    EXPECT_FALSE(button.isEnabled());
}

TEST(ValidatedFormManagerModifier, FollowsTheFormAndCombinesWithOtherReasons) {
    Form form(QStringLiteral("Ann"));
    QPushButton submit;
    auto* modifier = new ValidatedFormManagerModifier(&submit, form.manager);
    // The manager knows nothing before the first outcome, so the form counts as invalid.
    EXPECT_FALSE(submit.isEnabled());
    new ValidationError(form.container, &submit);
    form.name.setValue(QStringLiteral("Bob"));
    EXPECT_TRUE(modifier->isDisabled() == false);
    EXPECT_TRUE(submit.isEnabled());

    // A request under way disables the button; a valid form does not enable it again.
    DisableReasons::set(&submit, QStringLiteral("request"), true);
    form.name.setValue(QStringLiteral("Carl"));
    EXPECT_FALSE(submit.isEnabled());
    form.name.setValue(QString());
    DisableReasons::set(&submit, QStringLiteral("request"), false);
    EXPECT_FALSE(submit.isEnabled()) << "still invalid";
    form.name.setValue(QStringLiteral("Dora"));
    EXPECT_TRUE(submit.isEnabled());
}

TEST(ValidatedContainerModifier, AControlInsideADisabledContainerStaysDisabled) {
    Form form(QStringLiteral("Ann"));
    QWidget outer;
    auto* button = new QPushButton(&outer);
    new ValidatedContainerModifier(button, form.container);
    outer.setEnabled(false);
    outer.show();
    form.name.setValue(QStringLiteral("Bob"));
    EXPECT_FALSE(button->isEnabled());
}
