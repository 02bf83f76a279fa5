#pragma once

#include "images/coders/ImageCoder.h"
#include "images/coders/ImageCodersManager.h"

#include <condition_variable>
#include <mutex>

namespace velmora::images::testing {

// A coder that holds every decode at a gate until it is let go, then decodes as the shared coders
// do: a test holds the decode places meanwhile, or lets a caller join.
class GateCoder : public ImageCoder {
public:
    bool canDecodeFromData(const QByteArray&) override { return true; }
    Image decodedImageWithData(const QByteArray& data, const DecodeOptions& options) override {
        {
            std::unique_lock lock(mutex);
            ++entered;
            changed.notify_all();
            changed.wait(lock, [&] { return open; });
        }
        Image image = ImageCodersManager::sharedManager()->decodedImageWithData(data, options);
        std::lock_guard lock(mutex);
        ++left;
        return image;
    }
    bool canEncodeToFormat(ImageFormat) override { return false; }
    QByteArray encodedDataWithImage(const Image&, ImageFormat, const EncodeOptions&) override { return {}; }

    void letGo() {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
    int enteredCount() {
        std::lock_guard lock(mutex);
        return entered;
    }
    // Decodes that have ended.
    int leftCount() {
        std::lock_guard lock(mutex);
        return left;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int entered = 0;
    int left = 0;
};

} // namespace velmora::images::testing
