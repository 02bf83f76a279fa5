#include "images/coders/HeifSupport.h"

#include "images/core/Image.h"

#include <libheif/heif.h>

#include <cstring>
#include <dlfcn.h>
#include <memory>

namespace velmora::images {

namespace {

// libheif and the codecs it maps (HEVC, AV1 and JPEG 2000 decoders and encoders, with their
// thread pools) take about 2 MB of every process that loads them, and few people ever meet a
// HEIF image, so the library is opened the first time one is read or written. When it is
// missing, HEIF is simply not among the formats that can be read.
struct HeifLibrary {
#define VELMORA_HEIF_FUNCTIONS(X)                                                                            \
    X(init, heif_init)                                                                                       \
    X(contextAlloc, heif_context_alloc)                                                                      \
    X(contextFree, heif_context_free)                                                                        \
    X(contextReadFromMemoryWithoutCopy, heif_context_read_from_memory_without_copy)                          \
    X(contextGetPrimaryImageHandle, heif_context_get_primary_image_handle)                                   \
    X(imageHandleRelease, heif_image_handle_release)                                                         \
    X(imageRelease, heif_image_release)                                                                      \
    X(encoderRelease, heif_encoder_release)                                                                  \
    X(haveDecoderForFormat, heif_have_decoder_for_format)                                                    \
    X(haveEncoderForFormat, heif_have_encoder_for_format)                                                    \
    X(imageHandleGetWidth, heif_image_handle_get_width)                                                      \
    X(imageHandleGetHeight, heif_image_handle_get_height)                                                    \
    X(decodeImage, heif_decode_image)                                                                        \
    X(imageGetWidth, heif_image_get_width)                                                                   \
    X(imageGetHeight, heif_image_get_height)                                                                 \
    X(imageGetPlaneReadonly, heif_image_get_plane_readonly)                                                  \
    X(imageHandleHasAlphaChannel, heif_image_handle_has_alpha_channel)                                       \
    X(contextGetEncoderForFormat, heif_context_get_encoder_for_format)                                       \
    X(encoderSetLossyQuality, heif_encoder_set_lossy_quality)                                                \
    X(imageCreate, heif_image_create)                                                                        \
    X(imageAddPlane, heif_image_add_plane)                                                                   \
    X(imageGetPlane, heif_image_get_plane)                                                                   \
    X(contextEncodeImage, heif_context_encode_image)                                                         \
    X(contextWrite, heif_context_write)
#define VELMORA_HEIF_POINTER(member, function) decltype(&::function) member = nullptr;
    VELMORA_HEIF_FUNCTIONS(VELMORA_HEIF_POINTER)
#undef VELMORA_HEIF_POINTER
    bool loaded = false;
};

const HeifLibrary& lib() {
    // Opened once and never closed: a decode may run on any thread at any time.
    static const HeifLibrary library = [] {
        HeifLibrary table;
        void* handle = ::dlopen(VELMORA_HEIF_SONAME, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            return table;
        }
        bool complete = true;
#define VELMORA_HEIF_RESOLVE(member, function)                                                               \
    table.member = reinterpret_cast<decltype(table.member)>(::dlsym(handle, #function));                     \
    complete = complete && table.member;
        VELMORA_HEIF_FUNCTIONS(VELMORA_HEIF_RESOLVE)
#undef VELMORA_HEIF_RESOLVE
        if (complete) {
            // Loads libheif's own plugins.
            table.init(nullptr);
            table.loaded = true;
        }
        return table;
    }();
    return library;
}

struct ContextDeleter {
    void operator()(heif_context* context) const { lib().contextFree(context); }
};
struct HandleDeleter {
    void operator()(heif_image_handle* handle) const { lib().imageHandleRelease(handle); }
};
struct ImageDeleter {
    void operator()(heif_image* image) const { lib().imageRelease(image); }
};
struct EncoderDeleter {
    void operator()(heif_encoder* encoder) const { lib().encoderRelease(encoder); }
};

using Context = std::unique_ptr<heif_context, ContextDeleter>;
using Handle = std::unique_ptr<heif_image_handle, HandleDeleter>;
using HeifImage = std::unique_ptr<heif_image, ImageDeleter>;

Handle primaryHandle(const Context& context, const QByteArray& data) {
    if (!context || data.isEmpty()) {
        return nullptr;
    }
    if (lib()
            .contextReadFromMemoryWithoutCopy(context.get(), data.constData(), size_t(data.size()),
                                                   nullptr)
            .code != heif_error_Ok) {
        return nullptr;
    }
    heif_image_handle* handle = nullptr;
    if (lib().contextGetPrimaryImageHandle(context.get(), &handle).code != heif_error_Ok) {
        return nullptr;
    }
    return Handle(handle);
}

} // namespace

bool HeifSupport::canDecode() {
    return lib().loaded && lib().haveDecoderForFormat(heif_compression_HEVC) != 0;
}

bool HeifSupport::canEncode() {
    return lib().loaded && lib().haveEncoderForFormat(heif_compression_HEVC) != 0;
}

QSize HeifSupport::size(const QByteArray& data) {
    if (!lib().loaded) {
        return {};
    }
    Context context(lib().contextAlloc());
    const Handle handle = primaryHandle(context, data);
    if (!handle) {
        return {};
    }
    return QSize(lib().imageHandleGetWidth(handle.get()), lib().imageHandleGetHeight(handle.get()));
}

QImage HeifSupport::decode(const QByteArray& data) {
    if (!lib().loaded) {
        return {};
    }
    Context context(lib().contextAlloc());
    const Handle handle = primaryHandle(context, data);
    if (!handle ||
        !fitsPixelBudget(lib().imageHandleGetWidth(handle.get()), lib().imageHandleGetHeight(handle.get()))) {
        return {};
    }
    heif_image* decoded = nullptr;
    if (lib()
            .decodeImage(handle.get(), &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr)
            .code != heif_error_Ok) {
        return {};
    }
    const HeifImage image(decoded);
    const int width = lib().imageGetWidth(decoded, heif_channel_interleaved);
    const int height = lib().imageGetHeight(decoded, heif_channel_interleaved);
    int stride = 0;
    const uint8_t* plane = lib().imageGetPlaneReadonly(decoded, heif_channel_interleaved, &stride);
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
    if (!lib().imageHandleHasAlphaChannel(handle.get())) {
        return result.convertToFormat(QImage::Format_RGB32);
    }
    return result.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QByteArray HeifSupport::encode(const QImage& source, double quality) {
    if (source.isNull() || !canEncode()) {
        return {};
    }
    Context context(lib().contextAlloc());
    heif_encoder* rawEncoder = nullptr;
    if (lib().contextGetEncoderForFormat(context.get(), heif_compression_HEVC, &rawEncoder).code !=
        heif_error_Ok) {
        return {};
    }
    const std::unique_ptr<heif_encoder, EncoderDeleter> encoder(rawEncoder);
    lib().encoderSetLossyQuality(encoder.get(), int(std::clamp(quality, 0.0, 1.0) * 100.0 + 0.5));

    const bool alpha = source.hasAlphaChannel();
    const QImage rgba = source.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    heif_image* rawImage = nullptr;
    if (lib()
            .imageCreate(rgba.width(), rgba.height(), heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &rawImage)
            .code != heif_error_Ok) {
        return {};
    }
    const HeifImage image(rawImage);
    if (lib().imageAddPlane(rawImage, heif_channel_interleaved, rgba.width(), rgba.height(), 8).code !=
        heif_error_Ok) {
        return {};
    }
    int stride = 0;
    uint8_t* plane = lib().imageGetPlane(rawImage, heif_channel_interleaved, &stride);
    const size_t rowBytes = size_t(rgba.width()) * (alpha ? 4 : 3);
    for (int y = 0; y < rgba.height(); ++y) {
        std::memcpy(plane + qsizetype(y) * stride, rgba.constScanLine(y), rowBytes);
    }
    if (lib().contextEncodeImage(context.get(), rawImage, encoder.get(), nullptr, nullptr).code !=
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
    if (lib().contextWrite(context.get(), &writer, &output).code != heif_error_Ok) {
        return {};
    }
    return output;
}

} // namespace velmora::images
