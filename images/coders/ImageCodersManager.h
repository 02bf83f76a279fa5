#pragma once

#include "images/coders/ImageCoder.h"

#include <QList>

#include <memory>
#include <mutex>

namespace velmora::images {

// The registry through which all decoding and encoding goes. It is itself a coder and asks its
// coders from the last added to the first, so an added coder goes before the default ones; the
// first coder that claims the data (or the format) gives the final answer, even when that
// answer is "none". A vector document (a PDF, an SVG) is chosen by what its bytes are, before a
// coder that takes any data (the still-image coder, which never reads one). The list is locked only to copy
// or change it, never while a coder runs.
class ImageCodersManager : public ImageCoder {
public:
    // A registry with the default coders.
    ImageCodersManager();
    static std::shared_ptr<ImageCodersManager> sharedManager();
    // The default coders, in order of registration (so the first is asked last).
    static QList<std::shared_ptr<ImageCoder>> defaultCoders();

    QList<std::shared_ptr<ImageCoder>> coders() const;
    void setCoders(const QList<std::shared_ptr<ImageCoder>>& coders);
    // Null coders are ignored.
    void addCoder(const std::shared_ptr<ImageCoder>& coder);
    void removeCoder(const std::shared_ptr<ImageCoder>& coder);

    bool canDecodeFromData(const QByteArray& data) override;
    Image decodedImageWithData(const QByteArray& data, const DecodeOptions& options) override;
    bool canEncodeToFormat(ImageFormat format) override;
    QByteArray encodedDataWithImage(const Image& image, ImageFormat format,
                                    const EncodeOptions& options) override;
    bool canEncodeFrames() const override { return true; }
    QByteArray encodedDataWithFrames(const QList<ImageFrame>& frames, unsigned loopCount, ImageFormat format,
                                     const EncodeOptions& options) override;

private:
    mutable std::mutex m_mutex;
    QList<std::shared_ptr<ImageCoder>> m_coders;
};

} // namespace velmora::images
