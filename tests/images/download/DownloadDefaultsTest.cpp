// The bounds the avatar road runs with when nobody sets them: each is a promise of what a hostile
// server or a flood can cost, so a change of any of them is a change this test has to be told of.

#include "images/download/DecodeLanes.h"
#include "images/download/ImageSession.h"
#include "images/download/RemoteImageDownloader.h"

#include <gtest/gtest.h>

using namespace velmora::images;

TEST(DownloadDefaults, TheDownloadsBoundsInTimePlacesAndBytes) {
    const RemoteImageDownloaderConfig config;
    // Time: a whole download, and a silence within it.
    EXPECT_EQ(config.downloadTimeout, 15.0);
    EXPECT_EQ(config.stallTimeout, 5.0);
    // Places: six, two of them per host while another host waits; a second in a place before
    // giving it up to one waiting, six slow places beside.
    EXPECT_EQ(config.maxConcurrentDownloads, 6);
    EXPECT_EQ(config.maxDownloadsPerHost, 2);
    EXPECT_EQ(config.placeYieldSeconds, 1.0);
    EXPECT_EQ(config.maxSlowDownloads, 6);
    EXPECT_EQ(config.maxWaitingDownloads, 128);
    // Delays after a failure that may pass: two seconds, doubled each time, two minutes at most.
    EXPECT_EQ(config.retryDelay, 2.0);
    EXPECT_EQ(config.maxRetryDelay, 120.0);
    EXPECT_EQ(config.maximumDownloadSize, 50ll * 1024 * 1024);

    // The app's avatars: the newest first, each at most 4 MiB.
    const RemoteImageDownloaderConfig& shared = RemoteImageDownloaderConfig::sharedDownloaderConfig();
    EXPECT_EQ(shared.executionOrder, RemoteImageDownloaderExecutionOrder::LIFO);
    EXPECT_EQ(shared.maximumDownloadSize, 4ll * 1024 * 1024);
    EXPECT_EQ(RemoteImageDownloaderConfig::avatarMaximumBytes, 4ll * 1024 * 1024);
    EXPECT_EQ(RemoteImageDownloader::sharedDownloader()->config().maximumDownloadSize, 4ll * 1024 * 1024);
}

TEST(DownloadDefaults, TheSessionsBoundsOnBuffersRedirectsAndConnections) {
    const ImageSession::Configuration session;
    EXPECT_EQ(session.stallTimeoutSeconds, 5.0);
    EXPECT_EQ(session.readBufferBytes, 64 * 1024);
    EXPECT_EQ(session.maximumRedirects, 5);
    EXPECT_EQ(session.idleConnectionSeconds, 5);
    EXPECT_EQ(session.hostsKeptAlive, 6);
    EXPECT_FALSE(session.placeOfAddress);
}

TEST(DownloadDefaults, TheDecodeLanesBudgetAndLimits) {
    // Some eight avatars of the largest size waiting for a decode, beside those decoding.
    EXPECT_EQ(DecodeLanes::defaultWaitingBytesBudget, 32ll * 1024 * 1024);
    EXPECT_EQ(DecodeLanes(1, 1).waitingBytesBudget(), DecodeLanes::defaultWaitingBytesBudget);
    EXPECT_EQ(DecodeLanes::shared().waitingBytesBudget(), DecodeLanes::defaultWaitingBytesBudget);
    EXPECT_EQ(DecodeLanes::quickDrawingMs, 250);
    EXPECT_EQ(DecodeLanes::quickStayMs, 1000);
}
