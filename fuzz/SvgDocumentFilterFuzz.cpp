// The SVG filter on any bytes, and what it writes checked: well-formed, with no link but to a
// part of the document or an embedded PNG of our own, no processing instruction, no document
// type and no CSS that could name anything outside (read with or without its comments), and
// within its bounds: elements, text length, and combining marks on one letter (counted past
// what takes no room).
#include "ImageFuzzSupport.h"

#include "images/coders/SvgDocumentFilter.h"
#include "platform/richtext/LetterMarks.h"
#include "platform/richtext/OutsideName.h"

#include <QXmlStreamReader>

#include <algorithm>
#include <cstdlib>

namespace {

bool namesOnlyTheDocumentAsWritten(QStringView css) {
    if (css.contains(QLatin1Char('\\')) || css.contains(QLatin1String("@import"), Qt::CaseInsensitive)) {
        return false;
    }
    for (qsizetype at = css.indexOf(QLatin1String("url("), 0, Qt::CaseInsensitive); at >= 0;
         at = css.indexOf(QLatin1String("url("), at + 4, Qt::CaseInsensitive)) {
        const QStringView rest = css.mid(at + 4);
        qsizetype i = 0;
        while (i < rest.size() &&
               (rest[i].isSpace() || rest[i] == QLatin1Char('"') || rest[i] == QLatin1Char('\''))) {
            ++i;
        }
        if (i >= rest.size() || rest[i] != QLatin1Char('#')) {
            return false;
        }
    }
    return true;
}

// The CSS as a reader that skips its comments sees it, and as it stands.
bool namesOnlyTheDocument(QStringView css) {
    QString uncommented;
    for (qsizetype at = 0; at < css.size(); ++at) {
        if (css.mid(at).startsWith(QLatin1String("/*"))) {
            const auto close = css.indexOf(QLatin1String("*/"), at + 2);
            if (close < 0) {
                break;
            }
            at = close + 1;
            continue;
        }
        uncommented += css[at];
    }
    return namesOnlyTheDocumentAsWritten(css) && namesOnlyTheDocumentAsWritten(uncommented);
}

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::prepareImages();
    const QByteArray filtered =
        velmora::images::SvgDocumentFilter::withoutExternalReferences(velmora::fuzz::bytes(data, size));
    if (filtered.isEmpty()) {
        return 0;
    }
    check(!filtered.startsWith("\x1f\x8b"));
    QXmlStreamReader reader(filtered);
    reader.setNamespaceProcessing(false);
    // Elements open inside a style element, counting it; its text is CSS.
    int styleDepth = 0;
    qsizetype elements = 0;
    qsizetype textLength = 0;
    qsizetype marks = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::DTD:
        case QXmlStreamReader::ProcessingInstruction:
        case QXmlStreamReader::EntityReference:
            std::abort();
        case QXmlStreamReader::StartElement:
            check(++elements <= velmora::images::SvgDocumentFilter::maxElements);
            if (styleDepth > 0 || reader.qualifiedName() == QLatin1String("style") ||
                reader.qualifiedName().endsWith(QLatin1String(":style"))) {
                ++styleDepth;
            }
            for (const QXmlStreamAttribute& attribute : reader.attributes()) {
                const QStringView name = attribute.qualifiedName();
                const QStringView value = attribute.value();
                if (name.endsWith(QLatin1String("href"), Qt::CaseInsensitive)) {
                    check(value.trimmed().startsWith(QLatin1Char('#')) ||
                          value.startsWith(QLatin1String("data:image/png;base64,")));
                } else {
                    check(namesOnlyTheDocument(value));
                }
            }
            break;
        case QXmlStreamReader::Characters:
            check(styleDepth == 0 || namesOnlyTheDocument(reader.text()));
            if (styleDepth == 0) {
                // White space is not counted: between elements the filter leaves it out, and
                // inside a text it is bounded with the letters.
                for (const QChar c : reader.text()) {
                    textLength += c.isSpace() ? 0 : 1;
                }
                check(textLength <= velmora::images::SvgDocumentFilter::maxTextLength);
            }
            if (styleDepth == 0) {
                // Marks are counted across text nodes: a letter in one and marks in the next
                // stack all the same, as they do across what takes no room.
                for (const char32_t c : reader.text().toUcs4()) {
                    if (velmora::isCombiningMark(c)) {
                        check(++marks <= velmora::plainMarksPerLetter);
                    } else if (!velmora::takesNoRoom(c)) {
                        marks = 0;
                    }
                }
            }
            break;
        case QXmlStreamReader::EndElement:
            styleDepth = std::max(0, styleDepth - 1);
            break;
        default:
            break;
        }
    }
    check(!reader.hasError());
    return 0;
}
