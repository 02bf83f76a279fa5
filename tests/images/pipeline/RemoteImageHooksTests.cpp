#include "images/cache/RemoteImageCacheKeyFilter.h"
#include "images/cache/RemoteImageCacheSerializer.h"
#include "images/pipeline/RemoteImageOptionsProcessor.h"

#include <gtest/gtest.h>

using namespace velmora::images;

TEST(RemoteImageHooks, FunctionFormsAnswerWithTheirFunctionOrWithNothing) {
    const QUrl url(QStringLiteral("https://e.com/a.png?token=secret"));

    const auto filter = RemoteImageCacheKeyFilter::cacheKeyFilterWithBlock(
        [](const QUrl& u) { return u.adjusted(QUrl::RemoveQuery).toString(); });
    EXPECT_EQ(filter->cacheKeyForURL(url), QStringLiteral("https://e.com/a.png"));
    EXPECT_TRUE(RemoteImageCacheKeyFilter([](const QUrl&) { return QString(); }).cacheKeyForURL(url).isNull());
    EXPECT_TRUE(RemoteImageCacheKeyFilter(nullptr).cacheKeyForURL(url).isNull());

    const auto serializer = RemoteImageCacheSerializer::cacheSerializerWithBlock(
        [](const Image&, const std::optional<QByteArray>& data, const QUrl&) {
            return data ? std::optional<QByteArray>(data->toUpper()) : std::nullopt;
        });
    EXPECT_EQ(serializer->cacheDataWithImage(Image(), QByteArray("abc"), url), std::optional<QByteArray>("ABC"));
    EXPECT_EQ(RemoteImageCacheSerializer(nullptr).cacheDataWithImage(Image(), QByteArray("abc"), url), std::nullopt);

    const auto processor = RemoteImageOptionsProcessor::optionsProcessorWithBlock(
        [](const QUrl&, RemoteImageOptions options, const RemoteImageContext& context) {
            RemoteImageOptionsResult result{options | RemoteImageRetryFailedURL, context};
            result.context.storeCacheType = ImageCacheType::Memory;
            return std::optional<RemoteImageOptionsResult>(result);
        });
    const auto processed = processor->processedResultForURL(url, RemoteImageLowPriority, {});
    ASSERT_TRUE(processed);
    EXPECT_EQ(processed->options, RemoteImageLowPriority | RemoteImageRetryFailedURL);
    EXPECT_EQ(processed->context.storeCacheType.valueOr(ImageCacheType::None), ImageCacheType::Memory);
    EXPECT_EQ(RemoteImageOptionsProcessor(nullptr).processedResultForURL(url, 0, {}), std::nullopt);
}
