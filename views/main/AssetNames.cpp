#include "views/main/AssetNames.h"

#include <QFile>
#include <QIconEngine>
#include <QPainter>
#include <QSvgRenderer>

#include <memory>
#include <utility>
#include <vector>

static void initialiseVelmoraResources() {
    Q_INIT_RESOURCE(velmora);
}

namespace velmora {

void Assets::initialise() {
    static const bool done = [] {
        initialiseVelmoraResources();
        return true;
    }();
    Q_UNUSED(done);
}

QString Assets::imagePath(const QString& name) {
    initialise();
    const QString path = QStringLiteral(":/assets/") + name + QStringLiteral(".svg");
    return QFile::exists(path) ? path : QString();
}

namespace {
// Draws the bundled SVG at any size with the SVG renderer we link anyway, instead of
// the icon and image plugins, which Qt would load (all of them) on first use. The
// drawing is parsed once, and each size drawn once: every window made asks for the
// app's icon at the same four sizes, before it can show. The mode and state don't
// change the drawing. Main thread only, as pixmaps are.
class SvgAssetEngine : public QIconEngine {
public:
    explicit SvgAssetEngine(QString path) : m_path(std::move(path)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        renderer().render(painter, rect);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        for (const auto& [drawnSize, drawn] : m_drawn) {
            if (drawnSize == size) {
                return drawn;
            }
        }
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        {
            QPainter painter(&pixmap);
            paint(&painter, QRect(QPoint(), size), mode, state);
        }
        // A few sizes are asked for again and again; any others are not kept for long.
        if (m_drawn.size() >= keptSizes) {
            m_drawn.erase(m_drawn.begin());
        }
        m_drawn.emplace_back(size, pixmap);
        return pixmap;
    }
    QIconEngine* clone() const override { return new SvgAssetEngine(m_path); }

private:
    static constexpr std::size_t keptSizes = 8;

    QSvgRenderer& renderer() {
        if (!m_renderer) {
            m_renderer = std::make_unique<QSvgRenderer>(m_path);
        }
        return *m_renderer;
    }

    QString m_path;
    std::unique_ptr<QSvgRenderer> m_renderer;
    std::vector<std::pair<QSize, QPixmap>> m_drawn;
};
} // namespace

QIcon Assets::icon(const QString& name) {
    const QString path = imagePath(name);
    return path.isEmpty() ? QIcon() : QIcon(new SvgAssetEngine(path));
}

QPixmap Assets::pixmap(const QString& name, const QSize& size) {
    const QString path = imagePath(name);
    if (path.isEmpty()) {
        return {};
    }
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    QSvgRenderer(path).render(&painter, QRectF(QPointF(), size));
    return pixmap;
}

QColor Assets::color(const QString& name) {
    if (name == AssetNames::accentColor) {
        // The app's own blue; the same in light and dark appearance.
        return QColor(0x2f, 0x6f, 0xeb);
    }
    return {};
}

} // namespace velmora
