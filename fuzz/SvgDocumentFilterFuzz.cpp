// The SVG filter on any bytes, and what it writes checked: well-formed, with no link but to a
// part of the document or an embedded PNG of our own, no processing instruction, no document
// type and no CSS that could name anything outside.
#include "ImageFuzzSupport.h"

#include "images/coders/SvgDocumentFilter.h"

#include <QXmlStreamReader>

#include <algorithm>
#include <cstdlib>

namespace {

bool namesOnlyTheDocument(QStringView css) {
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
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::DTD:
        case QXmlStreamReader::ProcessingInstruction:
        case QXmlStreamReader::EntityReference:
            std::abort();
        case QXmlStreamReader::StartElement:
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
