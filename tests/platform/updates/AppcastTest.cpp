#include "platform/updates/Appcast.h"
#include "tests/support/FakeUpdateFeed.h"

#include <gtest/gtest.h>

using namespace velmora;
using Release = test::FakeUpdateFeed::Release;

TEST(AppcastTest, ReadsEveryFieldOfAnItem) {
    const auto items = Appcast::parse(test::FakeUpdateFeed::appcast(
        {{"12", "1.2", "https://example.test/get", "<b>New</b> things", "Tue, 01 Dec 2026 08:30:00 +0000"}}));
    ASSERT_TRUE(items.ok()) << items.error().toStdString();
    ASSERT_EQ(items.value().size(), 1u);
    const AppcastItem& item = items.value().front();
    EXPECT_EQ(item.version, "12");
    EXPECT_EQ(item.displayVersion(), "1.2");
    EXPECT_EQ(item.downloadLink, QUrl("https://example.test/get"));
    EXPECT_EQ(item.releaseNotes, "<b>New</b> things");
    EXPECT_EQ(item.publicationDate, QDateTime(QDate(2026, 12, 1), QTime(8, 30), Qt::UTC));
}

TEST(AppcastTest, AChannelWithoutItemsIsNoError) {
    const auto items = Appcast::parse(test::FakeUpdateFeed::appcast({}));
    ASSERT_TRUE(items.ok());
    EXPECT_TRUE(items.value().empty());
}

TEST(AppcastTest, RefusesDocumentsItCannotUse) {
    EXPECT_FALSE(Appcast::parse("").ok());
    EXPECT_FALSE(Appcast::parse("{\"version\": \"2.0\"}").ok());
    EXPECT_FALSE(Appcast::parse("<html><body>502 Bad Gateway</body></html>").ok());
    EXPECT_FALSE(Appcast::parse("<rss><channel><item><title>cut off").ok());
    EXPECT_FALSE(Appcast::parse("<rss version=\"2.0\"></rss>").ok()); // no channel
    const auto withoutVersion = Appcast::parse(test::FakeUpdateFeed::appcast({{"", "3.0"}}));
    ASSERT_FALSE(withoutVersion.ok());
    EXPECT_EQ(withoutVersion.error(), "an item has no version");
}
