#include "validation/ValidationMessageView.h"
#include "validation/FormField.h"
#include "validation/FormManager.h"
#include "validation/MessageColor.h"
#include "validation/NonEmptyValidator.h"

#include "TestMessages.h"

#include <QLabel>
#include <QLineEdit>

#include <gtest/gtest.h>

#include <memory>

using namespace velmora;

namespace {
struct Form {
    FormManager manager;
    FormField<QString, NonEmptyValidator> name{"Ann",
                                               std::make_shared<NonEmptyValidator>(test::text("required"))};
    ValidationContainer container = name.validation(manager);
};

QLabel* defaultLabel(ValidationMessageView& view) {
    return view.findChild<QLabel*>();
}
} // namespace

TEST(ValidationMessageView, WithoutContainerTheInputIsUnchanged) {
    auto input = std::make_unique<QLineEdit>();
    EXPECT_EQ(attachValidation(input.get(), std::nullopt), input.get());
}

TEST(ValidationMessageView, ShowsTheLatestFailureInRedUnderTheInput) {
    Form form;
    auto* input = new QLineEdit;
    std::unique_ptr<QWidget> widget(attachValidation(input, form.container));
    auto* view = qobject_cast<ValidationMessageView*>(widget.get());
    ASSERT_NE(view, nullptr);
    view->show();
    EXPECT_EQ(input->parentWidget(), view);
    EXPECT_EQ(view->messageView(), nullptr);
    EXPECT_TRUE(form.manager.allValid()) << "subscribing made the validator follow the field";

    form.name.setValue(" ");
    QLabel* label = defaultLabel(*view);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(view->messageView(), label);
    EXPECT_TRUE(label->isVisible());
    EXPECT_EQ(label->text(), "required");
    EXPECT_EQ(label->font().pixelSize(), 14);
    // Red, of the shade that reads on the view's grounds.
    EXPECT_EQ(label->palette().color(QPalette::WindowText), MessageColor::readable(view->palette()));
    EXPECT_EQ(label->palette().color(QPalette::WindowText).hue(), 0);
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    EXPECT_GT(label->geometry().top(), input->geometry().top());

    form.name.setValue("Bob");
    EXPECT_FALSE(label->isVisible());
    EXPECT_EQ(view->messageView(), nullptr);
}

TEST(ValidationMessageView, WhicheverStreamSpokeLastWins) {
    Form form;
    ValidationMessageView view(new QLineEdit, form.container);
    view.show();
    form.name.setValue("");
    form.container.validator()->subject().send(Validation::success());
    EXPECT_EQ(view.messageView(), nullptr) << "a success from the subject clears a failure from typing";

    form.manager.triggerValidation();
    EXPECT_EQ(view.latestValidation(), Validation::failure("required"));
    form.name.setValue("x");
    EXPECT_EQ(view.latestValidation(), Validation::success());

    form.container.validator()->subject().send(Validation::failure(""));
    ASSERT_NE(view.messageView(), nullptr);
    EXPECT_TRUE(view.messageView()->isVisible()) << "an empty message still shows its (empty) text";
}

TEST(ValidationMessageView, BuilderReplacesTheDefaultText) {
    Form form;
    int built = 0;
    ValidationMessageView view(new QLineEdit, form.container, [&](const QString& message) -> QWidget* {
        ++built;
        auto* custom = new QLabel("custom: " + message);
        custom->setObjectName("custom");
        return custom;
    });
    view.show();
    form.name.setValue("");
    form.name.setValue(" ");
    EXPECT_EQ(built, 2);
    auto* shown = qobject_cast<QLabel*>(view.messageView());
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown->objectName(), "custom");
    EXPECT_EQ(shown->text(), "custom: required");
    for (QLabel* label : view.findChildren<QLabel*>()) {
        EXPECT_TRUE(label->objectName() == "custom") << "no default text alongside the builder's view";
    }
    form.name.setValue("ok");
    EXPECT_EQ(view.messageView(), nullptr);
}

TEST(ValidationMessageView, DestroyingTheViewEndsItsSubscriptions) {
    Form form;
    PassthroughSubject<Validation> subject = form.container.subject();
    {
        ValidationMessageView view(new QLineEdit, form.container);
        EXPECT_EQ(subject.observerCount(), 1u);
    }
    EXPECT_EQ(subject.observerCount(), 0u);
    form.name.setValue("");
    form.manager.triggerValidation();
}

// Messages are read on light and dark palettes alike, on every ground a field sits on,
// and stay recognisably red.
TEST(MessageColorTest, ReadsOnWindowBaseAndGroupedFillInLightAndDarkPalettes) {
    QPalette light;
    light.setColor(QPalette::Window, QColor(0xef, 0xef, 0xef));
    light.setColor(QPalette::Base, Qt::white);
    light.setColor(QPalette::WindowText, Qt::black);
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(40, 40, 40));
    dark.setColor(QPalette::Base, QColor(30, 30, 30));
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    for (const QPalette& palette : {light, dark}) {
        const QColor window = palette.color(QPalette::Window);
        const QColor text = palette.color(QPalette::WindowText);
        const QColor grouped =
            QColor::fromRgbF(static_cast<float>(window.redF() * 0.94 + text.redF() * 0.06),
                             static_cast<float>(window.greenF() * 0.94 + text.greenF() * 0.06),
                             static_cast<float>(window.blueF() * 0.94 + text.blueF() * 0.06));
        const QColor message = MessageColor::readable(palette);
        for (const QColor& ground : {window, palette.color(QPalette::Base), grouped}) {
            EXPECT_GE(MessageColor::contrast(message, ground), 4.5)
                << message.name().toStdString() << " on " << ground.name().toStdString();
        }
        EXPECT_GT(message.red(), std::max(message.green(), message.blue()) + 60)
            << message.name().toStdString();
    }
    EXPECT_NEAR(MessageColor::contrast(Qt::black, Qt::white), 21.0, 0.01);
}
