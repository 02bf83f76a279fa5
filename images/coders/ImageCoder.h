#pragma once

#include "images/coders/ImageFrame.h"
#include "images/core/DecodeOptions.h"
#include "images/core/EncodeOptions.h"
#include "images/core/Image.h"
#include "images/core/ImageFormat.h"

#include <QByteArray>
#include <QList>

namespace velmora::images {

// A coder turns data of the formats it claims into images and back. Coders are shared
// objects used from any thread at once; a failure is a null image or null data, never an
// exception.
class ImageCoder {
public:
    virtual ~ImageCoder() = default;

    // Whether this coder claims the data. A registry gives claimed data to this coder only.
    virtual bool canDecodeFromData(const QByteArray& data) = 0;
    virtual Image decodedImageWithData(const QByteArray& data, const DecodeOptions& options) = 0;
    // Whether this coder claims any data at all, whatever it is (the general still-image coder):
    // a registry gives it no vector document, which goes to its own coder by what the bytes are.
    virtual bool claimsEveryInput() const { return false; }

    virtual bool canEncodeToFormat(ImageFormat format) = 0;
    virtual QByteArray encodedDataWithImage(const Image& image, ImageFormat format,
                                            const EncodeOptions& options) = 0;

    // Encoding a list of frames is optional: a coder that can do it says so here.
    virtual bool canEncodeFrames() const { return false; }
    virtual QByteArray encodedDataWithFrames(const QList<ImageFrame>& frames, unsigned loopCount,
                                             ImageFormat format, const EncodeOptions& options) {
        Q_UNUSED(frames);
        Q_UNUSED(loopCount);
        Q_UNUSED(format);
        Q_UNUSED(options);
        return {};
    }
};

} // namespace velmora::images
