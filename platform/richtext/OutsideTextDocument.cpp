#include "platform/richtext/OutsideTextDocument.h"

#include "platform/richtext/FontCosts.h"
#include "platform/richtext/OutsideHtml.h"

#include <QImage>
#include <QScopeGuard>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>
#include <QUrl>

namespace velmora {

OutsideTextDocument::OutsideTextDocument(QObject* parent) : QTextDocument(parent) {
    // A provider of our own, so a process-wide default provider is never asked either;
    // it finds nothing, and loadResource() below answers.
    setResourceProvider([](const QUrl&) { return QVariant(); });
    // Each new block keeps the glyphs its layout shaped, so that painting draws them instead of
    // shaping the text again. Qt's layout drops them once a block is laid out, and every paint
    // shapes each line it draws anew; Qt 6.4 decodes a colour glyph's image (a PNG in the emoji
    // font) each time it shapes one, so a description of emoji cost at every paint what its
    // layout cost: seconds for a scroll. The blocks are told before the layout sees them: this
    // signal comes ahead of the layout's own update.
    connect(this, &QTextDocument::contentsChange, this, [this](int from, int, int added) {
        for (QTextBlock block = findBlock(from); block.isValid() && block.position() <= from + added;
             block = block.next()) {
            block.layout()->setCacheEnabled(true);
        }
    });
}

void OutsideTextDocument::setOutsideHtml(const QString& html, const OutsideHtmlLimits& limits) {
    qint64 spent = 0;
    qint64 loaded = 0;
    const QString bounded = boundOutsideHtml(html, limits, &spent, &loaded);
    setBoundedHtml(bounded, limits, loaded);
    m_spent = spent;
}

void OutsideTextDocument::setBoundedHtml(const QString& html, const OutsideHtmlLimits& limits, qint64 loaded,
                                         const std::function<void(const QString&)>& set) {
    // Read, but not laid out: a document whose page has no size lays nothing out.
    const QSizeF page = pageSize();
    setPageSize(QSizeF(0, 0));
    if (set) {
        set(html);
    } else {
        setHtml(html);
    }
    FontCosts& fonts = limits.fonts ? *limits.fonts : FontCosts::ofThisProcess();
    qint64 budget = limits.maxLoadingCost - loaded;
    // What it costs is told by whoever bounded it; what loading takes is counted from here.
    m_spent = 0;
    const auto done = qScopeGuard([&] { m_loaded = limits.maxLoadingCost - budget; });
    const QFont base = defaultFont();
    for (QTextBlock block = begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QString text = fragment.text();
            // The font the layout draws the fragment in.
            const QFont style = fragment.charFormat().font().resolve(base);
            const qsizetype drawn = loadFonts(text, style, budget, fonts);
            if (drawn < text.size()) {
                cutAt(fragment.position() + static_cast<int>(drawn));
                setPageSize(page);
                return;
            }
        }
    }
    setPageSize(page);
}

void OutsideTextDocument::cutAt(int position) {
    QTextCursor cursor(this);
    cursor.setPosition(position);
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    cursor.movePosition(QTextCursor::End);
    cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
    cursor.insertText(outsideHtmlShortenedNote());
}

QVariant OutsideTextDocument::placeholder(int type) {
    if (type == QTextDocument::ImageResource) {
        // Not a null image: for a null one Qt's image handler loads the name itself.
        static const QImage pixel = [] {
            QImage image(1, 1, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            return image;
        }();
        return pixel;
    }
    return QByteArray();
}

QVariant OutsideTextDocument::loadResource(int type, const QUrl&) {
    return placeholder(type);
}

} // namespace velmora
