#include "views/main/AssetNames.h"
#include "views/main/ToolbarItemIdentifier.h"

#include "core/model/ProviderType.h"

#include <QIcon>
#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

using namespace velmora;

TEST(AssetNames, EveryNamedImageIsBundledAndDraws) {
    Assets::initialise();
    for (const QString& name : {AssetNames::asana, AssetNames::jira, AssetNames::youTrack,
                                AssetNames::menuBarActive, AssetNames::menuBarInactive}) {
        EXPECT_FALSE(Assets::imagePath(name).isEmpty()) << name.toStdString();
        const QImage image = Assets::pixmap(name, QSize(32, 32)).toImage();
        ASSERT_EQ(image.size(), QSize(32, 32));
        EXPECT_NE(image.pixelColor(16, 16).alpha(), 0)
            << name.toStdString() << " draws nothing in its middle";
    }
    // The tracker logos are found under the names the account kinds give.
    for (ProviderType type : allProviderTypes) {
        EXPECT_FALSE(Assets::icon(imageName(type)).isNull());
    }
    EXPECT_TRUE(Assets::icon(QStringLiteral("NoSuchImage")).isNull());
    EXPECT_TRUE(Assets::color(AssetNames::accentColor).isValid());
}

// Every window made asks for the app's icon at the same four sizes: each size is drawn
// once, and a copy of the icon shares what was drawn.
TEST(AssetNames, AnIconDrawsEachSizeOnce) {
    const QIcon icon = Assets::icon(AssetNames::jira);
    const QIcon copy = icon;
    const QPixmap first = icon.pixmap(QSize(64, 64));
    EXPECT_EQ(copy.pixmap(QSize(64, 64)).cacheKey(), first.cacheKey());
    EXPECT_NE(icon.pixmap(QSize(32, 32)).cacheKey(), first.cacheKey());
    EXPECT_EQ(first.size(), QSize(64, 64));
    EXPECT_NE(first.toImage().pixelColor(32, 32).alpha(), 0);
}

TEST(ToolbarItemIdentifier, CompareEqualToTheirRawValues) {
    EXPECT_EQ(ToolbarItemIdentifier::startTimeTracking, QStringLiteral("StartTimeTracking"));
    EXPECT_EQ(ToolbarItemIdentifier::trackingSplitItem, QStringLiteral("TrackingSplitItem"));
    EXPECT_EQ(ToolbarItemIdentifier::upcomingDay, QStringLiteral("UpcomingDay"));
    EXPECT_EQ(ToolbarIdentifier::applicationProject, QStringLiteral("ApplicationProject"));
}
