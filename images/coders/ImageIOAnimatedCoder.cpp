#include "images/coders/ImageIOAnimatedCoder.h"

#include "images/coders/ImageCoderHelper.h"
#include "images/coders/ImageIOCoder.h"

#include <cmath>
#include <limits>

namespace velmora::images {

namespace {

// The size a frame of `size` is brought down to for a thumbnail: fitted when the aspect ratio
// is kept, else exactly the thumbnail's.
QSize thumbnailTarget(const QSizeF& size, const QSizeF& thumbnail, bool preserveAspectRatio) {
    if (preserveAspectRatio) {
        const QSizeF fitted = ImageCoderHelper::scaledSize(size, thumbnail, true, false);
        return QSize(std::max(1, int(fitted.width())), std::max(1, int(fitted.height())));
    }
    return QSize(int(std::round(thumbnail.width())), int(std::round(thumbnail.height())));
}

// The bytes all frames of the source take when decoded at the size asked for.
quint64 keptFramesBytes(const AnimatedFrameSource& source, const QSizeF& thumbnail, bool preserve) {
    QSizeF frame = QSizeF(source.canvasSize());
    if (thumbnail.width() > 0 && thumbnail.height() > 0 &&
        (frame.width() > thumbnail.width() || frame.height() > thumbnail.height())) {
        frame = preserve ? ImageCoderHelper::scaledSize(frame, thumbnail, true, false) : thumbnail;
    }
    const double bytes = std::ceil(frame.width()) * std::ceil(frame.height()) * 4.0 * source.frameCount();
    return bytes >= 1.8e19 ? std::numeric_limits<quint64>::max() : quint64(bytes);
}

} // namespace

struct ImageIOAnimatedCoder::State {
    std::mutex mutex;
    bool incremental = false;
    bool finished = false;
    QByteArray data;
    std::shared_ptr<AnimatedFrameSource> source;
    quint64 width = 0;
    quint64 height = 0;
    double scale = 1.0;
    bool preserveAspectRatio = true;
    QSizeF thumbnailSize;
    quint64 limitBytes = 0;
    bool lazyDecode = false;
    unsigned loopCount = 0;
    QList<double> durations;
};

ImageIOAnimatedCoder::ImageIOAnimatedCoder() = default;
ImageIOAnimatedCoder::~ImageIOAnimatedCoder() = default;

double ImageIOAnimatedCoder::frameDuration(std::optional<double> storedDelay) {
    if (!storedDelay || !std::isfinite(*storedDelay)) {
        return 0.1;
    }
    return *storedDelay < 0.011 ? 0.1 : *storedDelay;
}

Image ImageIOAnimatedCoder::createFrame(AnimatedFrameSource& source, int index, double scale,
                                        bool preserveAspectRatio, const QSizeF& thumbnailSize,
                                        bool lazyDecode) {
    // The first frame of a canvas too large to compose comes at the size asked for, from a source
    // that can bring it down without holding the canvas.
    QImage bitmap;
    const QSize canvas = source.canvasSize();
    if (index == 0 && !AnimatedFrameSource::fitsCompositionBudget(canvas) && thumbnailSize.width() > 0 &&
        thumbnailSize.height() > 0 &&
        (canvas.width() > thumbnailSize.width() || canvas.height() > thumbnailSize.height())) {
        bitmap =
            source.firstFrameScaledTo(thumbnailTarget(QSizeF(canvas), thumbnailSize, preserveAspectRatio));
    }
    if (bitmap.isNull()) {
        bitmap = source.frameAt(index);
    }
    if (bitmap.isNull()) {
        return {};
    }
    const double width = bitmap.width();
    const double height = bitmap.height();
    const double thumbWidth = thumbnailSize.width();
    const double thumbHeight = thumbnailSize.height();
    if (thumbWidth > 0 && thumbHeight > 0 && width > 0 && height > 0 &&
        (width > thumbWidth || height > thumbHeight)) {
        const QSize target = thumbnailTarget(QSizeF(width, height), thumbnailSize, preserveAspectRatio);
        const QImage scaled = ImageCoderHelper::createScaled(bitmap, target);
        if (!scaled.isNull()) {
            bitmap = scaled;
        }
    }
    if (!lazyDecode) {
        bitmap = bitmap.convertToFormat(ImageCoderHelper::preferredPixelFormat(bitmap.hasAlphaChannel()));
    }
    Image image(bitmap, scale);
    image.setDecoded(!lazyDecode);
    return image;
}

void ImageIOAnimatedCoder::readOptions(const DecodeOptions& options, bool lazyDefault) {
    if (!m_state) {
        m_state = std::make_unique<State>();
    }
    State& state = *m_state;
    state.scale = (options.scaleFactor.hasValue() && options.scaleFactor.value() >= 1)
                      ? options.scaleFactor.value()
                      : 1.0;
    state.thumbnailSize = options.thumbnailPixelSize.valueOr(QSizeF());
    state.preserveAspectRatio = options.preserveAspectRatio.valueOr(true);
    state.limitBytes = options.scaleDownLimitBytes.valueOr(0);
    state.lazyDecode = options.useLazyDecoding.valueOr(lazyDefault);
}

bool ImageIOAnimatedCoder::scan(const QByteArray& data) {
    State& state = *m_state;
    state.data = data;
    state.source = AnimatedFrameSource::create(imageFormatForImageData(data), data);
    if (!state.source || state.source->frameCount() == 0) {
        state.source.reset();
        state.durations.clear();
        return false;
    }
    state.loopCount = state.source->loopCount().value_or(defaultLoopCount());
    state.durations.clear();
    for (int i = 0; i < state.source->frameCount(); ++i) {
        state.durations.append(frameDuration(state.source->frameDelay(i)));
    }
    const QSize canvas = state.source->canvasSize();
    state.width = quint64(std::max(canvas.width(), 0));
    state.height = quint64(std::max(canvas.height(), 0));
    if (state.limitBytes > 0) {
        state.thumbnailSize = ImageCoderHelper::scaledSize(QSizeF(canvas), state.limitBytes, 4,
                                                           unsigned(state.durations.size()));
        state.preserveAspectRatio = true;
    }
    return true;
}

bool ImageIOAnimatedCoder::canDecodeFromData(const QByteArray& data) {
    return decodesFormat(imageFormatForImageData(data));
}

bool ImageIOAnimatedCoder::canIncrementalDecodeFromData(const QByteArray& data) {
    return canDecodeFromData(data);
}

bool ImageIOAnimatedCoder::canEncodeToFormat(ImageFormat format) {
    return format == imageFormat();
}

Image ImageIOAnimatedCoder::decodedImageWithData(const QByteArray& data, const DecodeOptions& options) {
    if (data.isEmpty()) {
        return {};
    }
    const double scale = (options.scaleFactor.hasValue() && options.scaleFactor.value() >= 1)
                             ? options.scaleFactor.value()
                             : 1.0;
    QSizeF thumbnail = options.thumbnailPixelSize.valueOr(QSizeF());
    bool preserve = options.preserveAspectRatio.valueOr(true);
    const bool lazy = options.useLazyDecoding.valueOr(true);
    const quint64 limit = options.scaleDownLimitBytes.valueOr(0);
    const bool firstFrameOnly = options.firstFrameOnly.valueOr(false);

    Image result;
    if (limit == 0 && (thumbnail.width() <= 0 || thumbnail.height() <= 0) && !firstFrameOnly) {
        // The whole animation stays encoded; its frames are decoded when they are shown.
        auto animated = std::dynamic_pointer_cast<ImageIOAnimatedCoder>(createAnimatedCoder(data, options));
        if (animated && animated->animatedImageFrameCount() > 1) {
            const Image poster = animated->animatedImageFrameAtIndex(0);
            if (!poster.isNull()) {
                result = Image(poster.bitmap(), scale, animated);
                result.setImageFormat(imageFormat());
                return result;
            }
        }
    }

    const auto source = AnimatedFrameSource::create(imageFormatForImageData(data), data);
    if (!source || source->frameCount() == 0) {
        return {};
    }
    const int count = source->frameCount();
    if (limit > 0) {
        thumbnail = ImageCoderHelper::scaledSize(QSizeF(source->canvasSize()), limit, 4, unsigned(count));
        preserve = true;
    }
    // A canvas too large to compose frame by frame plays as its first frame.
    const bool playable = count > 1 && AnimatedFrameSource::fitsCompositionBudget(source->canvasSize());
    if (!firstFrameOnly && playable &&
        keptFramesBytes(*source, thumbnail, preserve) > AnimatedFrameSource::keptFramesByteBudget) {
        // Too many frames to keep decoded: they are decoded when shown, at the size asked for.
        auto animated = std::dynamic_pointer_cast<ImageIOAnimatedCoder>(createAnimatedCoder(data, options));
        const Image poster = animated ? animated->animatedImageFrameAtIndex(0) : Image();
        if (poster.isNull()) {
            return {};
        }
        result = Image(poster.bitmap(), scale, animated);
        result.setImageFormat(imageFormat());
        return result;
    }
    if (!firstFrameOnly && playable) {
        QList<ImageFrame> frames;
        for (int i = 0; i < count; ++i) {
            const Image frame = createFrame(*source, i, scale, preserve, thumbnail, false);
            if (!frame.isNull()) {
                frames.append({frame, frameDuration(source->frameDelay(i))});
            }
        }
        result = ImageCoderHelper::animatedImageWithFrames(frames,
                                                           source->loopCount().value_or(defaultLoopCount()));
    } else {
        result = createFrame(*source, 0, scale, preserve, thumbnail, lazy);
    }
    if (!result.isNull()) {
        result.setImageFormat(imageFormat());
    }
    return result;
}

std::shared_ptr<ProgressiveImageCoder>
ImageIOAnimatedCoder::createIncrementalCoder(const DecodeOptions& options) {
    auto coder = newInstance();
    coder->readOptions(options, false);
    coder->m_state->incremental = true;
    return coder;
}

void ImageIOAnimatedCoder::updateIncrementalData(const QByteArray& data, bool finished) {
    Q_ASSERT_X(m_state && m_state->incremental, "updateIncrementalData",
               "Invalid parameter not satisfying: _incremental");
    if (!m_state || !m_state->incremental) {
        return;
    }
    std::lock_guard lock(m_state->mutex);
    if (m_state->finished) {
        return;
    }
    m_state->finished = finished;
    scan(data);
}

Image ImageIOAnimatedCoder::incrementalDecodedImageWithOptions(const DecodeOptions& options) {
    Q_ASSERT_X(m_state && m_state->incremental, "incrementalDecodedImageWithOptions",
               "Invalid parameter not satisfying: _incremental");
    if (!m_state || !m_state->incremental) {
        return {};
    }
    const std::optional<double> scale = options.scaleFactor.hasValue() && options.scaleFactor.value() >= 1
                                            ? std::optional<double>(options.scaleFactor.value())
                                            : std::nullopt;
    return frameOfSource(0, scale, [](const State& state) { return state.width + state.height != 0; });
}

std::shared_ptr<AnimatedImageCoder> ImageIOAnimatedCoder::createAnimatedCoder(const QByteArray& data,
                                                                              const DecodeOptions& options) {
    if (data.isEmpty()) {
        return nullptr;
    }
    auto coder = newInstance();
    coder->readOptions(options, false);
    if (!coder->scan(data)) {
        return nullptr;
    }
    if (coder->m_state->durations.size() > 1 &&
        !AnimatedFrameSource::fitsCompositionBudget(coder->m_state->source->canvasSize())) {
        return nullptr;
    }
    return coder;
}

QByteArray ImageIOAnimatedCoder::animatedImageData() {
    if (!m_state) {
        return {};
    }
    std::lock_guard lock(m_state->mutex);
    return m_state->data;
}

unsigned ImageIOAnimatedCoder::animatedImageFrameCount() {
    if (!m_state) {
        return 0;
    }
    std::lock_guard lock(m_state->mutex);
    return unsigned(m_state->durations.size());
}

unsigned ImageIOAnimatedCoder::animatedImageLoopCount() {
    if (!m_state) {
        return 0;
    }
    std::lock_guard lock(m_state->mutex);
    return m_state->loopCount;
}

double ImageIOAnimatedCoder::animatedImageDurationAtIndex(unsigned index) {
    if (!m_state) {
        return 0;
    }
    std::lock_guard lock(m_state->mutex);
    return index < unsigned(m_state->durations.size()) ? m_state->durations.at(index) : 0.0;
}

Image ImageIOAnimatedCoder::animatedImageFrameAtIndex(unsigned index) {
    if (!m_state) {
        return {};
    }
    return frameOfSource(int(index), std::nullopt,
                         [index](const State& state) { return index < unsigned(state.durations.size()); });
}

Image ImageIOAnimatedCoder::frameOfSource(int index, std::optional<double> scale,
                                          const std::function<bool(const State&)>& ready) {
    std::shared_ptr<AnimatedFrameSource> source;
    double drawnScale = 1.0;
    bool preserve = true;
    QSizeF thumbnail;
    bool lazy = false;
    {
        std::lock_guard lock(m_state->mutex);
        if (!ready(*m_state) || !m_state->source) {
            return {};
        }
        source = m_state->source;
        drawnScale = scale.value_or(m_state->scale);
        preserve = m_state->preserveAspectRatio;
        thumbnail = m_state->thumbnailSize;
        lazy = m_state->lazyDecode;
    }
    Image frame = createFrame(*source, index, drawnScale, preserve, thumbnail, lazy);
    if (!frame.isNull()) {
        frame.setImageFormat(imageFormat());
    }
    return frame;
}

QByteArray ImageIOAnimatedCoder::encodedDataWithImage(const Image& image, ImageFormat format,
                                                      const EncodeOptions& options) {
    if (image.isNull() || !canEncodeToFormat(format)) {
        return {};
    }
    auto frames = ImageCoderHelper::framesFromAnimatedImage(image);
    if (!frames || frames->isEmpty()) {
        frames = QList<ImageFrame>{ImageFrame{image, 0.0}};
    }
    return encodedDataWithFrames(*frames, image.imageLoopCount(), format, options);
}

QByteArray ImageIOAnimatedCoder::encodedDataWithFrames(const QList<ImageFrame>& frames, unsigned loopCount,
                                                       ImageFormat, const EncodeOptions& options) {
    if (frames.isEmpty() || frames.first().image.isNull() || frames.first().image.bitmap().isNull()) {
        return {};
    }
    QList<ImageFrame> written = options.firstFrameOnly.valueOr(false) ? frames.mid(0, 1) : frames;
    const QSize first = frames.first().image.pixelSize();
    const double limit = options.maxPixelSize.hasValue()
                             ? ImageIOCoder::maxPixelSizeLimit(first, options.maxPixelSize.value())
                             : 0;
    if (limit > 0) {
        const double factor = limit / std::max(first.width(), first.height());
        const QSize reduced(std::max(1, int(std::round(first.width() * factor))),
                            std::max(1, int(std::round(first.height() * factor))));
        for (ImageFrame& frame : written) {
            frame.image =
                Image(ImageCoderHelper::createScaled(frame.image.bitmap(), reduced), frame.image.scale());
        }
    }
    return writeFrames(written, loopCount, options);
}

} // namespace velmora::images
