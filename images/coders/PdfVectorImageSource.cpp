#include "images/coders/PdfVectorImageSource.h"

#include "images/coders/VectorDrawingCost.h"
#include "images/core/Image.h"

#include <QBuffer>
#include <QHash>
#include <QPainter>
#include <QPdfDocument>
#include <QRegularExpression>

#include <cmath>
#include <mutex>

namespace velmora::images {

namespace {

// The PDF library behind QtPdf is not safe to enter from two threads at once.
std::mutex& pdfMutex() {
    static std::mutex mutex;
    return mutex;
}

} // namespace

// Made, used and destroyed under the PDF lock only, from whichever thread holds it: it must not
// belong to a thread that may end first.
struct PdfVectorImageSource::Document {
    QBuffer buffer;
    QPdfDocument document;

    explicit Document(const QByteArray& data) {
        buffer.setData(data);
        buffer.open(QIODevice::ReadOnly);
        document.load(&buffer);
        document.moveToThread(nullptr);
        buffer.moveToThread(nullptr);
    }
    bool ok() const { return document.status() == QPdfDocument::Status::Ready; }
};

bool PdfVectorImageSource::declaresOnlyEmptyBoxes(const QByteArray& data) {
    static const QRegularExpression box(
        QStringLiteral(R"(/MediaBox\s*\[\s*(-?[\d.]+)\s+(-?[\d.]+)\s+(-?[\d.]+)\s+(-?[\d.]+)\s*\])"));
    bool found = false;
    auto matches = box.globalMatch(QString::fromLatin1(data));
    while (matches.hasNext()) {
        const auto match = matches.next();
        found = true;
        const double width = std::abs(match.captured(3).toDouble() - match.captured(1).toDouble());
        const double height = std::abs(match.captured(4).toDouble() - match.captured(2).toDouble());
        if (width > 0 && height > 0) {
            return false;
        }
    }
    return found;
}

bool PdfVectorImageSource::pageTreeHasCycle(const QByteArray& data) {
    static const QRegularExpression object(QStringLiteral(R"((\d+)\s+\d+\s+obj\b(.*?)\bendobj\b)"),
                                           QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression kids(QStringLiteral(R"(/Kids\s*\[([^\]]*)\])"));
    static const QRegularExpression reference(QStringLiteral(R"((\d+)\s+\d+\s+R\b)"));
    QHash<qint64, QList<qint64>> children;
    auto objects = object.globalMatch(QString::fromLatin1(data));
    while (objects.hasNext()) {
        const auto match = objects.next();
        const auto list = kids.match(match.capturedView(2));
        if (!list.hasMatch()) {
            continue;
        }
        QList<qint64>& own = children[match.capturedView(1).toLongLong()];
        auto references = reference.globalMatch(list.capturedView(1));
        while (references.hasNext()) {
            own.append(references.next().capturedView(1).toLongLong());
        }
    }
    // Depth-first, without recursion: 1 while a node is on the path, 2 once it is done.
    QHash<qint64, int> state;
    for (auto root = children.cbegin(); root != children.cend(); ++root) {
        if (state.value(root.key()) != 0) {
            continue;
        }
        QList<std::pair<qint64, qsizetype>> path{{root.key(), 0}};
        state[root.key()] = 1;
        while (!path.isEmpty()) {
            auto& [node, next] = path.last();
            const QList<qint64> below = children.value(node);
            if (next == below.size()) {
                state[node] = 2;
                path.removeLast();
                continue;
            }
            const qint64 child = below.at(next++);
            const int seen = state.value(child);
            if (seen == 1) {
                return true;
            }
            if (seen == 0 && children.contains(child)) {
                state[child] = 1;
                path.append({child, 0});
            }
        }
    }
    return false;
}

PdfVectorImageSource::PdfVectorImageSource(QByteArray data, int pageIndex, QSizeF pageSize,
                                           std::unique_ptr<Document> document)
    : m_data(std::move(data)), m_pageIndex(pageIndex), m_pageSize(pageSize), m_document(std::move(document)) {
}

PdfVectorImageSource::~PdfVectorImageSource() {
    std::lock_guard lock(pdfMutex());
    m_document.reset();
}

std::unique_ptr<PdfVectorImageSource::Document> PdfVectorImageSource::load(const QByteArray& data,
                                                                           int pageIndex, QSizeF* pageSize) {
    if (data.isEmpty() || pageIndex < 0 || pageTreeHasCycle(data) ||
        !VectorDrawingCost::pdfWithinBound(data)) {
        return nullptr;
    }
    auto loaded = std::make_unique<Document>(data);
    if (!loaded->ok() || pageIndex >= loaded->document.pageCount()) {
        return nullptr;
    }
    const QSizeF size = loaded->document.pagePointSize(pageIndex);
    if (!(size.width() > 0) || !(size.height() > 0) || declaresOnlyEmptyBoxes(data)) {
        return nullptr;
    }
    *pageSize = size;
    return loaded;
}

std::shared_ptr<PdfVectorImageSource> PdfVectorImageSource::create(const QByteArray& data, int pageIndex) {
    std::lock_guard lock(pdfMutex());
    QSizeF size;
    auto document = load(data, pageIndex, &size);
    if (!document) {
        return nullptr;
    }
    return std::shared_ptr<PdfVectorImageSource>(
        new PdfVectorImageSource(data, pageIndex, size, std::move(document)));
}

QSizeF PdfVectorImageSource::pageSize(const QByteArray& data, int pageIndex) {
    std::lock_guard lock(pdfMutex());
    QSizeF size;
    return load(data, pageIndex, &size) ? size : QSizeF();
}

QImage PdfVectorImageSource::renderPage(const QSize& pixelSize) const {
    if (!fitsPixelBudget(pixelSize)) {
        return {};
    }
    std::lock_guard lock(pdfMutex());
    return m_document->document.render(m_pageIndex, pixelSize);
}

void PdfVectorImageSource::render(QPainter& painter, const QRectF& target) const {
    const QRectF device = painter.transform().mapRect(target);
    const QSize pixels(std::max(1, int(std::ceil(device.width()))),
                       std::max(1, int(std::ceil(device.height()))));
    const QImage page = renderPage(pixels);
    if (!page.isNull()) {
        painter.drawImage(target, page);
    }
}

} // namespace velmora::images
