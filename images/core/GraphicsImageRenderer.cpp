#include "images/core/GraphicsImageRenderer.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QScreen>
#include <QThread>

#include <atomic>
#include <climits>
#include <cmath>
#include <memory>
#include <vector>

namespace velmora::images {

namespace {

struct DrawingContext {
    QImage bitmap;
    std::unique_ptr<QPainter> painter;
    double scale = 0;
};

thread_local std::vector<std::unique_ptr<DrawingContext>> contexts;

} // namespace

double mainScreenScale() {
    // Screens belong to the GUI thread; elsewhere the scale asked for at start-up is used.
    static std::atomic<double> cached{0.0};
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
        app && QThread::currentThread() == app->thread()) {
        const QScreen* screen = QGuiApplication::primaryScreen();
        const double scale = screen ? screen->devicePixelRatio() : 0.0;
        cached = scale > 0 ? scale : 1.0;
    }
    const double scale = cached;
    return scale > 0 ? scale : 1.0;
}

GraphicsImageRendererFormat::GraphicsImageRendererFormat() : scale(mainScreenScale()) {}

GraphicsImageRenderer::GraphicsImageRenderer(const QSizeF& size, GraphicsImageRendererFormat format)
    : m_size(size), m_format(format) {}

Image GraphicsImageRenderer::imageWithActions(const std::function<void(QPainter&)>& actions) const {
    if (!graphicsBeginImageContext(m_format.opaque, m_size, m_format.scale)) {
        return {};
    }
    if (actions) {
        actions(*graphicsCurrentContext());
    }
    // The context ends here, so its bitmap is handed out as it is rather than copied.
    std::unique_ptr<DrawingContext> context = std::move(contexts.back());
    contexts.pop_back();
    context->painter->end();
    return Image(std::move(context->bitmap), context->scale > 0 ? context->scale : mainScreenScale());
}

bool graphicsBeginImageContext(bool opaque, const QSizeF& size, double scale) {
    const double effectiveScale = scale > 0 ? scale : mainScreenScale();
    const double width = std::ceil(size.width() * effectiveScale);
    const double height = std::ceil(size.height() * effectiveScale);
    if (!(width >= 1) || !(height >= 1) || width > INT_MAX || height > INT_MAX ||
        !fitsPixelBudget(qint64(width), qint64(height))) {
        return false;
    }
    auto context = std::make_unique<DrawingContext>();
    context->bitmap = QImage(static_cast<int>(width), static_cast<int>(height),
                             opaque ? QImage::Format_RGB32 : QImage::Format_ARGB32_Premultiplied);
    if (context->bitmap.isNull()) {
        return false;
    }
    context->bitmap.fill(opaque ? Qt::white : Qt::transparent);
    context->scale = scale;
    context->painter = std::make_unique<QPainter>(&context->bitmap);
    context->painter->setRenderHint(QPainter::Antialiasing);
    context->painter->setRenderHint(QPainter::SmoothPixmapTransform);
    context->painter->scale(effectiveScale, effectiveScale);
    contexts.push_back(std::move(context));
    return true;
}

QPainter* graphicsCurrentContext() {
    return contexts.empty() ? nullptr : contexts.back()->painter.get();
}

Image graphicsImageFromCurrentContext() {
    if (contexts.empty()) {
        return {};
    }
    const DrawingContext& context = *contexts.back();
    // A copy, so that drawing on after this call does not change the image handed out.
    QImage copy = context.bitmap.copy();
    return Image(copy, context.scale > 0 ? context.scale : mainScreenScale());
}

void graphicsEndImageContext() {
    if (!contexts.empty()) {
        contexts.back()->painter->end();
        contexts.pop_back();
    }
}

} // namespace velmora::images
