#pragma once

#include <QLatin1String>

namespace velmora::images {

// Posted on the main thread through the default NotificationCenter, with the download
// operation (a std::shared_ptr<AbstractRemoteImageDownloaderOperation>) as object.
struct RemoteImageDownloadNotifications {
    static constexpr QLatin1String start{"VIRemoteImageDownloadStartNotification"};
    static constexpr QLatin1String receiveResponse{"VIRemoteImageDownloadReceiveResponseNotification"};
    static constexpr QLatin1String stop{"VIRemoteImageDownloadStopNotification"};
    static constexpr QLatin1String finish{"VIRemoteImageDownloadFinishNotification"};
};

} // namespace velmora::images
