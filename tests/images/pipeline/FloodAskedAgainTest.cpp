// A flood of avatars larger than the decodes keep up with, asked again as rows painted again ask:
// the bytes of an avatar not drawn now are not downloaded again while they wait, so the flood is
// served less than twice over however often it is asked.

#include "tests/images/support/TestImages.h"

#include "images/cache/ImageCache.h"
#include "images/cache/ImageCacheConfig.h"
#include "images/coders/ImageCoder.h"
#include "images/coders/ImageCodersManager.h"
#include "images/download/DecodeLanes.h"
#include "images/download/RemoteImageDownloader.h"
#include "images/pipeline/RemoteImageManager.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"

#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <vector>

using namespace velmora::images;
using velmora::test::ImageAnswer;
using velmora::test::LoopbackImageServer;

namespace {

// Decodes as the shared coders do, after a while: large avatars that the decodes fall behind.
class UnhurriedCoder : public ImageCoder {
public:
    static constexpr int decodeMs = 60;

    bool canDecodeFromData(const QByteArray&) override { return true; }
    Image decodedImageWithData(const QByteArray& data, const DecodeOptions& options) override {
        QThread::msleep(decodeMs);
        return ImageCodersManager::sharedManager()->decodedImageWithData(data, options);
    }
    bool canEncodeToFormat(ImageFormat) override { return false; }
    QByteArray encodedDataWithImage(const Image&, ImageFormat, const EncodeOptions&) override { return {}; }
};

struct Avatar {
    QUrl url;
    bool drawn = false;
    bool asking = false;
    int asked = 0;
};

} // namespace

// The measured case scaled down by its ratios: a flood some six times the disk cache's bound and
// twenty-five times the decodes' waiting budget, asked again every tenth of a second (the rows'
// two seconds, as the retry delay is a twentieth of the app's too).
TEST(FloodAskedAgain, IsServedLessThanTwiceOver) {
    constexpr int count = 64;
    const QByteArray png = velmora::images::testing::encode(velmora::images::testing::noise(256, 256), "png");
    LoopbackImageServer server;
    std::vector<Avatar> avatars(count);
    for (int i = 0; i < count; ++i) {
        // Each one of its own: a few bytes differ.
        const QByteArray path = "/flood-" + QByteArray::number(i) + ".png";
        server.serve(path, ImageAnswer::image(png + QByteArray::number(i)));
        avatars[i].url = server.url(QString::fromLatin1(path));
    }
    const qint64 flood = qint64(count) * png.size();

    QTemporaryDir root;
    auto cacheConfig = std::make_shared<ImageCacheConfig>();
    cacheConfig->setMaxDiskSize(quint64(flood / 6));
    cacheConfig->setMaxDiskWriteBacklog(quint64(flood / 50));
    auto cache = std::make_shared<ImageCache>(QStringLiteral("avatars"), root.path(), cacheConfig);
    RemoteImageDownloaderConfig config = RemoteImageDownloaderConfig::sharedDownloaderConfig();
    config.decodeLanes = std::make_shared<DecodeLanes>(1, 1, flood / 25);
    config.retryDelay = 0.1;
    ImageSession::Configuration session;
    session.urlCacheDirectory = root.filePath(QStringLiteral("urls"));
    config.sessionConfiguration = session;
    const auto manager =
        std::make_shared<RemoteImageManager>(cache, std::make_shared<RemoteImageDownloader>(config));
    RemoteImageContext context;
    context.imageThumbnailPixelSize = QSizeF(32, 32);
    context.imageScaleFactor = 1.0;
    context.imageCoder = std::static_pointer_cast<ImageCoder>(std::make_shared<UnhurriedCoder>());

    std::vector<std::shared_ptr<RemoteImageCombinedOperation>> loads;
    const auto askAgain = [&] {
        for (auto& avatar : avatars) {
            if (avatar.drawn || avatar.asking) {
                continue;
            }
            avatar.asking = true;
            ++avatar.asked;
            loads.push_back(
                manager->loadImage(avatar.url, 0, context, nullptr,
                                   [&avatar](const Image& image, const QByteArray&, const ImageError&,
                                             ImageCacheType, bool finished, const QUrl&) {
                                       if (finished) {
                                           avatar.asking = false;
                                           avatar.drawn = avatar.drawn || bool(image);
                                       }
                                   }));
        }
    };
    // As the rows ask: every one on screen at once, then again each time they paint, while not drawn.
    askAgain();
    QTimer rows;
    QObject::connect(&rows, &QTimer::timeout, askAgain);
    rows.start(100);
    const auto drawn = [&] {
        return std::all_of(avatars.begin(), avatars.end(), [](const Avatar& avatar) { return avatar.drawn; });
    };
    const bool allDrawn = velmora::test::waitUntil(drawn, 60000);
    rows.stop();
    int asked = 0;
    for (const auto& avatar : avatars) {
        asked += avatar.asked;
    }
    std::printf("flood of %lld bytes, served %lld (%.2f times), %d requests for %d asks\n",
                static_cast<long long>(flood), static_cast<long long>(server.bodyBytesSent()),
                double(server.bodyBytesSent()) / double(flood), server.totalRequestCount(), asked);
    EXPECT_TRUE(allDrawn);
    EXPECT_LT(server.bodyBytesSent(), 2 * flood);
    for (const auto& load : loads) {
        load->cancel();
    }
}
