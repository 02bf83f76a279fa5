#pragma once

#include "images/coders/AnimatedFrameSource.h"
#include "images/coders/AnimatedImageCoder.h"
#include "images/coders/ProgressiveImageCoder.h"

#include <QList>
#include <QSizeF>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace velmora::images {

// The common base of the coders of animated formats (GIF, animated PNG, animated WebP, HEIC):
// it decodes whole data to one image (an animation or a still), partial data during a download,
// single frames on demand for an animated image, and encodes frames back. A format class only
// says which format it is and how frames are written. The shared instance of a format class
// keeps no state; progressive and animated decodes make instances of their own.
class ImageIOAnimatedCoder : public ProgressiveImageCoder, public AnimatedImageCoder {
public:
    ~ImageIOAnimatedCoder() override;

    virtual ImageFormat imageFormat() const = 0;
    virtual QString imageUTType() const = 0;
    // The loop count of data that stores none.
    virtual unsigned defaultLoopCount() const = 0;

    bool canDecodeFromData(const QByteArray& data) override;
    Image decodedImageWithData(const QByteArray& data, const DecodeOptions& options) override;
    bool canEncodeToFormat(ImageFormat format) override;
    QByteArray encodedDataWithImage(const Image& image, ImageFormat format,
                                    const EncodeOptions& options) override;
    bool canEncodeFrames() const override { return true; }
    QByteArray encodedDataWithFrames(const QList<ImageFrame>& frames, unsigned loopCount, ImageFormat format,
                                     const EncodeOptions& options) override;

    bool canIncrementalDecodeFromData(const QByteArray& data) override;
    std::shared_ptr<ProgressiveImageCoder> createIncrementalCoder(const DecodeOptions& options) override;
    void updateIncrementalData(const QByteArray& data, bool finished) override;
    Image incrementalDecodedImageWithOptions(const DecodeOptions& options) override;

    std::shared_ptr<AnimatedImageCoder> createAnimatedCoder(const QByteArray& data,
                                                            const DecodeOptions& options) override;
    QByteArray animatedImageData() override;
    unsigned animatedImageFrameCount() override;
    unsigned animatedImageLoopCount() override;
    Image animatedImageFrameAtIndex(unsigned index) override;
    double animatedImageDurationAtIndex(unsigned index) override;

    // Seconds a frame stays: its stored delay, 0.1 s without one, and 0.1 s for anything below
    // 0.011 s (so 0 and 0.01 s play as 0.1 s).
    static double frameDuration(std::optional<double> storedDelay);
    // The frame at the index of a source at a scale, as a thumbnail when the frame exceeds a
    // non-empty thumbnail size (fitted when the aspect ratio is kept, else exactly that size).
    static Image createFrame(AnimatedFrameSource& source, int index, double scale, bool preserveAspectRatio,
                             const QSizeF& thumbnailSize, bool lazyDecode);

protected:
    ImageIOAnimatedCoder();
    // A new coder of the same format, for one progressive or animated decode.
    virtual std::shared_ptr<ImageIOAnimatedCoder> newInstance() const = 0;
    // The frames written in this format (at least one, already sized).
    virtual QByteArray writeFrames(const QList<ImageFrame>& frames, unsigned loopCount,
                                   const EncodeOptions& options) = 0;
    // Which sniffed format this coder decodes; by default its own.
    virtual bool decodesFormat(ImageFormat format) const { return format == imageFormat(); }

private:
    struct State;
    void readOptions(const DecodeOptions& options, bool lazyDefault);
    // The source and frame scan of the data; false when the data gives no frame.
    bool scan(const QByteArray& data);
    // Frame `index` of the scanned source, drawn with the coder's settings (at `scale` when given,
    // else the coder's scale) and marked with the coder's format; null when the coder has no
    // source or, asked under the same lock, `ready` says there is nothing to draw yet.
    Image frameOfSource(int index, std::optional<double> scale,
                        const std::function<bool(const State&)>& ready);

    std::unique_ptr<State> m_state;
};

} // namespace velmora::images
