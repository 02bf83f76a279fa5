// What the avatar road's bounds do when nobody sets them: each default is checked against the
// situation it is there for (a real server's head, a flood, a host that hogs places, a descriptor
// table), not against its own value.

#include "images/download/DecodeLanes.h"
#include "images/download/ImageSession.h"
#include "images/download/RemoteImageDownloader.h"
#include "platform/net/ContentDecoder.h"
#include "platform/net/ResponseHeadReader.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <zlib.h>

using namespace velmora::images;
using velmora::ContentDecoder;
using velmora::ResponseHeadReader;

namespace {

// What ResponseHeadReader makes of `lines` under the session's default bounds.
ResponseHeadReader::Step readHead(const QList<QByteArray>& lines) {
    const ImageSession::Configuration session;
    ResponseHeadReader reader({session.maximumHeaderBytes, session.maximumHeaderLines});
    ResponseHeadReader::Step step = ResponseHeadReader::Step::More;
    for (const QByteArray& line : lines) {
        step = reader.addLine(line);
        if (step != ResponseHeadReader::Step::More && step != ResponseHeadReader::Step::InterimDone) {
            break;
        }
    }
    return step;
}

} // namespace

TEST(DownloadDefaults, AHeavyRealHeadPassesAndAnEndlessOneStopsWithinAFewDozenKilobytes) {
    // A CDN's answer with a long policy, a dozen cookies and hints before it: some 9 KiB in 40 lines.
    QList<QByteArray> real{"HTTP/1.1 103 Early Hints\r\n", "Link: </a.css>; rel=preload\r\n", "\r\n",
                           "HTTP/1.1 200 OK\r\n",
                           "Content-Security-Policy: " + QByteArray(3000, 'c') + "\r\n"};
    for (int i = 0; i < 12; ++i) {
        real << "Set-Cookie: c" + QByteArray::number(i) + "=" + QByteArray(400, 'v') + "\r\n";
    }
    for (int i = 0; i < 20; ++i) {
        real << "X-Header-" + QByteArray::number(i) + ": value\r\n";
    }
    real << "\r\n";
    EXPECT_EQ(readHead(real), ResponseHeadReader::Step::Done);

    QList<QByteArray> endless{"HTTP/1.1 200 OK\r\n"};
    qint64 bytes = 0;
    while (bytes < 1024 * 1024) {
        endless << "X-Line: " + QByteArray(24, 'a') + "\r\n";
        bytes += endless.back().size();
    }
    EXPECT_EQ(readHead(endless), ResponseHeadReader::Step::TooLarge);
    QList<QByteArray> wide{"HTTP/1.1 200 OK\r\n", "X-Wide: " + QByteArray(1024 * 1024, 'a') + "\r\n"};
    EXPECT_EQ(readHead(wide), ResponseHeadReader::Step::TooLarge);
}

TEST(DownloadDefaults, TheSessionsTimesEndASilentOrHeadlessTransferLongBeforeItsWholeDeadline) {
    const ImageSession::Configuration session;
    const RemoteImageDownloaderConfig config;
    // The downloader's own bounds hold for each transfer, and a silence ends before the whole.
    EXPECT_LT(config.stallTimeout, config.downloadTimeout);
    EXPECT_LT(session.stallTimeoutSeconds, session.requestTimeoutSeconds);
    EXPECT_LE(session.connectTimeoutSeconds, session.headTimeoutSeconds);
    EXPECT_LT(session.headTimeoutSeconds, config.downloadTimeout);
}

TEST(DownloadDefaults, ConnectionsAndIdleOnesStayUnderASmallShareOfTheDescriptors) {
    const ImageSession::Configuration session;
    // Under an eighth of the descriptors a process gets here (1,024 on most desktops): the cache's
    // files, the drawing processes and the app's own keep the rest.
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlim_t share = std::min<rlim_t>(limit.rlim_cur, 1024) / 8;
    EXPECT_LE(rlim_t(session.connections + session.hostsKeptAlive), share);
    // A host never holds every connection, and every kept host can keep one.
    EXPECT_LT(session.connectionsPerHost, session.connections);
    EXPECT_LE(session.hostsKeptAlive, session.connections);
    EXPECT_GE(session.idleConnectionSeconds, 1);
    EXPECT_LE(session.idleConnectionSeconds, int(session.stallTimeoutSeconds) * 2);
}

TEST(DownloadDefaults, ADownloadersPlacesLeaveRoomForAnotherHostAndItsListForAScreenOfAvatars) {
    const RemoteImageDownloaderConfig config;
    // A host that hogs its places leaves the others to other hosts.
    EXPECT_LT(config.maxDownloadsPerHost, config.maxConcurrentDownloads);
    // A screen of avatars (some forty) waits whole; a place is given up well within the stall bound.
    EXPECT_GE(config.maxWaitingDownloads, 40);
    EXPECT_LT(config.placeYieldSeconds, config.stallTimeout);
    EXPECT_GT(config.maxSlowDownloads, 0);
    // Delays after a failure grow at least five times before their cap.
    EXPECT_GE(config.maxRetryDelay, config.retryDelay * 32);
}

TEST(DownloadDefaults, AnAvatarsBytesAreBoundedAndAFewOfTheLargestFitTheDecodeBudget) {
    const auto& shared = RemoteImageDownloaderConfig::sharedDownloaderConfig();
    EXPECT_EQ(RemoteImageDownloader::sharedDownloader()->config().maximumDownloadSize,
              RemoteImageDownloaderConfig::avatarMaximumBytes);
    EXPECT_EQ(shared.maximumDownloadSize, RemoteImageDownloaderConfig::avatarMaximumBytes);
    // The avatar asked for last is the one on screen.
    EXPECT_EQ(shared.executionOrder, RemoteImageDownloaderExecutionOrder::LIFO);
    // A picture of 512 x 512 pixels that does not compress at all fits; several of the largest
    // wait for a decode at once.
    EXPECT_GT(RemoteImageDownloaderConfig::avatarMaximumBytes, 512 * 512 * 4);
    EXPECT_GE(DecodeLanes::shared().waitingBytesBudget(),
              4 * RemoteImageDownloaderConfig::avatarMaximumBytes);
    EXPECT_EQ(DecodeLanes(1, 1).waitingBytesBudget(), DecodeLanes::shared().waitingBytesBudget());
    // A drawing gives the quick lane up before a decode's stay there ends.
    EXPECT_LT(DecodeLanes::quickDrawingMs, DecodeLanes::quickStayMs);
}

TEST(DownloadDefaults, ABombOfCompressedZerosIsHandedOnInSlicesThatCanBeStopped) {
    // 64 MiB of zeros in some 64 KiB of gzip.
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    const QByteArray zeros(1024 * 1024, '\0');
    QByteArray packed(256 * 1024, Qt::Uninitialized);
    stream.next_out = reinterpret_cast<Bytef*>(packed.data());
    stream.avail_out = uInt(packed.size());
    for (int i = 0; i < 64; ++i) {
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.constData()));
        stream.avail_in = uInt(zeros.size());
        deflate(&stream, i == 63 ? Z_FINISH : Z_NO_FLUSH);
    }
    packed.truncate(qsizetype(stream.total_out));
    deflateEnd(&stream);
    auto decoder = ContentDecoder::forEncoding("gzip");
    ASSERT_TRUE(decoder);
    qint64 handed = 0;
    const auto result = decoder->feed(packed.constData(), packed.size(), [&](const char*, qsizetype size) {
        EXPECT_LE(size, ContentDecoder::sliceBytes);
        handed += size;
        return handed < RemoteImageDownloaderConfig::avatarMaximumBytes;
    });
    EXPECT_EQ(result, ContentDecoder::Result::Stopped);
    EXPECT_LE(handed, RemoteImageDownloaderConfig::avatarMaximumBytes + ContentDecoder::sliceBytes);
    EXPECT_FALSE(decoder->isComplete());
}
