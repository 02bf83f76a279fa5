#include "images/coders/ImageCodersManager.h"
#include "images/coders/ImageIOCoder.h"
#include "images/coders/ImageSVGCoder.h"
#include "images/coders/SvgDocumentFilter.h"
#include "images/coders/VectorDrawingCost.h"
#include "platform/richtext/OutsideName.h"
#include "tests/support/MarksPerLetter.h"

#include <QXmlStreamReader>

#include <gtest/gtest.h>

using namespace velmora::images;
using velmora::test::mostMarksOnOneLetter;

namespace {

const QByteArray svgOpen = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"60\" height=\"60\">";

QByteArray documentOf(const QByteArray& body, const QByteArray& prolog = {}) {
    return prolog + svgOpen + body + "</svg>\n";
}

QByteArray repeated(const QByteArray& piece, qsizetype times) {
    QByteArray out;
    out.reserve(piece.size() * times);
    for (qsizetype i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

QByteArray filtered(const QByteArray& document) {
    return SvgDocumentFilter::withoutExternalReferences(document);
}

qsizetype elementsIn(const QByteArray& document) {
    QXmlStreamReader reader(document);
    qsizetype elements = 0;
    while (!reader.atEnd()) {
        if (reader.readNext() == QXmlStreamReader::StartElement) {
            ++elements;
        }
    }
    return reader.hasError() ? -1 : elements;
}

// The text of every element named `name`, joined, as a reader of the filtered document reads it.
QString textOf(const QByteArray& document, QLatin1String name) {
    QXmlStreamReader reader(document);
    QString text;
    int inside = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            if (inside > 0 || reader.name() == name) {
                ++inside;
            }
            break;
        case QXmlStreamReader::EndElement:
            inside = std::max(0, inside - 1);
            break;
        case QXmlStreamReader::Characters:
            if (inside > 0) {
                text += reader.text();
            }
            break;
        default:
            break;
        }
    }
    return text;
}

DecodeOptions bitmapOf(double side) {
    DecodeOptions options;
    options.thumbnailPixelSize = QSizeF(side, side);
    return options;
}

DecodeOptions hintedSvg() {
    DecodeOptions options;
    options.typeIdentifierHint = QStringLiteral("public.svg-image");
    return options;
}

// Whether any road an avatar's bytes can take draws the document: the SVG coder (vector and
// bitmap), the registry with it, the fallback coder (sniffed and hinted), and the fallback's
// incremental decode.
std::vector<std::string> roadsThatDraw(const QByteArray& document) {
    std::vector<std::string> drawn;
    auto svg = ImageSVGCoder::sharedCoder();
    if (!svg->decodedImageWithData(document, {}).isNull()) {
        drawn.push_back("SVG coder, vector");
    }
    if (!svg->decodedImageWithData(document, bitmapOf(60)).isNull()) {
        drawn.push_back("SVG coder, bitmap");
    }
    ImageCodersManager registry;
    registry.addCoder(svg);
    if (!registry.decodedImageWithData(document, bitmapOf(60)).isNull()) {
        drawn.push_back("registry");
    }
    // The registry's own SVG road, no SVG coder added.
    ImageCodersManager fallback;
    if (!fallback.decodedImageWithData(document, bitmapOf(60)).isNull()) {
        drawn.push_back("fallback, sniffed");
    }
    if (!fallback.decodedImageWithData(document, hintedSvg()).isNull()) {
        drawn.push_back("fallback, hinted");
    }
    auto incremental = ImageIOCoder::sharedCoder()->createIncrementalCoder(bitmapOf(60));
    incremental->updateIncrementalData(document, true);
    if (!incremental->incrementalDecodedImageWithOptions({}).isNull()) {
        drawn.push_back("fallback, incremental");
    }
    return drawn;
}

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& name : names) {
        out += (out.empty() ? "" : ", ") + name;
    }
    return out;
}

} // namespace

TEST(SvgDocumentCostTest, EntityDeclarationsAreRefusedNeverExpanded) {
    // Forty elements an entity, referred to a thousand times: 40,000 elements from 6 KB.
    const QByteArray wide =
        documentOf(repeated("&e;", 1000), "<!DOCTYPE svg [<!ENTITY e \"" + repeated("<g/>", 40) + "\">]>");
    // A nest in which each entity names the one before ten times, kept under the reader's own
    // limit on one expansion: a hundred references to the last give 100,000 elements.
    const QByteArray nested = documentOf(
        repeated("&e3;", 100), "<!DOCTYPE svg [<!ENTITY e0 \"<g/>\">"
                               "<!ENTITY e1 \"" +
                                   repeated("&e0;", 10) + "\"><!ENTITY e2 \"" + repeated("&e1;", 10) +
                                   "\"><!ENTITY e3 \"" + repeated("&e2;", 10) + "\">]>");
    // The classic billion-laughs nest of text.
    QByteArray laughs = "<!DOCTYPE svg [<!ENTITY l0 \"lol\">";
    for (int level = 1; level <= 9; ++level) {
        laughs += "<!ENTITY l" + QByteArray::number(level) + " \"" +
                  repeated("&l" + QByteArray::number(level - 1) + ";", 10) + "\">";
    }
    laughs += "]>";
    const QByteArray billion = documentOf("<text>&l9;</text>", laughs);
    for (const QByteArray& document : {wide, nested, billion}) {
        EXPECT_TRUE(filtered(document).isEmpty()) << document.left(120).toStdString();
        EXPECT_EQ(joined(roadsThatDraw(document)), "") << document.left(120).toStdString();
    }
    // A declaration is refused even when nothing refers to it, and so is any internal subset:
    // default attributes declared there are copied onto every element that lacks them.
    for (const QByteArray& prolog :
         {QByteArray("<!DOCTYPE svg [<!ENTITY unused \"x\">]>"),
          QByteArray("<!DOCTYPE svg [<!ATTLIST g class CDATA \"" + QByteArray(1000, 'c') + "\">]>"),
          QByteArray("<!DOCTYPE svg [ ]>")}) {
        EXPECT_TRUE(filtered(documentOf("<g/>", prolog)).isEmpty()) << prolog.toStdString();
    }

    // The usual declaration of a public document type has no internal subset: it goes, and a
    // reference it might have declared is left out, unresolved.
    const QByteArray publicType = documentOf("<text>a&nbsp;b</text><rect width=\"60\" height=\"60\"/>",
                                             "<!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\" "
                                             "\"http://www.w3.org/Graphics/SVG/1.1/DTD/svg11.dtd\">\n");
    const QByteArray kept = filtered(publicType);
    ASSERT_FALSE(kept.isEmpty());
    EXPECT_FALSE(kept.contains("DOCTYPE"));
    EXPECT_EQ(textOf(kept, QLatin1String("text")), QStringLiteral("ab"));
    EXPECT_FALSE(ImageSVGCoder::sharedCoder()->decodedImageWithData(publicType, bitmapOf(60)).isNull());
}

TEST(SvgDocumentCostTest, TheElementBoundIsCountedOnWhatTheFilterWrites) {
    const qsizetype bound = VectorDrawingCost::maxSvgElements;
    // The root and bound - 1 shapes: within it, however many comments and end tags there are.
    const QByteArray within = documentOf(repeated("<g></g><!-- a comment -->", bound - 1));
    EXPECT_EQ(elementsIn(filtered(within)), bound);
    EXPECT_FALSE(ImageSVGCoder::sharedCoder()->decodedImageWithData(within, bitmapOf(60)).isNull());
    // One more element is over it, on every road.
    const QByteArray over = documentOf(repeated("<g/>", bound));
    EXPECT_TRUE(filtered(over).isEmpty());
    EXPECT_EQ(joined(roadsThatDraw(over)), "");
    // Elements inside a style sheet are counted too, though they are not written.
    EXPECT_TRUE(filtered(documentOf("<style>" + repeated("<g/>", bound) + "</style>")).isEmpty());
}

TEST(SvgDocumentCostTest, WhatFollowsTheClosingTagTakesNoRoadPastTheBound) {
    // One element over the bound (with the root): the filter stops there, so the cost of each
    // road is that of the bound whatever the document's length.
    const QByteArray over =
        documentOf(repeated("<path d=\"M0 0L60 60\" stroke=\"#000\"/>", VectorDrawingCost::maxSvgElements));
    const QByteArray small = documentOf("<rect width=\"60\" height=\"60\" fill=\"#ff0000\"/>");
    const QList<QByteArray> wellFormedTails = {QByteArray(200, ' '),
                                               "<!-- after the document -->" + QByteArray(200, ' '),
                                               "<?after the document?>\n"};
    const QList<QByteArray> junkTails = {"junk" + QByteArray(200, ' '), QByteArray("\0\x01\x02", 3),
                                         "</svg>" + QByteArray(200, ' '), "<svg/>" + QByteArray(200, ' ')};
    for (const QByteArray& tail : wellFormedTails + junkTails.mid(0, 1)) {
        EXPECT_EQ(joined(roadsThatDraw(over + tail)), "")
            << "after the closing tag: " << tail.left(30).toStdString();
    }
    // Well-formed, a small document is drawn by the registry's SVG road (no SVG coder claims it)
    // whatever follows it, through the same filter; after junk it is not a document at all.
    ImageCodersManager fallback;
    for (const QByteArray& tail : wellFormedTails) {
        const QImage bitmap = fallback.decodedImageWithData(small + tail, bitmapOf(60)).bitmap();
        ASSERT_FALSE(bitmap.isNull()) << tail.left(30).toStdString();
        EXPECT_EQ(QColor(bitmap.pixel(bitmap.width() / 2, bitmap.height() / 2)), QColor(Qt::red));
    }
    for (const QByteArray& tail : junkTails) {
        EXPECT_EQ(joined(roadsThatDraw(small + tail)), "") << tail.left(30).toStdString();
    }
}

TEST(SvgDocumentCostTest, AStyleSheetIsJudgedWholeAcrossCommentsCdataAndElements) {
    const QList<QByteArray> split = {
        "<style>@imp<!-- -->ort \"http://remote.example/a.css\";</style>",
        "<style>@imp<![CDATA[ort url(http://remote.example/b.css);]]></style>",
        "<style>rect { fill: u<!-- -->rl(http://remote.example/c) }</style>",
        "<style>rect { fill: ur<![CDATA[l(file:///etc/passwd)]]> }</style>",
        "<style>rect { fill: url(<![CDATA[]]>file:///etc/passwd) }</style>",
        "<style>@im<g/>port \"http://remote.example/d.css\";</style>",
        "<style>rect { fill: u<g>rl(</g>file:///etc/passwd) }</style>",
        // A CSS comment that QtSvg's reader would skip.
        "<style>@im/**/port \"http://remote.example/e.css\";</style>",
    };
    for (const QByteArray& style : split) {
        const QByteArray out = filtered(documentOf(style + "<rect width=\"60\" height=\"60\"/>"));
        ASSERT_FALSE(out.isEmpty()) << style.toStdString();
        for (const char* gone : {"import", "remote", "passwd", "file:"}) {
            EXPECT_FALSE(out.contains(gone)) << style.toStdString() << " gave " << out.toStdString();
        }
        // The document, its style sheet and the shape: nothing inside a style sheet is an element.
        EXPECT_EQ(elementsIn(out), 3) << out.toStdString();
    }
    // Pieces that are CSS naming the document alone, joined, stay whole.
    const QByteArray kept =
        filtered(documentOf("<style>circle { fill: url(#p<!-- -->ai<![CDATA[nt)]]> }</style>"));
    EXPECT_EQ(textOf(kept, QLatin1String("style")), QStringLiteral("circle { fill: url(#paint) }"));
}

TEST(SvgDocumentCostTest, TextKeepsFewMarksPerLetterAndABoundedLength) {
    const QByteArray mark = QString(QChar(0x0301)).toUtf8();
    const QByteArray shape = "<rect width=\"60\" height=\"60\" fill=\"#ff0000\"/>";
    const QList<QByteArray> marked = {
        "<text>a" + repeated(mark, 100000) + "</text>",
        // Split by comments, CDATA sections and character references, or spread over spans:
        // the marks still stack on the one letter before them.
        "<text>a" + repeated(mark + "<!---->", 20000) + "</text>",
        "<text>a" + repeated("<![CDATA[" + mark + "]]>&#x301;", 20000) + "</text>",
        "<text>a" + repeated("<tspan>" + mark + mark + mark + "</tspan>", 5000) + "</text>",
        "<text>" + repeated("<tspan>" + mark + mark + mark + "</tspan>", 5000) + "</text>",
    };
    for (const QByteArray& body : marked) {
        const QByteArray document = documentOf(body + shape);
        const QByteArray out = filtered(document);
        ASSERT_FALSE(out.isEmpty()) << body.left(60).toStdString();
        EXPECT_LE(mostMarksOnOneLetter(textOf(out, QLatin1String("text"))), velmora::plainMarksPerLetter)
            << body.left(60).toStdString();
        // The shapes are drawn all the same.
        const QImage bitmap =
            ImageSVGCoder::sharedCoder()->decodedImageWithData(document, bitmapOf(60)).bitmap();
        ASSERT_FALSE(bitmap.isNull());
        EXPECT_EQ(QColor(bitmap.pixel(30, 30)), QColor(Qt::red));
    }
    // Marks on letters of their own are kept: a script that stacks them reads as it was written.
    const QString stacked = QStringLiteral("e\u0301\u0302\u0303 o\u0308");
    EXPECT_EQ(textOf(filtered(documentOf("<text>" + stacked.toUtf8() + "</text>")), QLatin1String("text")),
              stacked);

    // Length: a long text, or many texts, are cut to the document's share of text; white space
    // that a text lays out counts too (between elements elsewhere it is not drawn, and kept).
    for (const QByteArray& body :
         {"<text>" + repeated("abcdefghij", 10000) + "</text>", repeated("<text>abcdefghij</text>", 5000),
          "<text xml:space=\"preserve\">a<tspan>" + QByteArray(100000, ' ') + "</tspan>b</text>",
          "<text xml:space=\"preserve\">a" + repeated("<tspan>" + QByteArray(100, ' ') + "</tspan>", 1000) +
              "</text>"}) {
        const QString text = textOf(filtered(documentOf(body)), QLatin1String("text"));
        EXPECT_GT(text.size(), 0);
        EXPECT_LE(text.size(), SvgDocumentFilter::maxTextLength);
    }
    // The indentation of a long document takes none of that share.
    const QByteArray indented = documentOf(
        repeated("\n        <g>\n            <rect/>\n        </g>", 5000) + "\n        <text>AB</text>\n");
    EXPECT_EQ(textOf(filtered(indented), QLatin1String("text")), QStringLiteral("AB"));
}

// What takes no room between a letter's marks (the unassigned code points of the
// default-ignorable stretches, the fillers, written or as references) starts no letter in an
// SVG text either: a text of marks with U+2065 between them kept 1,499 on one letter, which
// took QtSvg 70-200 ms to draw. Private use draws characters of their own, each with its mark.
TEST(SvgDocumentCostTest, TextMarksStayAFewPerLetterPastWhatTakesNoRoom) {
    const QByteArray mark = QString(QChar(0x0301)).toUtf8();
    for (const char32_t c : velmora::test::charactersThatTakeNoRoom()) {
        if (c == 0xFFFE) {
            continue; // no XML character: a document holding it is refused whole
        }
        const QByteArray between = QString::fromUcs4(&c, 1).toUtf8();
        const QByteArray reference = "&#x" + QByteArray::number(static_cast<uint>(c), 16) + ";";
        for (const QByteArray& body :
             {"<text>a" + repeated(mark + between, 20000) + "</text>",
              "<text>a" + repeated("&#x301;" + reference, 5000) + "</text>",
              "<text>a" + repeated("<tspan>" + mark + "</tspan>" + between, 5000) + "</text>"}) {
            const QByteArray out = filtered(documentOf(body));
            ASSERT_FALSE(out.isEmpty()) << body.left(40).toStdString();
            const QString text = textOf(out, QLatin1String("text"));
            EXPECT_LE(mostMarksOnOneLetter(text), velmora::plainMarksPerLetter)
                << "U+" << QString::number(c, 16).toStdString() << " " << body.left(40).toStdString();
            EXPECT_TRUE(text.startsWith(u'a'));
        }
    }
    const QString privateUse = QString::fromUcs4(U"a\u0301\uE000\u0301\U000F0000\u0301");
    EXPECT_EQ(textOf(filtered(documentOf("<text>" + privateUse.toUtf8() + "</text>")), QLatin1String("text")),
              privateUse);
}
