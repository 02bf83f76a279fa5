#include "images/coders/SvgDocumentFilter.h"

#include "images/coders/ImageIOCoder.h"
#include "images/coders/PngWriter.h"
#include "images/coders/VectorDrawingCost.h"
#include "images/core/Image.h"
#include "images/core/ImageFormat.h"
#include "platform/richtext/LetterMarks.h"
#include "platform/richtext/OutsideName.h"

#include <QBuffer>
#include <QImageReader>
#include <QPainter>
#include <QXmlStreamReader>

#include <algorithm>

namespace velmora::images {

namespace {

QStringView svgLocalName(QStringView qualifiedName) {
    const auto colon = qualifiedName.lastIndexOf(QLatin1Char(':'));
    return colon < 0 ? qualifiedName : qualifiedName.mid(colon + 1);
}

// "href" under any prefix, and any name ending so: what QtSvg reads as a link differs between
// its versions, and nothing else needs such a name.
bool isLinkAttribute(QStringView qualifiedName) {
    return qualifiedName.endsWith(QLatin1String("href"), Qt::CaseInsensitive);
}

// Qt's reader lets some characters through that XML does not allow (control characters in a
// name); a document with them is refused rather than written out for QtSvg to misread.
bool isXmlText(QStringView text) {
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != 0x09 && u != 0x0a && u != 0x0d) || u == 0xfffe || u == 0xffff) {
            return false;
        }
    }
    return true;
}

bool isXmlName(QStringView name) {
    if (name.isEmpty() || !isXmlText(name)) {
        return false;
    }
    for (const QChar c : name) {
        if (c.unicode() < 0x80 && !c.isLetterOrNumber() && c != QLatin1Char('_') && c != QLatin1Char('-') &&
            c != QLatin1Char('.') && c != QLatin1Char(':')) {
            return false;
        }
    }
    return true;
}

// A link to a part of the same document.
bool isFragmentLink(QStringView value) {
    return value.trimmed().startsWith(QLatin1Char('#'));
}

// CSS that can only name parts of the document: no imports, no escapes that could spell one,
// and every url() a fragment.
bool namesOnlyPartsOfTheDocument(QStringView css) {
    if (css.contains(QLatin1Char('\\')) || css.contains(QLatin1String("@import"), Qt::CaseInsensitive)) {
        return false;
    }
    qsizetype from = 0;
    while (true) {
        const auto url = css.indexOf(QLatin1String("url("), from, Qt::CaseInsensitive);
        if (url < 0) {
            return true;
        }
        qsizetype at = url + 4;
        while (at < css.size() &&
               (css[at].isSpace() || css[at] == QLatin1Char('"') || css[at] == QLatin1Char('\''))) {
            ++at;
        }
        if (at >= css.size() || css[at] != QLatin1Char('#')) {
            return false;
        }
        from = at;
    }
}

// The CSS with its comments taken out, as a CSS reader that skips them sees it: "@im/**/port"
// is an import there.
QString withoutCssComments(QStringView css) {
    QString out;
    out.reserve(css.size());
    qsizetype from = 0;
    while (from < css.size()) {
        const auto open = css.indexOf(QLatin1String("/*"), from);
        if (open < 0) {
            out += css.mid(from);
            break;
        }
        out += css.mid(from, open - from);
        const auto close = css.indexOf(QLatin1String("*/"), open + 2);
        if (close < 0) {
            break;
        }
        from = close + 2;
    }
    return out;
}

// CSS is judged as it stands and as it reads without its comments.
bool isSelfContainedCss(QStringView css) {
    // Every attribute is read as CSS, and most are numbers, colours and path data: without an
    // escape, an at-rule or a function there is nothing to look for (taking comments out adds none).
    const bool plain = std::none_of(css.begin(), css.end(), [](QChar c) {
        return c == QLatin1Char('\\') || c == QLatin1Char('@') || c == QLatin1Char('(');
    });
    if (plain) {
        return true;
    }
    if (!namesOnlyPartsOfTheDocument(css)) {
        return false;
    }
    return !css.contains(QLatin1String("/*")) || namesOnlyPartsOfTheDocument(withoutCssComments(css));
}

// Whether a document type declaration, as the reader gives its text, has an internal subset
// (what follows its name and outside identifiers, between brackets). Entities declared there are
// expanded by the reader wherever they are named, and default attributes copied onto every
// element: a few bytes could grow into millions of elements.
bool hasInternalSubset(QStringView declaration) {
    QChar quote;
    for (const QChar c : declaration) {
        if (!quote.isNull()) {
            if (c == quote) {
                quote = QChar();
            }
        } else if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            quote = c;
        } else if (c == QLatin1Char('[')) {
            return true;
        }
    }
    return false;
}

// The elements whose text QtSvg lays out (in any case, as readers differ).
bool drawsText(QStringView qualifiedName) {
    const QStringView name = svgLocalName(qualifiedName);
    return name.compare(QLatin1String("text"), Qt::CaseInsensitive) == 0 ||
           name.compare(QLatin1String("tspan"), Qt::CaseInsensitive) == 0 ||
           name.compare(QLatin1String("textArea"), Qt::CaseInsensitive) == 0 ||
           name.compare(QLatin1String("textPath"), Qt::CaseInsensitive) == 0 ||
           name.compare(QLatin1String("tref"), Qt::CaseInsensitive) == 0;
}

// The text a document draws, bounded as names are: a letter keeps at most plainMarksPerLetter
// combining marks (a run of marks costs the text layout far more than letters do), what takes
// no room between them starts no letter, and the whole document keeps at most maxTextLength
// code units of text. The marks are counted over the document's text as one run, so that
// neither comments, CDATA sections nor elements between them start a new letter.
class SvgTextBudget {
public:
    // `laidOut` when the text is inside an element that draws text: there white space is laid
    // out as letters are. Elsewhere white space alone is not drawn, and a pretty-printed
    // document has much of it between its elements.
    QString kept(QStringView text, bool laidOut) {
        if (!laidOut && text.trimmed().isEmpty()) {
            // Indentation between elements: nothing draws it, and QtSvg would only read it again.
            // Left out, it parts no marks: those after it follow those before it in what is written.
            return {};
        }
        QString out;
        if (m_left == 0) {
            return out;
        }
        out.reserve(std::min(text.size(), m_left));
        for (qsizetype i = 0; i < text.size();) {
            char32_t c = text[i].unicode();
            qsizetype length = 1;
            if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
                c = QChar::surrogateToUcs4(text[i], text[i + 1]);
                length = 2;
            }
            const QStringView unit = text.mid(i, length);
            i += length;
            if (!m_letters.keeps(c)) {
                continue;
            }
            if (length > m_left) {
                m_left = 0;
                break;
            }
            out += unit;
            m_left -= length;
        }
        return out;
    }

private:
    qsizetype m_left = SvgDocumentFilter::maxTextLength;
    velmora::LetterMarks m_letters{velmora::plainMarksPerLetter};
};

// Where QtSvg finds an embedded image's bytes: after the last "base64,".
QByteArray embeddedBytes(QStringView href) {
    const QStringView value = href.trimmed();
    if (!value.startsWith(QLatin1String("data:"), Qt::CaseInsensitive)) {
        return {};
    }
    const auto marker = value.lastIndexOf(QLatin1String("base64,"));
    if (marker < 0) {
        return {};
    }
    return QByteArray::fromBase64(value.mid(marker + 7).toLatin1());
}

// Anything Qt's format detection would give to its SVG reader (it looks at the first bytes).
bool looksLikeMarkup(const QByteArray& bytes) {
    const QByteArray head = bytes.left(256).toLower();
    return head.startsWith("\x1f\x8b") || head.contains("<?xml") || head.contains("<svg") ||
           head.contains("<!--") || head.contains("<!doctype");
}

// The embedded PNG or JPEG decoded by our own coder, within the budget and at most the largest
// side kept, written as a PNG of nothing but its pixels; empty when it is not such an image.
QString rewrittenEmbeddedImage(QStringView href) {
    const QByteArray bytes = embeddedBytes(href);
    // PNG and JPEG only, what documents embed: their readers look at no more than the header
    // until asked for pixels (Qt's GIF reader decodes a frame as soon as it is asked whether
    // it can read, at whatever size the frame declares).
    QByteArray qtFormat;
    switch (imageFormatForImageData(bytes)) {
    case ImageFormat::PNG:
        qtFormat = "png";
        break;
    case ImageFormat::JPEG:
        qtFormat = "jpeg";
        break;
    default:
        return {};
    }
    // The declared size, asked of that format's reader alone, before anything is decoded.
    {
        QBuffer declaring;
        declaring.setData(bytes);
        declaring.open(QIODevice::ReadOnly);
        QImageReader reader(&declaring, qtFormat);
        reader.setAutoDetectImageFormat(false);
        const QSize declared = reader.size();
        if (!declared.isValid() || declared.isEmpty() ||
            quint64(declared.width()) * quint64(declared.height()) >
                std::min(SvgDocumentFilter::maxEmbeddedImagePixels, pixelBudget())) {
            return {};
        }
    }
    DecodeOptions options;
    const double side = SvgDocumentFilter::maxEmbeddedImageSide;
    options.thumbnailPixelSize = QSizeF(side, side);
    options.preserveAspectRatio = true;
    options.useLazyDecoding = false;
    const QImage decoded = ImageIOCoder().decodedImageWithData(bytes, options).bitmap();
    if (decoded.isNull() || decoded.width() > SvgDocumentFilter::maxEmbeddedImageSide ||
        decoded.height() > SvgDocumentFilter::maxEmbeddedImageSide) {
        return {};
    }
    // Drawn into a new image, so that nothing but the pixels (no text of the original) is written.
    QImage pixels(decoded.size(), QImage::Format_ARGB32);
    pixels.fill(Qt::transparent);
    {
        QPainter painter(&pixels);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(0, 0, decoded);
    }
    const QByteArray png = PngWriter::write(pixels);
    if (png.isEmpty() || looksLikeMarkup(png)) {
        return {};
    }
    return QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64());
}

// Writes what the filter keeps. Qt's stream writer encodes each attribute and text on its own
// and cost the filter more than QtSvg's own reading of the same document: here the document is
// gathered as text and encoded once, with only the characters that must be escaped escaped.
class MarkupWriter {
public:
    explicit MarkupWriter(qsizetype expected) {
        m_text.reserve(expected + 64);
        m_text += QLatin1String("<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    }

    void startElement(QStringView name) {
        closeStartTag();
        m_text += QLatin1Char('<');
        m_text += name;
        m_open.push_back(name.toString());
        m_startTagOpen = true;
    }
    void attribute(QStringView name, QStringView value) {
        m_text += QLatin1Char(' ');
        m_text += name;
        m_text += QLatin1String("=\"");
        escaped(value, true);
        m_text += QLatin1Char('"');
    }
    void characters(QStringView text) {
        if (text.isEmpty()) {
            return;
        }
        closeStartTag();
        escaped(text, false);
    }
    void endElement() {
        if (m_open.isEmpty()) {
            return;
        }
        if (m_startTagOpen) {
            m_text += QLatin1String("/>");
            m_startTagOpen = false;
        } else {
            m_text += QLatin1String("</");
            m_text += m_open.last();
            m_text += QLatin1Char('>');
        }
        m_open.removeLast();
    }
    QByteArray document() {
        while (!m_open.isEmpty()) {
            endElement();
        }
        m_text += QLatin1Char('\n');
        return m_text.toUtf8();
    }

private:
    void closeStartTag() {
        if (m_startTagOpen) {
            m_text += QLatin1Char('>');
            m_startTagOpen = false;
        }
    }
    // Markup characters always; in an attribute also the quote and the white space a reader would
    // otherwise fold into spaces; a carriage return anywhere, which a reader folds into a line break.
    void escaped(QStringView text, bool inAttribute) {
        qsizetype from = 0;
        for (qsizetype i = 0; i < text.size(); ++i) {
            QLatin1String replacement;
            switch (text[i].unicode()) {
            case u'&':
                replacement = QLatin1String("&amp;");
                break;
            case u'<':
                replacement = QLatin1String("&lt;");
                break;
            case u'>':
                replacement = QLatin1String("&gt;");
                break;
            case u'\r':
                replacement = QLatin1String("&#13;");
                break;
            case u'"':
                replacement = inAttribute ? QLatin1String("&quot;") : QLatin1String();
                break;
            case u'\n':
                replacement = inAttribute ? QLatin1String("&#10;") : QLatin1String();
                break;
            case u'\t':
                replacement = inAttribute ? QLatin1String("&#9;") : QLatin1String();
                break;
            default:
                break;
            }
            if (replacement.size() > 0) {
                m_text += text.mid(from, i - from);
                m_text += replacement;
                from = i + 1;
            }
        }
        m_text += text.mid(from);
    }

    QString m_text;
    QList<QString> m_open;
    bool m_startTagOpen = false;
};

} // namespace

QByteArray SvgDocumentFilter::withoutExternalReferences(const QByteArray& data) {
    if (data.isEmpty()) {
        return {};
    }
    QXmlStreamReader reader(data);
    // Names are written back as they came, prefixes and namespace declarations alike, so that
    // QtSvg reads the same names; a link is known by its local name under any prefix.
    reader.setNamespaceProcessing(false);
    MarkupWriter writer(data.size());
    int embeddedImages = 0;
    // Elements open inside a style element, counting it, and the style sheet's text so far:
    // the sheet is judged whole, once comments, CDATA sections and elements no longer split it.
    int styleDepth = 0;
    QString styleSheet;
    int depth = 0;
    qsizetype elements = 0;
    SvgTextBudget text;
    // Elements open inside one that draws text, counting it.
    int textDepth = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::DTD:
            // A declaration without an internal subset declares nothing the reader uses (it
            // never fetches the outside part); it goes, and references to what it would have
            // declared are left out unresolved.
            if (hasInternalSubset(reader.text()) || !reader.entityDeclarations().isEmpty() ||
                !reader.notationDeclarations().isEmpty()) {
                return {};
            }
            break;
        case QXmlStreamReader::StartElement: {
            // Counted as they are read, before any is written, so no document holds more.
            if (++elements > maxElements) {
                return {};
            }
            ++depth;
            const QString name = reader.qualifiedName().toString();
            if (!isXmlName(name)) {
                return {};
            }
            if (styleDepth > 0) {
                // CSS has no elements: only the text inside one joins the sheet.
                ++styleDepth;
                break;
            }
            const bool isImage = svgLocalName(name) == QLatin1String("image");
            if (svgLocalName(name) == QLatin1String("style")) {
                styleDepth = 1;
                styleSheet.clear();
            }
            if (textDepth > 0 || drawsText(name)) {
                ++textDepth;
            }
            writer.startElement(name);
            const QXmlStreamAttributes attributes = reader.attributes();
            for (const QXmlStreamAttribute& attribute : attributes) {
                const QStringView attributeName = attribute.qualifiedName();
                const QStringView value = attribute.value();
                if (!isXmlName(attributeName) || !isXmlText(value)) {
                    return {};
                }
                if (isLinkAttribute(attributeName)) {
                    if (isImage) {
                        // An image keeps an embedded picture only: QtSvg opens any other link
                        // as a file, a fragment ("#name") too.
                        if (embeddedImages < maxEmbeddedImages) {
                            ++embeddedImages;
                            const QString image = rewrittenEmbeddedImage(value);
                            if (!image.isEmpty()) {
                                writer.attribute(attributeName, image);
                            }
                        }
                    } else if (isFragmentLink(value)) {
                        writer.attribute(attributeName, value);
                    }
                    continue;
                }
                if (isSelfContainedCss(value)) {
                    writer.attribute(attributeName, value);
                }
            }
            break;
        }
        case QXmlStreamReader::EndElement:
            --depth;
            if (styleDepth > 0 && --styleDepth > 0) {
                break;
            }
            textDepth = std::max(0, textDepth - 1);
            if (!styleSheet.isEmpty()) {
                if (isSelfContainedCss(styleSheet)) {
                    writer.characters(styleSheet);
                }
                styleSheet.clear();
            }
            writer.endElement();
            break;
        case QXmlStreamReader::Characters:
            if (!isXmlText(reader.text())) {
                return {};
            }
            if (styleDepth > 0) {
                styleSheet += reader.text();
            } else if (depth > 0) {
                // Text outside the root is white space only.
                writer.characters(text.kept(reader.text(), textDepth > 0));
            }
            break;
        default:
            // Processing instructions (style sheets), comments and entity references that were
            // not resolved are left out.
            break;
        }
    }
    if (reader.hasError()) {
        return {};
    }
    return writer.document();
}

} // namespace velmora::images
