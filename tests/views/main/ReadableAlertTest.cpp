#include "views/main/ReadableAlert.h"

#include "tests/support/EventLoop.h"
#include "tests/views/main/AlertTexts.h"

#include <QTextEdit>

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;

// Every text of a prepared box is shown as the characters it is: its headline, the
// explanation under it (a label of its own, which guesses its format unless told) and
// the details, whenever they are set.
TEST(ReadableAlert, EveryTextOfABoxIsPlainText) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Title"), markupName, QMessageBox::Ok);
    box.setInformativeText(QStringLiteral("About ") + markupName);
    box.setDetailedText(QStringLiteral("Details of ") + markupName);
    ReadableAlert::prepare(box);
    EXPECT_EQ(richLabels(box), QStringList());
    EXPECT_EQ(box.textFormat(), Qt::PlainText);
    EXPECT_TRUE(showsLiterally(box, markupName));
    EXPECT_TRUE(showsLiterally(box, QStringLiteral("About ") + markupName));
    const auto* details = box.findChild<QTextEdit*>();
    ASSERT_NE(details, nullptr);
    EXPECT_EQ(details->toPlainText(), QStringLiteral("Details of ") + markupName);

    // Texts given after the box was prepared stay plain.
    box.setText(QStringLiteral("<i>later</i>"));
    box.setInformativeText(QStringLiteral("<i>later too</i>"));
    EXPECT_EQ(richLabels(box), QStringList());
    EXPECT_TRUE(showsLiterally(box, QStringLiteral("<i>later too</i>")));
}

// An image named in a text is never read: this one would be read without end.
TEST(ReadableAlert, ABoxNamingAnEndlessFileOpensAndCloses) {
    const QString name = QStringLiteral("Fix <img src=\"/dev/zero\">");
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Title"), name, QMessageBox::Ok);
    box.setInformativeText(QStringLiteral("Delete the 1h work log on ") + name + QStringLiteral("?"));
    ReadableAlert::prepare(box);
    box.open();
    drainEvents();
    box.grab();
    EXPECT_TRUE(showsLiterally(box, name));
    box.close();
}
