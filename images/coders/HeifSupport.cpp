#include "images/coders/HeifSupport.h"

#include <libheif/heif.h>

#include <cstring>
#include <memory>

namespace velmora::images {

namespace {

void initialiseOnce() {
    // Loads libheif's plugins; made once for the process and never undone, since a decode may
    // run on any thread at any time.
    static const bool initialised = [] {
        heif_init(nullptr);
        return true;
    }();
    (void)initialised;
}

struct ContextDeleter {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleDeleter {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageDeleter {
    void operator()(heif_image* image) const { heif_image_release(image); }
};
struct EncoderDeleter {
    void operator()(heif_encoder* encoder) const { heif_encoder_release(encoder); }
};

using Context = std::unique_ptr<heif_context, ContextDeleter>;
using Handle = std::unique_ptr<heif_image_handle, HandleDeleter>;
using HeifImage = std::unique_ptr<heif_image, ImageDeleter>;

Handle primaryHandle(const Context& context, const QByteArray& data) {
    if (!context || data.isEmpty()) {
        return nullptr;
    }
    if (heif_context_read_from_memory_without_copy(context.get(), data.constData(), size_t(data.size()),
                                                   nullptr)
            .code != heif_error_Ok) {
        return nullptr;
    }
    heif_image_handle* handle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &handle).code != heif_error_Ok) {
        return nullptr;
    }
    return Handle(handle);
}

} // namespace

bool HeifSupport::canDecode() {
    initialiseOnce();
    return heif_have_decoder_for_format(heif_compression_HEVC) != 0;
}

bool HeifSupport::canEncode() {
    initialiseOnce();
    return heif_have_encoder_for_format(heif_compression_HEVC) != 0;
}

QSize HeifSupport::size(const QByteArray& data) {
    initialiseOnce();
    Context context(heif_context_alloc());
    const Handle handle = primaryHandle(context, data);
    if (!handle) {
        return {};
    }
    return QSize(heif_image_handle_get_width(handle.get()), heif_image_handle_get_height(handle.get()));
}

QImage HeifSupport::decode(const QByteArray& data) {
    initialiseOnce();
    Context context(heif_context_alloc());
    const Handle handle = primaryHandle(context, data);
    if (!handle) {
        return {};
    }
    heif_image* decoded = nullptr;
    if (heif_decode_image(handle.get(), &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr)
            .code != heif_error_Ok) {
        return {};
    }
    const HeifImage image(decoded);
    const int width = heif_image_get_width(decoded, heif_channel_interleaved);
    const int height = heif_image_get_height(decoded, heif_channel_interleaved);
    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(decoded, heif_channel_interleaved, &stride);
    if (!plane || width <= 0 || height <= 0 || stride < width * 4) {
        return {};
    }
    QImage result(width, height, QImage::Format_RGBA8888);
    if (result.isNull()) {
        return {};
    }
    for (int y = 0; y < height; ++y) {
        std::memcpy(result.scanLine(y), plane + qsizetype(y) * stride, size_t(width) * 4);
    }
    if (!heif_image_handle_has_alpha_channel(handle.get())) {
        return result.convertToFormat(QImage::Format_RGB32);
    }
    return result.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QByteArray HeifSupport::encode(const QImage& source, double quality) {
    if (source.isNull() || !canEncode()) {
        return {};
    }
    Context context(heif_context_alloc());
    heif_encoder* rawEncoder = nullptr;
    if (heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &rawEncoder).code !=
        heif_error_Ok) {
        return {};
    }
    const std::unique_ptr<heif_encoder, EncoderDeleter> encoder(rawEncoder);
    heif_encoder_set_lossy_quality(encoder.get(), int(std::clamp(quality, 0.0, 1.0) * 100.0 + 0.5));

    const bool alpha = source.hasAlphaChannel();
    const QImage rgba = source.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    heif_image* rawImage = nullptr;
    if (heif_image_create(rgba.width(), rgba.height(), heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &rawImage)
            .code != heif_error_Ok) {
        return {};
    }
    const HeifImage image(rawImage);
    if (heif_image_add_plane(rawImage, heif_channel_interleaved, rgba.width(), rgba.height(), 8).code !=
        heif_error_Ok) {
        return {};
    }
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(rawImage, heif_channel_interleaved, &stride);
    const size_t rowBytes = size_t(rgba.width()) * (alpha ? 4 : 3);
    for (int y = 0; y < rgba.height(); ++y) {
        std::memcpy(plane + qsizetype(y) * stride, rgba.constScanLine(y), rowBytes);
    }
    if (heif_context_encode_image(context.get(), rawImage, encoder.get(), nullptr, nullptr).code !=
        heif_error_Ok) {
        return {};
    }
    QByteArray output;
    heif_writer writer{};
    writer.writer_api_version = 1;
    writer.write = [](heif_context*, const void* data, size_t size, void* userdata) {
        static_cast<QByteArray*>(userdata)->append(static_cast<const char*>(data), qsizetype(size));
        return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
    };
    if (heif_context_write(context.get(), &writer, &output).code != heif_error_Ok) {
        return {};
    }
    return output;
}

} // namespace velmora::images
