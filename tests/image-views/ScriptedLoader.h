#pragma once

#include "images/download/ImageLoader.h"

#include <QUrl>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace velmora::test {

// A loader that keeps every request and reports only when the test tells it to, from
// whichever thread the test chooses.
class ScriptedLoader : public images::ImageLoader {
public:
    struct Operation : images::RemoteImageOperation {
        void cancel() override { cancelled = true; }
        std::atomic<bool> cancelled{false};
    };
    struct Request {
        QUrl url;
        images::ImageLoaderProgressBlock progress;
        images::ImageLoaderCompletedBlock completed;
        std::shared_ptr<Operation> operation;
    };

    bool canRequestImage(const QUrl&, images::RemoteImageOptions,
                         const images::RemoteImageContext&) override {
        return true;
    }
    std::shared_ptr<images::RemoteImageOperation>
    requestImage(const QUrl& url, images::RemoteImageOptions, const images::RemoteImageContext&,
                 images::ImageLoaderProgressBlock progress,
                 images::ImageLoaderCompletedBlock completed) override {
        auto operation = std::make_shared<Operation>();
        std::lock_guard lock(m_mutex);
        m_requests.push_back({url, std::move(progress), std::move(completed), operation});
        return operation;
    }
    bool shouldBlockFailedURL(const QUrl&, const images::ImageError&, images::RemoteImageOptions,
                              const images::RemoteImageContext&) override {
        return false;
    }

    int requestCount(const QUrl& url) const {
        std::lock_guard lock(m_mutex);
        int count = 0;
        for (const Request& request : m_requests) {
            count += request.url == url ? 1 : 0;
        }
        return count;
    }
    // Lets go of the blocks never called, which hold the manager that holds this loader.
    void forgetRequests() {
        std::lock_guard lock(m_mutex);
        for (Request& request : m_requests) {
            request.progress = nullptr;
            request.completed = nullptr;
        }
    }
    // The latest request for `url`; call only once there is one.
    Request latest(const QUrl& url) const {
        std::lock_guard lock(m_mutex);
        for (auto it = m_requests.rbegin(); it != m_requests.rend(); ++it) {
            if (it->url == url) {
                return *it;
            }
        }
        return {};
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Request> m_requests;
};

} // namespace velmora::test
