#include "images/CacheKeys.h"

#include <QUrl>

#include <gtest/gtest.h>

using namespace velmora::images;

TEST(CacheKeys, TransformedKeysGoBeforeTheExtension) {
    const auto blur = QStringLiteral("VIImageBlurTransformer(2.000000)");
    const QUrl web(transformedCacheKey(QStringLiteral("https://e.com/a/b.png?x=1"), blur));
    EXPECT_EQ(web.path(), QStringLiteral("/a/b-VIImageBlurTransformer(2.000000).png"));
    EXPECT_EQ(web.query(), QStringLiteral("x=1"));
    EXPECT_EQ(web.host(), QStringLiteral("e.com"));

    EXPECT_EQ(transformedCacheKey(QStringLiteral("avatar"), blur), QStringLiteral("avatar-") + blur);
    EXPECT_EQ(transformedCacheKey(QStringLiteral("dir/pic.jpg"), QStringLiteral("T")), QStringLiteral("dir/pic-T.jpg"));
    EXPECT_EQ(transformedCacheKey(QStringLiteral("file:///tmp/pic.jpg"), QStringLiteral("T")),
              QStringLiteral("file:///tmp/pic-T.jpg"));
    EXPECT_EQ(transformedCacheKey(QStringLiteral("https://e.com/path?x=1"), QStringLiteral("T")),
              QStringLiteral("https://e.com/path?x=1-T"));
    // An empty transformer key still separates: "abc" becomes "abc-".
    EXPECT_EQ(transformedCacheKey(QStringLiteral("abc"), QStringLiteral("")), QStringLiteral("abc-"));
    EXPECT_TRUE(transformedCacheKey(QString(), QStringLiteral("T")).isNull());
    EXPECT_TRUE(transformedCacheKey(QStringLiteral("abc"), QString()).isNull());
}

TEST(CacheKeys, ThumbnailKeys) {
    const QUrl url(thumbnailCacheKey(QStringLiteral("https://e.com/p.jpg"), true, 64, 64));
    EXPECT_EQ(url.path(), QStringLiteral("/p-Thumbnail({64.000000,64.000000},1).jpg"));
    EXPECT_EQ(thumbnailCacheKey(QStringLiteral("avatar"), false, 32, 16),
              QStringLiteral("avatar-Thumbnail({32.000000,16.000000},0)"));
}

TEST(CacheKeys, ScaleReadFromTheKey) {
    EXPECT_EQ(scaleFactorForCacheKey(QStringLiteral("images/avatar@2x.png")), 2.0);
    EXPECT_EQ(scaleFactorForCacheKey(QStringLiteral("images/avatar@3x.png")), 3.0);
    EXPECT_EQ(scaleFactorForCacheKey(QStringLiteral("images/avatar@4x.png")), 1.0);
    EXPECT_EQ(scaleFactorForCacheKey(QStringLiteral("https://e.com/avatar%403x.png")), 3.0);
    EXPECT_EQ(scaleFactorForCacheKey(QStringLiteral("e.com/avatar%403x.png")), 1.0);
    EXPECT_EQ(scaleFactorForCacheKey(QStringLiteral("https://e.com/a@3x.png?b@2x.png")), 2.0);
    EXPECT_EQ(scaleFactorForCacheKey(QStringLiteral("@2x.png")), 1.0); // shorter than 8
    EXPECT_EQ(scaleFactorForCacheKey(QString()), 1.0);
}
