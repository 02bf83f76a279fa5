#include "images/coders/SvgDocumentFilter.h"

#include "images/coders/ImageIOCoder.h"
#include "images/coders/PngWriter.h"
#include "images/core/Image.h"
#include "images/core/ImageFormat.h"

#include <QBuffer>
#include <QImageReader>
#include <QPainter>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

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
bool isSelfContainedCss(QStringView css) {
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

} // namespace

QByteArray SvgDocumentFilter::withoutExternalReferences(const QByteArray& data) {
    if (data.isEmpty()) {
        return {};
    }
    QXmlStreamReader reader(data);
    // Names are written back as they came, prefixes and namespace declarations alike, so that
    // QtSvg reads the same names; a link is known by its local name under any prefix.
    reader.setNamespaceProcessing(false);
    QByteArray output;
    QXmlStreamWriter writer(&output);
    writer.writeStartDocument();
    int embeddedImages = 0;
    int styleDepth = 0;
    int depth = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            ++depth;
            const QString name = reader.qualifiedName().toString();
            if (!isXmlName(name)) {
                return {};
            }
            const bool isImage = svgLocalName(name) == QLatin1String("image");
            if (svgLocalName(name) == QLatin1String("style") || styleDepth > 0) {
                ++styleDepth;
            }
            writer.writeStartElement(name);
            const QXmlStreamAttributes attributes = reader.attributes();
            for (const QXmlStreamAttribute& attribute : attributes) {
                const QStringView attributeName = attribute.qualifiedName();
                const QStringView value = attribute.value();
                if (!isXmlName(attributeName) || !isXmlText(value)) {
                    return {};
                }
                if (isLinkAttribute(attributeName)) {
                    if (isFragmentLink(value)) {
                        writer.writeAttribute(attributeName.toString(), value.toString());
                    } else if (isImage && embeddedImages < maxEmbeddedImages) {
                        ++embeddedImages;
                        const QString image = rewrittenEmbeddedImage(value);
                        if (!image.isEmpty()) {
                            writer.writeAttribute(attributeName.toString(), image);
                        }
                    }
                    continue;
                }
                if (isSelfContainedCss(value)) {
                    writer.writeAttribute(attributeName.toString(), value.toString());
                }
            }
            break;
        }
        case QXmlStreamReader::EndElement:
            --depth;
            if (styleDepth > 0) {
                --styleDepth;
            }
            writer.writeEndElement();
            break;
        case QXmlStreamReader::Characters:
            if (!isXmlText(reader.text())) {
                return {};
            }
            // Text outside the root is white space only; a style sheet's text is CSS.
            if (depth > 0 && (styleDepth == 0 || isSelfContainedCss(reader.text()))) {
                writer.writeCharacters(reader.text().toString());
            }
            break;
        default:
            // The document type with its entities, processing instructions (style sheets),
            // comments and entity references that were not resolved are left out.
            break;
        }
    }
    if (reader.hasError()) {
        return {};
    }
    writer.writeEndDocument();
    return output;
}

} // namespace velmora::images
