#include "images/animation/ImagePipelineTransformer.h"
#include "images/cache/CacheKeys.h"

#include <QImage>
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
    EXPECT_EQ(transformedCacheKey(QStringLiteral("dir/pic.jpg"), QStringLiteral("T")),
              QStringLiteral("dir/pic-T.jpg"));
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

namespace {
class Tint : public ImageTransformer {
public:
    explicit Tint(QString key, bool fails = false) : m_key(std::move(key)), m_fails(fails) {}
    QString transformerKey() const override { return m_key; }
    Image transformedImageWithImage(const Image& image, const QString&) override {
        ++calls;
        return image && !m_fails ? Image(image.bitmap().mirrored()) : Image();
    }
    int calls = 0;

private:
    QString m_key;
    bool m_fails;
};
} // namespace

TEST(CacheKeys, PipelineTransformerKeysAndChain) {
    auto first = std::make_shared<Tint>(QStringLiteral("A(1)"));
    auto failing = std::make_shared<Tint>(QStringLiteral("B"), true);
    auto last = std::make_shared<Tint>(QStringLiteral("C"));
    const auto pipeline = ImagePipelineTransformer::transformerWithTransformers({first, failing, last});
    EXPECT_EQ(pipeline->transformerKey(), QStringLiteral("A(1)-B-C"));
    EXPECT_EQ(ImagePipelineTransformer::cacheKeyForTransformers({}), QString());
    EXPECT_EQ(transformedCacheKey(QStringLiteral("abc"), ImagePipelineTransformer({}).transformerKey()),
              QStringLiteral("abc-"));

    QImage bitmap(2, 2, QImage::Format_RGB32);
    bitmap.fill(Qt::red);
    EXPECT_FALSE(pipeline->transformedImageWithImage(Image(bitmap), QStringLiteral("k")));
    EXPECT_EQ(first->calls, 1);
    EXPECT_EQ(last->calls, 0); // the chain ended at the failing member
    EXPECT_TRUE(
        ImagePipelineTransformer({first}).transformedImageWithImage(Image(bitmap), QStringLiteral("k")));
    EXPECT_FALSE(pipeline->transformedImageWithImage(Image(), QStringLiteral("k")));
}
