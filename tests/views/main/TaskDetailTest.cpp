#include "views/main/ProjectTaskView.h"
#include "views/main/SimpleHtmlView.h"
#include "views/main/UnopenedAddressView.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QPushButton>
#include <QImage>
#include <QTextDocument>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace velmora;

namespace {
Issue bareTask() {
    Issue task;
    task.id = QStringLiteral("7");
    task.name = QStringLiteral("Fix the build");
    return task;
}

// Records what the view asked and opened.
struct Desktop {
    std::vector<QUrl> asked;
    std::vector<QUrl> opened;
    bool answer = false;

    void attach(SimpleHtmlView& view) {
        view.setConfirmation([this](const QUrl& url) {
            asked.push_back(url);
            return answer;
        });
        view.setOpener([this](const QUrl& url) { opened.push_back(url); });
    }
};
} // namespace

TEST(SimpleHtmlView, ColoursAndThePage) {
    EXPECT_EQ(SimpleHtmlView::hexString(QColor::fromRgbF(1, 0.5, 0)), "#FF7F00");
    EXPECT_EQ(SimpleHtmlView::hexString(QColor()), "#000000");
    const QString page = SimpleHtmlView::page(QStringLiteral("<p>x</p>"), QStringLiteral("#000000"),
                                              QStringLiteral("#2F6FEB"));
    EXPECT_TRUE(page.contains(
        QStringLiteral("body { font-family: -apple-system, system-ui, sans-serif; color: #000000; "
                       "font-size: 12px;")));
    EXPECT_TRUE(page.contains(QStringLiteral("a { color: #2F6FEB; text-decoration: underline; }")));
    EXPECT_TRUE(page.contains(QStringLiteral("<body>\n<p>x</p>\n</body>")));
}

TEST(SimpleHtmlView, OnlyWebAndMailLinksLeaveAndOnlyAfterTheQuestion) {
    SimpleHtmlView view(QStringLiteral("<a href=\"https://tracker.example/T-1\">T-1</a>"));
    Desktop desktop;
    desktop.attach(view);

    emit view.anchorClicked(QUrl(QStringLiteral("https://tracker.example/T-1")));
    EXPECT_EQ(desktop.asked.size(), 1u);
    EXPECT_TRUE(desktop.opened.empty()) << "cancelled";

    desktop.answer = true;
    emit view.anchorClicked(QUrl(QStringLiteral("mailto:ann@example.com")));
    ASSERT_EQ(desktop.opened.size(), 1u);
    EXPECT_EQ(desktop.opened[0].scheme(), "mailto");

    for (const char* link : {"javascript:alert(1)", "file:///etc/passwd", "data:text/html,<b>x</b>",
                             "velmora://add-account", "ftp://example.com/x", "http://"}) {
        emit view.anchorClicked(QUrl(QString::fromLatin1(link)));
    }
    EXPECT_EQ(desktop.asked.size(), 2u) << "refused links are not even offered";
    EXPECT_EQ(desktop.opened.size(), 1u);
}

TEST(SimpleHtmlView, TheQuestionNamesTheHostOrTheWholeLink) {
    QApplication::setApplicationDisplayName(QStringLiteral("Velmora"));
    EXPECT_EQ(SimpleHtmlView::leaveMessage(), "You are about to leave Velmora");
    EXPECT_EQ(SimpleHtmlView::leaveInformativeText(QUrl(QStringLiteral("https://tracker.example/a?b=1"))),
              "The link will take you to: tracker.example");
    EXPECT_EQ(SimpleHtmlView::leaveInformativeText(QUrl(QStringLiteral("mailto:ann@example.com"))),
              "The link will take you to: mailto:ann@example.com");
}

TEST(SimpleHtmlView, ScriptsImagesAndStylesFromElsewhereStayInert) {
    SimpleHtmlView view(QStringLiteral("<script>document.write('x')</script>"
                                       "<img src=\"http://tracker.example/pixel.png\">"
                                       "<link rel=\"stylesheet\" href=\"http://tracker.example/s.css\">"
                                       "<a href=\"javascript:alert(1)\">click</a>"));
    Desktop desktop;
    desktop.attach(view);
    // An image is a transparent pixel (an empty answer would make Qt read the name
    // itself); a style sheet is empty.
    const QImage pixel = qvariant_cast<QImage>(view.loadResource(
        QTextDocument::ImageResource, QUrl(QStringLiteral("http://tracker.example/pixel.png"))));
    EXPECT_EQ(pixel.size(), QSize(1, 1));
    EXPECT_EQ(pixel.pixelColor(0, 0).alpha(), 0);
    EXPECT_TRUE(
        view.loadResource(QTextDocument::StyleSheetResource, QUrl(QStringLiteral("file:///etc/passwd")))
            .toString()
            .isEmpty());
    EXPECT_EQ(qvariant_cast<QImage>(
                  view.document()->resource(QTextDocument::ImageResource,
                                            QUrl(QStringLiteral("http://tracker.example/pixel.png"))))
                  .size(),
              QSize(1, 1));
    EXPECT_FALSE(view.toPlainText().contains(QStringLiteral("document.write")))
        << "scripts are not text either";
    emit view.anchorClicked(QUrl(QStringLiteral("javascript:alert(1)")));
    EXPECT_TRUE(desktop.asked.empty());
    EXPECT_TRUE(desktop.opened.empty());
}

TEST(ProjectTaskView, MissingFactsShowTheirPlaceholders) {
    ProjectTaskView view(Project{}, bareTask());
    EXPECT_EQ(view.stateValue()->text(), "Unknown");
    EXPECT_EQ(view.spentTimeValue()->text(), "No Spent Time");
    EXPECT_EQ(view.assigneeValue()->text(), "Unassigned");
    EXPECT_EQ(view.linkButton(), nullptr);
    EXPECT_EQ(view.referenceLabel(), nullptr) << "no key, no URL: the name comes first";
    EXPECT_EQ(view.nameLabel()->text(), "Fix the build");
    ASSERT_NE(view.noDescriptionLabel(), nullptr);
    EXPECT_EQ(view.noDescriptionLabel()->text(), "No description");
    EXPECT_EQ(view.descriptionView(), nullptr);
}

TEST(ProjectTaskView, TheKeyLinksToTheTaskOnlyForWebPages) {
    Issue task = bareTask();
    task.externalUrl = QUrl(QStringLiteral("https://tracker.example/T-7"));
    task.description = QStringLiteral("<p>Steps</p>");
    ProjectTaskView view(Project{}, task);
    std::vector<QUrl> opened;
    view.setOpener([&](const QUrl& url) { opened.push_back(url); });
    ASSERT_NE(view.linkButton(), nullptr);
    EXPECT_EQ(view.linkButton()->text(), "Open in browser");
    view.linkButton()->click();
    ASSERT_EQ(opened.size(), 1u);
    ASSERT_NE(view.descriptionView(), nullptr);
    EXPECT_TRUE(view.descriptionView()->toPlainText().contains(QStringLiteral("Steps")));

    // No browser: the address shows, with Copy, as a sign-in's does.
    ProjectTaskView unopened(Project{}, task);
    unopened.setBrowserOpener([](const QUrl&) { return false; });
    unopened.show();
    ASSERT_NE(unopened.unopenedAddress(), nullptr);
    EXPECT_FALSE(unopened.unopenedAddress()->isVisible());
    unopened.linkButton()->click();
    EXPECT_TRUE(unopened.unopenedAddress()->isVisible());
    EXPECT_EQ(unopened.unopenedAddress()->field()->text(), "https://tracker.example/T-7");
    unopened.unopenedAddress()->copyButton()->click();
    EXPECT_EQ(QApplication::clipboard()->text(), "https://tracker.example/T-7");

    task.reference = QStringLiteral("T-7");
    task.externalUrl = QUrl(QStringLiteral("javascript:alert(1)"));
    view.setTask(Project{}, task);
    ASSERT_NE(view.linkButton(), nullptr);
    EXPECT_EQ(view.linkButton()->text(), "T-7");
    view.linkButton()->click();
    EXPECT_EQ(opened.size(), 1u) << "a task address that is not a web page is not opened";

    task.externalUrl.reset();
    view.setTask(Project{}, task);
    EXPECT_EQ(view.linkButton(), nullptr);
    ASSERT_NE(view.referenceLabel(), nullptr);
    EXPECT_EQ(view.referenceLabel()->text(), "T-7");
}
