#include "views/main/ReturnPressesFocusedButton.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <memory>

using namespace velmora;

namespace {

// A dialog as the app's sheets are: a default button, another push button that is not
// one, a tool button, a check box and a field.
struct Dialog {
    Dialog() {
        auto* layout = new QHBoxLayout(&dialog);
        field = new QLineEdit(&dialog);
        other = new QPushButton(QStringLiteral("Other"), &dialog);
        other->setAutoDefault(false);
        tool = new QToolButton(&dialog);
        tool->setFocusPolicy(Qt::StrongFocus);
        check = new QCheckBox(QStringLiteral("Check"), &dialog);
        ok = new QPushButton(QStringLiteral("OK"), &dialog);
        ok->setDefault(true);
        for (QWidget* widget : std::initializer_list<QWidget*>{field, other, tool, check, ok}) {
            layout->addWidget(widget);
        }
        dialog.show();
        QApplication::setActiveWindow(&dialog);
    }
    void press(QWidget* focused, bool autoRepeat = false) {
        focused->setFocus();
        QTest::sendKeyEvent(QTest::KeyAction::Press, focused, Qt::Key_Return, '\r', Qt::NoModifier);
        if (autoRepeat) {
            QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"), true);
            QApplication::sendEvent(focused, &repeat);
        }
    }

    QDialog dialog;
    QLineEdit* field;
    QPushButton* other;
    QToolButton* tool;
    QCheckBox* check;
    QPushButton* ok;
};

} // namespace

TEST(ReturnPressesFocusedButton, ReturnPressesTheFocusedButtonAndOnlyIt) {
    std::unique_ptr<ReturnPressesFocusedButton> filter(ReturnPressesFocusedButton::install(*qApp));
    EXPECT_EQ(ReturnPressesFocusedButton::install(*qApp), filter.get()) << "one filter an application";
    Dialog d;
    QSignalSpy other(d.other, &QPushButton::clicked);
    QSignalSpy tool(d.tool, &QToolButton::clicked);
    QSignalSpy ok(d.ok, &QPushButton::clicked);

    // Before, a button that is not a default one passed Return on to the dialog's default.
    d.press(d.other);
    EXPECT_EQ(other.count(), 1);
    EXPECT_EQ(ok.count(), 0);
    d.press(d.tool);
    EXPECT_EQ(tool.count(), 1);
    EXPECT_EQ(ok.count(), 0);
    // A held key presses once, and its repeats do not reach the default either.
    d.press(d.other, /*autoRepeat*/ true);
    EXPECT_EQ(other.count(), 2);
    EXPECT_EQ(ok.count(), 0);

    // A field and a check box leave Return to the dialog: its default button.
    d.press(d.field);
    EXPECT_EQ(ok.count(), 1);
    d.press(d.check);
    EXPECT_FALSE(d.check->isChecked());
    EXPECT_EQ(ok.count(), 2);
    // Return with a modifier is not a press.
    d.other->setFocus();
    QTest::keyClick(d.other, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(other.count(), 2);
}
