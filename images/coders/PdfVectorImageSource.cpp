#include "images/coders/PdfVectorImageSource.h"

#include "images/coders/VectorDrawingCost.h"
#include "images/coders/vector-render/VectorRenderHost.h"
#include "images/core/Image.h"

#include <QHash>
#include <QPainter>
#include <QRegularExpression>

#include <cmath>

namespace velmora::images {

namespace {

bool isPdfSpace(char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\0';
}

bool isPdfBreak(char c) {
    return isPdfSpace(c) || c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' ||
           c == '{' || c == '}' || c == '/' || c == '%';
}

// The PDF's words one after the other: each call moves past one, in time proportional to it.
class WordReader {
public:
    explicit WordReader(QByteArrayView data) : m_data(data) {}

    bool atEnd() {
        while (m_at < m_data.size() && isPdfSpace(m_data.at(m_at))) {
            ++m_at;
        }
        return m_at >= m_data.size();
    }
    // The next word: a run of regular characters, or one delimiter (with a name's characters).
    QByteArrayView next() {
        if (atEnd()) {
            return {};
        }
        const qsizetype start = m_at;
        if (isPdfBreak(m_data.at(m_at))) {
            ++m_at;
            if (m_data.at(start) != '/') {
                return m_data.sliced(start, 1);
            }
        }
        while (m_at < m_data.size() && !isPdfBreak(m_data.at(m_at))) {
            ++m_at;
        }
        return m_data.sliced(start, m_at - start);
    }

private:
    QByteArrayView m_data;
    qsizetype m_at = 0;
};

// A whole number of up to 18 digits, or -1.
qint64 wholeNumber(QByteArrayView word) {
    if (word.isEmpty() || word.size() > 18) {
        return -1;
    }
    qint64 value = 0;
    for (const char c : word) {
        if (c < '0' || c > '9') {
            return -1;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

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
    // Every /Kids array of an object ("N G obj" to "endobj"), read word by word in one pass.
    QHash<qint64, QList<qint64>> children;
    WordReader words(data);
    qint64 current = -1;
    qint64 numbers[2] = {-1, -1};
    while (!words.atEnd()) {
        const QByteArrayView word = words.next();
        const qint64 number = wholeNumber(word);
        if (number >= 0) {
            numbers[0] = numbers[1];
            numbers[1] = number;
            continue;
        }
        if (word == "obj" && numbers[0] >= 0) {
            current = numbers[0];
        } else if (word == "endobj") {
            current = -1;
        } else if (word == "/Kids" && current >= 0) {
            if (words.next() != "[") {
                numbers[0] = numbers[1] = -1;
                continue;
            }
            QList<qint64>& own = children[current];
            qint64 kid[2] = {-1, -1};
            for (QByteArrayView inside = words.next(); !inside.isEmpty() && inside != "]";
                 inside = words.next()) {
                const qint64 value = wholeNumber(inside);
                if (value >= 0) {
                    kid[0] = kid[1];
                    kid[1] = value;
                } else {
                    if (inside == "R" && kid[0] >= 0) {
                        own.append(kid[0]);
                    }
                    kid[0] = kid[1] = -1;
                }
            }
        }
        numbers[0] = numbers[1] = -1;
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
            const QList<qint64>& below = children.find(node).value();
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

PdfVectorImageSource::PdfVectorImageSource(QByteArray data, int pageIndex, QSizeF pageSize)
    : m_data(std::move(data)), m_pageIndex(pageIndex), m_pageSize(pageSize) {}

bool PdfVectorImageSource::passesCheapRefusals(const QByteArray& data, int pageIndex) {
    // What they let through is still drawn within the drawing's budget.
    return !data.isEmpty() && pageIndex >= 0 && !pageTreeHasCycle(data) &&
           VectorDrawingCost::pdfWithinBound(data) && !declaresOnlyEmptyBoxes(data);
}

std::optional<PdfVectorImageSource::Drawing>
PdfVectorImageSource::drawFitted(const QByteArray& data, int pageIndex,
                                 const VectorRenderProtocol::Fit& fit) {
    if (!passesCheapRefusals(data, pageIndex)) {
        return std::nullopt;
    }
    VectorRenderProtocol::Request request;
    request.document = data;
    request.page = pageIndex;
    request.fit = fit;
    const auto answer = VectorRenderHost::ask(request);
    if (!answer || answer->status != VectorRenderProtocol::Status::Drawn || answer->image.isNull()) {
        return std::nullopt;
    }
    // The answer's pixels are the fit of its page (the host refuses any other).
    const auto fitted = VectorRenderProtocol::fitted(answer->pageSize, fit);
    if (!fitted) {
        return std::nullopt;
    }
    return Drawing{answer->pageSize, fitted->size, answer->image};
}

QSizeF PdfVectorImageSource::load(const QByteArray& data, int pageIndex) {
    // Cheap refusals first.
    if (!passesCheapRefusals(data, pageIndex)) {
        return {};
    }
    VectorRenderProtocol::Request request;
    request.document = data;
    request.page = pageIndex;
    const auto answer = VectorRenderHost::ask(request);
    if (!answer || answer->status != VectorRenderProtocol::Status::Drawn) {
        return {};
    }
    return answer->pageSize;
}

std::shared_ptr<PdfVectorImageSource> PdfVectorImageSource::create(const QByteArray& data, int pageIndex) {
    const QSizeF size = load(data, pageIndex);
    if (size.isEmpty()) {
        return nullptr;
    }
    return std::shared_ptr<PdfVectorImageSource>(new PdfVectorImageSource(data, pageIndex, size));
}

QSizeF PdfVectorImageSource::pageSize(const QByteArray& data, int pageIndex) {
    return load(data, pageIndex);
}

QImage PdfVectorImageSource::renderPage(const QSize& pixelSize) const {
    if (pixelSize.isEmpty() || !fitsPixelBudget(pixelSize)) {
        return {};
    }
    VectorRenderProtocol::Request request;
    request.document = m_data;
    request.page = m_pageIndex;
    request.pixels = pixelSize;
    const auto answer = VectorRenderHost::ask(request);
    if (!answer || answer->status != VectorRenderProtocol::Status::Drawn) {
        return {};
    }
    return answer->image;
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
