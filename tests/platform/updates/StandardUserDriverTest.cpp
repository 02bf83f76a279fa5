#include "platform/updates/StandardUserDriver.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>

#include <gtest/gtest.h>

using namespace velmora;

// The message of a failed check is shown as the characters it is, whoever wrote it.
TEST(StandardUserDriver, AMessageIsShownAsPlainText) {
    const QString message = QStringLiteral("Failed: <img src=\"/nonexistent.png\"><b>bad</b> feed");
    StandardUserDriver driver;
    driver.showUpdaterError(message);
    QMessageBox* box = nullptr;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (auto* candidate = qobject_cast<QMessageBox*>(window)) {
            box = candidate;
        }
    }
    ASSERT_NE(box, nullptr);
    bool shown = false;
    for (const QLabel* label : box->findChildren<QLabel*>()) {
        if (!label->text().isEmpty()) {
            EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
            shown = shown || label->text() == message;
        }
    }
    EXPECT_TRUE(shown);
    box->close();
}
