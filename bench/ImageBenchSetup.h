#pragma once

#include "images/download/RemoteImageDownloader.h"

#include <QTemporaryDir>

namespace velmora::bench {

// A downloader's configuration whose session keeps its URL cache in `cacheFolder`, so
// no run reads what another left on disk.
inline images::RemoteImageDownloaderConfig downloaderConfig(const QTemporaryDir& cacheFolder) {
    images::RemoteImageDownloaderConfig config;
    images::ImageSession::Configuration session;
    session.urlCacheDirectory = cacheFolder.path();
    config.sessionConfiguration = session;
    return config;
}

} // namespace velmora::bench
