#pragma once

#include "images/coders/ImageCoder.h"

#include <memory>

namespace velmora::images {

// A coder that can show partial data while it arrives. The shared coder makes one
// incremental coder per download; that one is fed all data so far, again and again, and is
// used by one caller at a time.
class ProgressiveImageCoder : public virtual ImageCoder {
public:
    virtual bool canIncrementalDecodeFromData(const QByteArray& data) = 0;
    // A new coder for one progressive decode.
    virtual std::shared_ptr<ProgressiveImageCoder> createIncrementalCoder(const DecodeOptions& options) = 0;
    // All data received so far; once finished, later calls change nothing.
    virtual void updateIncrementalData(const QByteArray& data, bool finished) = 0;
    // The image the data so far gives, or a null image while too little has arrived.
    virtual Image incrementalDecodedImageWithOptions(const DecodeOptions& options) = 0;
};

} // namespace velmora::images
