#include "images/coders/PdfVectorImageSource.h"
#include "images/coders/ImageCodersManager.h"
#include "images/coders/ImageIOCoder.h"
#include "images/coders/vector-render/VectorRenderHost.h"
#include "images/coders/vector-render/VectorRenderProtocol.h"
#include "images/core/DecodeOptions.h"
#include "images/core/DispatchQueue.h"
#include "images/core/Teardown.h"
#include "tests/images/support/ChildProcesses.h"
#include "tests/support/EventLoop.h"
#include "tests/support/PdfDocuments.h"
#include "tests/support/TimeScale.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <QtEndian>

#include <zlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

using namespace velmora::images;
using namespace velmora::images::testing;
using velmora::test::deflated;
using velmora::test::pdfOf;
using velmora::test::streamOf;

namespace {

// What a drawing that is stopped takes at most, seen from the test: the budget and the kill
// that backs it (two seconds) with ample room for a busy machine and the sanitizers. Each
// document below kept the old renderer busy far longer than this (see each one).
const int answeredWithinMs = velmora::test::scaledMs(10000);

// Until a drawing process is drawing (no longer being checked on the calling thread).
bool aProcessIsDrawing() {
    return velmora::test::waitUntil([] { return VectorRenderHost::takeCountsForTesting().mostBusy > 0; },
                                    answeredWithinMs);
}

// A one-page PDF of 60 x 60 points: catalog, page tree, page (with these resources and
// contents), then the objects given, from number 4 on.
QByteArray page(const QByteArray& resources, const QByteArray& contents, const QList<QByteArray>& objects) {
    QList<QByteArray> all{"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                          "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 60 60] /Resources << " + resources +
                              " >> /Contents " + contents + " >>"};
    all.append(objects);
    return pdfOf(all);
}

QByteArray repeated(const QByteArray& text, int times) {
    return text.repeated(times);
}

// A long diagonal, stroked: with a fine dash, hundreds of thousands of dashes each.
const QByteArray longLines = repeated("q 0 0 m 1000000 1000000 l S Q\n", 60);

// A path of this many short lines, stroked.
QByteArray zigzag(int segments) {
    QByteArray path = "0 0 m ";
    for (int i = 0; i < segments; ++i) {
        path += QByteArray::number(i % 60) + ' ' + QByteArray::number(i * 7 % 60) + " l ";
    }
    return path + "S\n";
}

// A chain of forms, each drawing the next twice under a subtype name written with an escape:
// two to the power of `depth` drawings of the last.
QByteArray nestedForms(int depth) {
    QList<QByteArray> objects{streamOf("", "/F Do")};
    for (int level = 0; level < depth; ++level) {
        const QByteArray next = QByteArray::number(6 + level);
        objects.append(level + 1 < depth
                           ? streamOf("/Type /XObject /Subtype /F#6frm /BBox [0 0 60 60] /Resources "
                                      "<< /XObject << /F " +
                                          next + " 0 R >> >>",
                                      "/F Do /F Do")
                           : streamOf("/Type /XObject /Subtype /Form /BBox [0 0 60 60]", zigzag(8)));
    }
    return page("/XObject << /F 5 0 R >>", "4 0 R", objects);
}

struct Hostile {
    const char* name;
    QByteArray data;
};

// Documents the cost check reads wrongly, each small; what the old renderer spent on each, at
// 60 pixels in an optimised build, is in the comment.
QList<Hostile> waysPastTheCostCheck() {
    const QByteArray fineDash = "[0.01] 0 d\n";
    // Rows of eight bytes, each stored as its difference from the row above (PNG "up").
    QByteArray rows = fineDash + longLines;
    rows += QByteArray(8 - rows.size() % 8, ' ');
    QByteArray predicted;
    for (qsizetype at = 0; at < rows.size(); at += 8) {
        predicted += '\x02';
        for (int i = 0; i < 8; ++i) {
            predicted += char(rows.at(at + i) - (at >= 8 ? rows.at(at - 8 + i) : 0));
        }
    }
    const QByteArray type3Font = "<< /Type /Font /Subtype /Type3 /FontBBox [0 0 1 1] /FontMatrix [0.001 0 0 "
                                 "0.001 0 0] /CharProcs << /a 6 0 "
                                 "R >> /Encoding << /Differences [97 /a] >> /FirstChar 97 /LastChar 97 "
                                 "/Widths [0] /Resources << >> >>";
    const QByteArray drawForm = streamOf("/Filter /FlateDecode", deflated(repeated("/F1 Do ", 12000)));
    const QByteArray formBody = zigzag(1500);
    return {
        // 17 s: the dictionary names a font program's length, so the stream was taken for one.
        {"length key", page("", "4 0 R", {streamOf("/Length1 5", fineDash + longLines)})},
        // 16 s: the word ends the stream early for the check, not for the renderer.
        {"endstream in a comment", page("", "4 0 R", {streamOf("", "%endstream\n" + fineDash + longLines)})},
        // 20 s each: the dash is set by a graphics state the check does not see.
        {"escaped state key",
         page("/ExtGState << /G 5 0 R >>", "4 0 R",
              {streamOf("", "/G gs " + longLines), "<< /Type /ExtGState /#44 [[0.01] 0] >>"})},
        {"indirect dash",
         page("/ExtGState << /G 5 0 R >>", "4 0 R",
              {streamOf("", "/G gs " + longLines), "<< /Type /ExtGState /D 6 0 R >>", "[[0.01] 0]"})},
        // 21 s: inflated, the content is still encoded by the predictor.
        {"flate predictor", page("", "4 0 R",
                                 {streamOf("/Filter /FlateDecode /DecodeParms << /Predictor 12 /Columns 8 >>",
                                           deflated(predicted))})},
        // 32 s: a stream is counted once, however often the page lists it.
        {"one stream listed a thousand times",
         page("", "[" + repeated("4 0 R ", 1000) + "]",
              {streamOf("/Filter /FlateDecode", deflated(zigzag(15000)))})},
        // 22 to 36 s: forms the check does not know for forms, drawn 12,000 times.
        {"escaped form name",
         page("/XObject << /F1 5 0 R >>", "4 0 R",
              {drawForm, streamOf("/Type /XObject /Subtype /F#6frm /BBox [0 0 60 60]", formBody)})},
        {"form past the first 4 KB",
         page("/XObject << /F1 5 0 R >>", "4 0 R",
              {drawForm, streamOf("/Type /XObject /Subtype /Form /BBox [0 0 60 60] /Pad (" +
                                      QByteArray(5000, 'x') + ")",
                                  formBody)})},
        // 27 s: each glyph is a drawing of its own, shown 40,000 times.
        {"type 3 glyphs",
         page("/Font << /T 5 0 R >>", "4 0 R",
              {streamOf("/Filter /FlateDecode",
                        deflated("BT /T 1000 Tf 0 0 Td (" + QByteArray(40000, 'a') + ") Tj ET")),
               type3Font, streamOf("", "0 0 d0 " + zigzag(750))})},
        // Never ends: two to the fortieth drawings of one form.
        {"nested forms", nestedForms(40)},
    };
}

// The avatar road: a 60 pixel thumbnail of the document.
Image avatar(const QByteArray& data) {
    DecodeOptions options;
    options.thumbnailPixelSize = QSizeF(60, 60);
    return ImageCodersManager::sharedManager()->decodedImageWithData(data, options);
}

const QByteArray plainPage =
    page("", "4 0 R", {streamOf("", "1 0 0 RG 5 w 10 10 m 50 50 l S 0 0 1 rg 20 20 20 20 re f")});

const char* quitChildVariable = "VELMORA_PDF_QUIT_CHILD";

} // namespace

TEST(PdfVectorImageSourceTest, EveryWayPastTheCostCheckIsAnsweredWithinTheBudget) {
    for (const Hostile& hostile : waysPastTheCostCheck()) {
        qint64 elapsed = 0;
        const auto drawn = within<bool>(
            answeredWithinMs, [data = hostile.data] { return !avatar(data).isNull(); }, &elapsed);
        EXPECT_TRUE(drawn.has_value()) << hostile.name << ": still drawing after " << elapsed << " ms";
    }
}

TEST(PdfVectorImageSourceTest, ADrawingThatNeverEndsIsStopped) {
    const QByteArray endless = nestedForms(60);
    const auto source = PdfVectorImageSource::create(endless);
    ASSERT_TRUE(source);
    const auto image =
        within<QImage>(answeredWithinMs, [source] { return source->renderPage(QSize(60, 60)); });
    ASSERT_TRUE(image.has_value()) << "still drawing";
    EXPECT_TRUE(image->isNull());
    // The process that was stopped draws the next page as before.
    EXPECT_FALSE(avatar(plainPage).isNull());
}

TEST(PdfVectorImageSourceTest, APdfThatEndsItsDrawingProcessIsNoImageAndTheNextIsDrawn) {
    // A picture of ten billion pixels (12 s for the old renderer): the renderer's bitmap for it
    // is never allocated, and it writes into it all the same. Only the drawing process ends.
    const QByteArray huge =
        page("/XObject << /I 5 0 R >>", "4 0 R",
             {streamOf("", "q 60 0 0 60 0 0 cm /I Do Q"),
              streamOf("/Type /XObject /Subtype /Image /Width 100000 /Height 100000 /BitsPerComponent 1 "
                       "/ColorSpace /DeviceGray /Filter /FlateDecode",
                       deflated(QByteArray(12500 * 50, '\0')))});
    for (int i = 0; i < 2; ++i) {
        const auto drawn = within<bool>(answeredWithinMs, [huge] { return !avatar(huge).isNull(); });
        ASSERT_TRUE(drawn.has_value()) << "still drawing";
        EXPECT_FALSE(*drawn);
        EXPECT_FALSE(avatar(plainPage).isNull());
    }
}

TEST(PdfVectorImageSourceTest, APdfIsDrawnWhileAnotherDrawsForEver) {
    const QByteArray endless = nestedForms(60);
    (void)VectorRenderHost::takeCountsForTesting();
    auto first = std::make_shared<std::atomic<bool>>(false);
    std::thread([endless, first] {
        (void)avatar(endless);
        first->store(true);
    }).detach();
    // Until the first is drawing rather than being checked.
    ASSERT_TRUE(aProcessIsDrawing());
    const auto second = within<QImage>(answeredWithinMs, [] { return avatar(plainPage).bitmap(); });
    ASSERT_TRUE(second.has_value()) << "the second waited for the first";
    ASSERT_FALSE(second->isNull());
    // Red across the middle, as drawn, not a placeholder.
    const QColor middle = second->pixelColor(second->width() / 2, second->height() / 2);
    EXPECT_GT(middle.red() + middle.blue(), 200);
    // And the first is stopped in its turn, before the test's objects go.
    const auto firstEnded = within<bool>(answeredWithinMs, [first] {
        while (!first->load()) {
            QThread::msleep(10);
        }
        return true;
    });
    EXPECT_TRUE(firstEnded.has_value()) << "the first drawing was never stopped";
}

TEST(PdfVectorImageSourceTest, TheCheapRefusalsTakeLinearTime) {
    // Objects that never end made the old page-tree check scan to the end of the data from each
    // of them: 1.6 MB of them took minutes.
    const QByteArray unended = "%PDF-1.4\n" + repeated("1 0 obj\n", 200000);
    const auto cycle =
        within<bool>(answeredWithinMs, [unended] { return PdfVectorImageSource::pageTreeHasCycle(unended); });
    ASSERT_TRUE(cycle.has_value()) << "still reading";
    EXPECT_FALSE(*cycle);
    // Boxes, kids and streams that never close, 0.8 MB of each, all read in one go.
    const QList<QByteArray> unclosed{"%PDF-1.4\n/MediaBox [" + repeated("1 ", 400000),
                                     "%PDF-1.4\n" + repeated("/MediaBox [1 1 1 1 ", 40000),
                                     "%PDF-1.4\n1 0 obj /Kids [" + repeated("2 0 R ", 130000),
                                     "%PDF-1.4\n" + repeated("stream\n", 110000),
                                     "%PDF-1.4\n" + repeated("/D [[", 160000)};
    const auto refused = within<bool>(answeredWithinMs, [unclosed] {
        for (const QByteArray& data : unclosed) {
            (void)PdfVectorImageSource::declaresOnlyEmptyBoxes(data);
            (void)PdfVectorImageSource::pageTreeHasCycle(data);
            (void)PdfVectorImageSource::create(data);
        }
        return true;
    });
    EXPECT_TRUE(refused.has_value()) << "still reading";
    // Kids read across objects, references and words that only look like keywords.
    EXPECT_TRUE(PdfVectorImageSource::pageTreeHasCycle("2 0 obj << /Kids [3 0 R] >> endobj "
                                                       "3 0 obj << /Kids [ 4 0 R 2 0 R ] >> endobj"));
    EXPECT_FALSE(PdfVectorImageSource::pageTreeHasCycle("2 0 obj << /Kids [3 0 R] >> endobj "
                                                        "3 0 obj << /Kids [4 0 R] /Note (2 0 R) >> endobj"));
    EXPECT_FALSE(PdfVectorImageSource::pageTreeHasCycle("2 0 obj << /Kids [3 0 R] >> endobj "
                                                        "3 0 obj << /Kidsx [2 0 R] >> endobj"));
}

TEST(PdfVectorImageSourceTest, AnAnswerIsTakenOnlyAsItWasAskedFor) {
    const auto header = [](quint32 status, quint32 id, double width, double height, qint32 columns,
                           qint32 rows) {
        QByteArray out(VectorRenderProtocol::answerHeaderSize, '\0');
        qToLittleEndian(status, out.data());
        qToLittleEndian(id, out.data() + 4);
        quint64 bits = 0;
        std::memcpy(&bits, &width, 8);
        qToLittleEndian(bits, out.data() + 8);
        std::memcpy(&bits, &height, 8);
        qToLittleEndian(bits, out.data() + 16);
        qToLittleEndian(columns, out.data() + 24);
        qToLittleEndian(rows, out.data() + 28);
        return out;
    };
    VectorRenderProtocol::Request request;
    request.id = 0x51ab77e2;
    request.pixels = QSize(60, 40);
    const quint32 id = request.id;
    const auto decode = [&](const QByteArray& bytes) {
        return VectorRenderProtocol::decodeAnswerHeader(bytes.constData(), request);
    };
    const auto fine = decode(header(0, id, 30, 20, 60, 40));
    ASSERT_TRUE(fine);
    EXPECT_EQ(fine->image.size(), QSize(60, 40));
    EXPECT_EQ(fine->pageSize, QSizeF(30, 20));
    // Another size than asked (a huge one above all), a page of no or endless size, a status
    // nobody knows, pixels with a refusal: none is taken.
    EXPECT_FALSE(decode(header(0, id, 30, 20, 60000, 40000)));
    EXPECT_FALSE(decode(header(0, id, 30, 20, 61, 40)));
    EXPECT_FALSE(decode(header(0, id, 0, 20, 60, 40)));
    EXPECT_FALSE(decode(header(0, id, std::numeric_limits<double>::infinity(), 20, 60, 40)));
    EXPECT_FALSE(decode(header(3, id, 30, 20, 60, 40)));
    EXPECT_FALSE(decode(header(2, id, 0, 0, 60, 40)));
    EXPECT_TRUE(decode(header(2, id, 0, 0, 0, 0)));
    // Nor an answer of the right shape to another request: one sent ahead, or one that comes late.
    for (const quint32 other : {id + 1, id - 1, 0u}) {
        EXPECT_FALSE(decode(header(0, other, 30, 20, 60, 40)));
        EXPECT_FALSE(decode(header(2, other, 0, 0, 0, 0)));
    }
    // A request reads back as it was written, its kind and id with it.
    request.kind = VectorRenderProtocol::Kind::Svg;
    request.document = "<svg/>";
    request.page = 0;
    const QByteArray written = VectorRenderProtocol::encodeRequestHeader(request);
    ASSERT_EQ(written.size(), VectorRenderProtocol::requestHeaderSize);
    quint32 length = 0;
    const auto read = VectorRenderProtocol::decodeRequestHeader(written.constData(), &length);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->kind, VectorRenderProtocol::Kind::Svg);
    EXPECT_EQ(read->id, id);
    EXPECT_EQ(read->pixels, QSize(60, 40));
    EXPECT_EQ(length, 6u);
    QByteArray unknownKind = written;
    qToLittleEndian(quint32(7), unknownKind.data() + 4);
    EXPECT_FALSE(VectorRenderProtocol::decodeRequestHeader(unknownKind.constData(), &length));
}

// The half that runs in a child process: a PDF that never ends draws on the image threads when
// the library's teardown (as at quitting) begins; the child prints how long the teardown took.
TEST(PdfVectorImageSourceTest, childQuitsWhileAPdfDraws) {
    if (!qEnvironmentVariableIsSet(quitChildVariable)) {
        GTEST_SKIP() << "started by QuittingWhileAPdfDrawsWaitsNoLongerThanASecond";
    }
    const QByteArray endless = nestedForms(60);
    // A process is started and greets before the drawing is asked for: the drawing is under
    // way once the first answer has come.
    ASSERT_FALSE(avatar(plainPage).isNull());
    (void)VectorRenderHost::takeCountsForTesting();
    DispatchQueue::global().async([endless] { (void)avatar(endless); });
    ASSERT_TRUE(aProcessIsDrawing());
    QElapsedTimer timer;
    timer.start();
    Teardown::run();
    std::printf("teardown took %lld ms\n", static_cast<long long>(timer.elapsed()));
}

TEST(PdfVectorImageSourceTest, QuittingWhileAPdfDrawsWaitsNoLongerThanASecond) {
    if (qEnvironmentVariableIsSet(quitChildVariable)) {
        GTEST_SKIP();
    }
    QProcess child;
    startTestInChild(child, quitChildVariable,
                     QStringLiteral("PdfVectorImageSourceTest.childQuitsWhileAPdfDraws"));
    ASSERT_TRUE(child.waitForFinished(60000));
    const QString output = QString::fromUtf8(child.readAll());
    ASSERT_EQ(child.exitCode(), 0) << output.toStdString();
    const auto tookMs = teardownMsIn(output);
    ASSERT_TRUE(tookMs.has_value()) << output.toStdString();
    // About the twenty milliseconds a drawing looks for the teardown in; the old drawing held the
    // image threads for the three waits of five seconds each. Room for a busy machine.
    EXPECT_LT(*tookMs, velmora::test::scaledMs(3000)) << output.toStdString();
}
