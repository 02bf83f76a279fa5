#include "platform/updates/UpdateOfferDialog.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QEvent>
#include <QPointer>
#include <QPushButton>

#include <gtest/gtest.h>

using namespace velmora;

namespace {

// Stands in for the browser.
struct Browser : QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

TEST(UpdateOfferDialogTest, ShowsTheVersionAndItsNotesAndOpensTheDownloadPage) {
    Browser browser;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "open");
    AppcastItem item;
    item.version = QStringLiteral("12");
    item.shortVersionString = QStringLiteral("1.2");
    item.releaseNotes =
        QStringLiteral("<h2>New</h2><p>Faster sync.</p><img src=\"https://tracker.example.test/pixel.png\">");
    item.downloadLink = QUrl(QStringLiteral("https://downloads.example.test/velmora-1.2"));

    QPointer<UpdateOfferDialog> dialog = new UpdateOfferDialog(item, QStringLiteral("1.1"));
    EXPECT_TRUE(dialog->headline().contains(QStringLiteral("1.2 is now available—you have 1.1")));
    EXPECT_TRUE(dialog->releaseNotesText().contains(QStringLiteral("Faster sync.")));
    dialog->show();
    dialog->downloadButton()->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(browser.opened, QList<QUrl>{item.downloadLink});
    EXPECT_TRUE(dialog.isNull()); // closed and gone
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
}

} // namespace

#include "UpdateOfferDialogTest.moc"
