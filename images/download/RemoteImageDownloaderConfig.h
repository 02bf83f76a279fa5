#pragma once

#include "images/core/RetryDelay.h"
#include "images/download/AbstractRemoteImageDownloaderOperation.h"
#include "images/download/ImageSession.h"

#include <memory>

#include <QByteArray>
#include <QSet>
#include <QString>

#include <optional>

namespace velmora::images {

class DecodeLanes;

// In which order queued downloads start.
enum class RemoteImageDownloaderExecutionOrder { FIFO = 0, LIFO = 1 };

// The settings of one downloader, copied by it when it is made.
struct RemoteImageDownloaderConfig {
    int maxConcurrentDownloads = 6;
    // Seconds for the whole of each download, from its request to its last byte; 0 means 15.
    double downloadTimeout = 15.0;
    // Seconds a download may receive nothing (no head, no byte) before it ends as timed out.
    double stallTimeout = 5.0;
    // The places a host holds at most while a download of another host waits.
    int maxDownloadsPerHost = 2;
    // A download that held its place this long gives it to one waiting and goes on in a slow
    // place; with none free, the slowest of them (fewest bytes a second) ends as not drawn now.
    // 0 or less: places are never given up.
    double placeYieldSeconds = 1.0;
    int maxSlowDownloads = 6;
    // The most downloads waiting for a place; past it the oldest asked is answered "not drawn now".
    int maxWaitingDownloads = 128;
    // A URL whose download ended in a failure that may pass (timed out, stalled, not drawn now)
    // waits this long before it downloads again, twice as long after each further one, up to the
    // most; until then it waits behind every download not yet tried. One whose bytes came whole
    // but were not drawn now waits besides until the decode lanes hold room for them.
    double retryDelay = RetryDelay::firstSeconds;
    double maxRetryDelay = RetryDelay::mostSeconds;
    // Progress is reported each time this fraction of the whole has arrived (0 to 1).
    double minimumProgressInterval = 0;
    // Read once when the downloader is made; none means the standard configuration.
    std::optional<ImageSession::Configuration> sessionConfiguration;
    // Makes the download operations; none means RemoteImageDownloaderOperation.
    RemoteImageDownloaderOperationFactory operationFactory;
    RemoteImageDownloaderExecutionOrder executionOrder = RemoteImageDownloaderExecutionOrder::FIFO;
    std::optional<ImageCredential> urlCredential;
    // With `password`, the credential when `urlCredential` is none.
    QString username;
    QString password;
    // None turns the status check off.
    std::optional<QSet<int>> acceptableStatusCodes = defaultAcceptableStatusCodes();
    // None turns the MIME type check off.
    std::optional<QSet<QByteArray>> acceptableContentTypes;
    // A body larger than this ends the download with an error; 0 means no limit.
    qint64 maximumDownloadSize = 50ll * 1024 * 1024;
    // Where the downloads decode; none: the shared lanes (DecodeLanes::shared()).
    std::shared_ptr<DecodeLanes> decodeLanes;

    static QSet<int> defaultAcceptableStatusCodes() {
        QSet<int> codes;
        for (int code = 200; code < 300; ++code) {
            codes.insert(code);
        }
        return codes;
    }
    static const RemoteImageDownloaderConfig& defaultDownloaderConfig() {
        static const RemoteImageDownloaderConfig config;
        return config;
    }

    // The most bytes one avatar may have: far past any picture drawn a few dozen pixels wide, and
    // small enough that the avatars waiting for a decode stay within their budget (DecodeLanes).
    static constexpr qint64 avatarMaximumBytes = 4ll * 1024 * 1024;

    // The shared downloader's, which fetches the app's avatars: the newest first, since the avatar
    // asked for last is the one on screen, and each avatar's bytes bounded.
    static const RemoteImageDownloaderConfig& sharedDownloaderConfig() {
        static const RemoteImageDownloaderConfig config = [] {
            RemoteImageDownloaderConfig shared;
            shared.executionOrder = RemoteImageDownloaderExecutionOrder::LIFO;
            shared.maximumDownloadSize = avatarMaximumBytes;
            return shared;
        }();
        return config;
    }
};

} // namespace velmora::images
