#include "app/WelcomeWindowController.h"

#include "tests/support/EventLoop.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

using namespace velmora;

// Return presses the button that has the focus, as Space does; Return in a text field
// presses nothing.
TEST(WelcomeWindowControllerTest, ReturnPressesTheFocusedButton) {
    QTemporaryDir dir;
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    auto* first = new QPushButton(QStringLiteral("YouTrack"));
    auto* second = new QPushButton(QStringLiteral("Jira"));
    auto* field = new QLineEdit;
    layout->addWidget(first);
    layout->addWidget(second);
    layout->addWidget(field);
    WelcomeWindowController window(content, dir.filePath(QStringLiteral("windows.conf")));
    window.show();
    QApplication::setActiveWindow(&window);
    int firstClicks = 0;
    int secondClicks = 0;
    QObject::connect(first, &QPushButton::clicked, [&] { ++firstClicks; });
    QObject::connect(second, &QPushButton::clicked, [&] { ++secondClicks; });

    second->setFocus(Qt::TabFocusReason);
    QTest::keyClick(second, Qt::Key_Return);
    EXPECT_EQ(secondClicks, 1);
    QTest::keyClick(second, Qt::Key_Enter);
    EXPECT_EQ(secondClicks, 2);
    EXPECT_EQ(firstClicks, 0);

    field->setFocus(Qt::TabFocusReason);
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(firstClicks + secondClicks, 2);
}
