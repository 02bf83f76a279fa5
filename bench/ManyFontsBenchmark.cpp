// The first row and the first tooltip of emoji a process shows, on a desktop of thousands of font
// files, against what Qt alone spends drawing the same line: the app's own share of a first use of
// the colour emoji font, besides Qt's look-up of it among all those fonts.
//
// Each first use is one fresh process (this program again, told the case), whose fonts are a
// folder of a desktop's worth of font files (scripts/many-fonts unpacks them) listed before the
// system's, through a fontconfig configuration and cache of its own: nothing is installed for
// the machine. Before what is timed, each side has drawn a Latin line its own way, as a list shows
// Latin rows before a row of emoji. Timed is the main thread's CPU of:
// - the app's first row (its line of a task's name: bounded, cut by what shows, laid out, drawn)
//   and first tooltip of the name (shown and painted);
// - Qt alone drawing what the app's row showed, and a bare window of a tooltip's kind laying out
//   what the app's tooltip showed, once, and painting it;
// - the app's share: its row or tooltip in a process where Qt has just drawn the same text, so
//   that Qt's look-up and loading of the fonts (a hundred milliseconds or more on such a desktop,
//   wandering by tens on a busy machine) is paid, less what Qt spends drawing the text once more
//   right before: what the app spends besides Qt.
// The three run in turns, many rounds; medians. Bound: the app's share at most 2 ms, for each.
//
// So, on the machine's own fonts, is the first paint of a page of rows each of a script the process
// meets there for the first time, for the two pages that cost most (Arabic to Tibetan, Adlam to
// Vai): the app's share at most 16 ms, a frame.
#include "platform/richtext/OutsideLines.h"
#include "platform/richtext/OutsideToolTip.h"

#include "BenchMain.h"
#include "tests/support/MadeFonts.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTemporaryDir>
#include <QTextLayout>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

namespace {

using namespace velmora;
using velmora::bench::median;
using velmora::bench::threadCpuSeconds;

constexpr int rounds = 15;
constexpr int rowWidth = 300;

const char* const caseVariable = "VELMORA_FIRST_LINE_CASE";

QString emojiName() {
    return QStringLiteral("Launch \U0001F680\U0001F389\U0001F44D\U0001F3FD\U0001F525").repeated(8);
}

// A name of `script`'s letters from `first`: three words of four.
QString nameOf(const char* script, char32_t first) {
    QString name = QString::fromLatin1(script) + u' ';
    for (int word = 0; word < 3; ++word) {
        for (char32_t letter = first + word; letter < first + word + 8; letter += 2) {
            name += QString::fromUcs4(&letter, 1);
        }
        name += u' ';
    }
    return name;
}

// The rows of a page, each of a script: "page-a" (Arabic to Tibetan), "page-b" (Adlam to Vai).
QStringList pageOf(const QString& which) {
    static const std::pair<const char*, char32_t> first[] = {
        {"Arabic", 0x0628},   {"Armenian", 0x0531}, {"Bengali", 0x0995},  {"Devanagari", 0x0915},
        {"Ethiopic", 0x1200}, {"Georgian", 0x10D0}, {"Gujarati", 0x0A95}, {"Gurmukhi", 0x0A15},
        {"Hebrew", 0x05D0},   {"Kannada", 0x0C95},  {"Khmer", 0x1780},    {"Malayalam", 0x0D15},
        {"Myanmar", 0x1000},  {"Sinhala", 0x0D9A},  {"Tamil", 0x0B95},    {"Tibetan", 0x0F40}};
    static const std::pair<const char*, char32_t> second[] = {
        {"Adlam", 0x1E900},    {"Balinese", 0x1B13},  {"Bamum", 0xA6A0},    {"Buginese", 0x1A00},
        {"Cham", 0xAA00},      {"Cherokee", 0x13A0},  {"Javanese", 0xA98F}, {"Lepcha", 0x1C00},
        {"Limbu", 0x1901},     {"Mongolian", 0x1820}, {"NKo", 0x07CA},      {"Ol Chiki", 0x1C5A},
        {"Sundanese", 0x1B8A}, {"Syriac", 0x0710},    {"Tifinagh", 0x2D30}, {"Vai", 0xA500}};
    QStringList names;
    for (const auto& [script, letter] : which.endsWith(QStringLiteral("page-a")) ? first : second) {
        names << nameOf(script, letter);
    }
    return names;
}

QString latinName() {
    return QStringLiteral("Fix the importer for large files");
}

// The folder of a desktop's fonts: VELMORA_MANY_FONTS, else the one scripts/bench unpacks them in.
QString fontsFolder() {
    const QString given = qEnvironmentVariable("VELMORA_MANY_FONTS");
    return given.isEmpty() ? QFileInfo(QCoreApplication::applicationFilePath()).absolutePath() +
                                 QStringLiteral("/../many-fonts")
                           : given;
}

int fontFiles(const QString& folder) {
    int count = 0;
    QDirIterator files(folder, {QStringLiteral("*.ttf"), QStringLiteral("*.otf"), QStringLiteral("*.ttc")},
                       QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        files.next();
        ++count;
    }
    return count;
}

// The names a first use shows in rows: the emoji name, or a page of scripts.
QStringList rowsOf(const QString& which) {
    return which.contains(QStringLiteral("page")) ? pageOf(which) : QStringList{emojiName()};
}

// --- In the child: one first use, its CPU printed.

const char* const shownVariable = "VELMORA_FIRST_LINE_SHOWN";

// A window of a tooltip's kind that lays `text` out once, wrapped at `width`, and paints it on the
// tooltip's panel: what Qt spends showing the lines of a tooltip, without the app.
class BareToolTip : public QWidget {
public:
    BareToolTip(const QString& text, qreal width) : QWidget(nullptr, Qt::ToolTip) {
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        m_layout.setText(text);
        m_layout.setFont(font());
        m_layout.setTextOption(option);
        m_layout.setCacheEnabled(true);
        m_layout.beginLayout();
        qreal height = 0;
        for (QTextLine line = m_layout.createLine(); line.isValid(); line = m_layout.createLine()) {
            line.setLineWidth(width);
            line.setPosition(QPointF(0, height));
            height += line.height();
        }
        m_layout.endLayout();
        resize(static_cast<int>(width) + 8, static_cast<int>(height) + 8);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        QStyleOptionFrame frame;
        frame.initFrom(this);
        style()->drawPrimitive(QStyle::PE_PanelTipLabel, &frame, &painter, this);
        m_layout.draw(&painter, QPointF(4, 4));
    }

private:
    QTextLayout m_layout;
};

void repaintToolTips() {
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (top->isVisible() && top->windowFlags().testFlag(Qt::ToolTip)) {
            top->repaint();
        }
    }
}

// What the app spends on its first row or tooltip of emoji (a function of its own in a profile): its line of the name laid out and drawn,
// or its tooltip of it shown and painted. `shown` is what it showed.
[[gnu::noinline]] double appFirstUse(const QString& which, bool row, QPainter& painter, OutsideLines& lines,
                                     QWidget& owner, QString& shown) {
    const QFont font = QApplication::font();
    const double start = threadCpuSeconds();
    if (row) {
        QStringList drawn;
        for (const QString& name : rowsOf(which)) {
            const auto line = lines.line(font, name, rowWidth);
            OutsideLines::draw(painter, *line, QRectF(0, 30 * drawn.size(), rowWidth, 30));
            drawn << line->layout.text();
        }
        const double spent = threadCpuSeconds() - start;
        shown = drawn.join(u'\n');
        return spent;
    }
    OutsideToolTip::showText(QPoint(10, 10), emojiName(), &owner);
    QCoreApplication::processEvents();
    repaintToolTips();
    const double spent = threadCpuSeconds() - start;
    shown = OutsideToolTip::text();
    return spent;
}

// What Qt alone spends drawing `text` as the app's row or tooltip showed it.
double qtFirstUse(bool row, QPainter& painter, const QString& text) {
    const QFont font = QApplication::font();
    const double start = threadCpuSeconds();
    if (row) {
        int y = 0;
        for (const QString& line : text.split(u'\n')) {
            painter.drawText(QRect(0, y, rowWidth, 30), Qt::AlignVCenter, line);
            y += 30;
        }
        return threadCpuSeconds() - start;
    }
    BareToolTip tip(text, QFontMetricsF(font).averageCharWidth() * OutsideToolTip::widestInCharacters);
    tip.move(12, 26);
    tip.show();
    QCoreApplication::processEvents();
    repaintToolTips();
    return threadCpuSeconds() - start;
}

// The CPU of one first use, "app-", "qt-" or "share-" and "row" or "tooltip"; `shown` is what the
// app showed. The share is the app's first use after Qt's own of the same text in the process, less
// what Qt spends drawing the text again then: what the app spends besides what Qt does (its
// look-ups of what fonts are, its pricing and cutting, its window), told apart from Qt's look-up of
// the fonts, which costs a hundred milliseconds or more and wanders by tens on a busy machine.
double firstUse(const QString& which, QString& shown) {
    const QFont font = QApplication::font();
    QImage image(rowWidth, 30 * 16, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    painter.setFont(font);
    QWidget owner;
    owner.resize(rowWidth, 30);
    const bool row = !which.endsWith(QStringLiteral("tooltip"));
    const QString given = QString::fromUtf8(QByteArray::fromBase64(qgetenv(shownVariable)));
    OutsideLines lines;
    if (which.startsWith(QStringLiteral("qt"))) {
        painter.drawText(QRect(0, 0, rowWidth, 30), Qt::AlignVCenter, latinName());
        return qtFirstUse(row, painter, given);
    }
    // A Latin line first, the app's way: the app's fonts are learnt from there on.
    OutsideLines::draw(painter, *lines.line(font, latinName(), rowWidth), QRectF(0, 0, rowWidth, 30));
    if (!which.startsWith(QStringLiteral("share"))) {
        return appFirstUse(which, row, painter, lines, owner, shown);
    }
    // Qt's first use, then Qt again: what drawing the text costs Qt once its fonts are found and
    // loaded, which the app's own layout and paint cost it too.
    qtFirstUse(row, painter, given);
    const double again = qtFirstUse(row, painter, given);
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (top->windowFlags().testFlag(Qt::ToolTip)) {
            top->hide();
        }
    }
    return appFirstUse(which, row, painter, lines, owner, shown) - again;
}

// --- In the parent.

// The CPU of a first use in a fresh process; what it showed, where the app's, goes to `shown`.
std::optional<double> inChild(const QString& which, QProcessEnvironment environment,
                              QString* shown = nullptr) {
    environment.insert(QString::fromLatin1(caseVariable), which);
    QProcess child;
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), {});
    if (!child.waitForFinished(300000)) {
        child.kill();
        child.waitForFinished();
        return std::nullopt;
    }
    const QString printed = QString::fromUtf8(child.readAll());
    const QRegularExpressionMatch figure =
        QRegularExpression(QStringLiteral("seconds: (-?[0-9.e-]+)")).match(printed);
    if (child.exitCode() != 0 || !figure.hasMatch()) {
        return std::nullopt;
    }
    const QRegularExpressionMatch text =
        QRegularExpression(QStringLiteral("shown: ([A-Za-z0-9+/=]*)")).match(printed);
    if (shown && text.hasMatch()) {
        *shown = QString::fromUtf8(QByteArray::fromBase64(text.captured(1).toLatin1()));
    }
    return figure.captured(1).toDouble();
}

void firstUseOnManyFonts(benchmark::State& state, const QString& what, bool manyFonts = true) {
    const QString folder = fontsFolder();
    const int files = manyFonts ? fontFiles(folder) : 0;
    if (manyFonts && files < 2000) {
        state.SkipWithError("no desktop of fonts to use (scripts/many-fonts unpacks one)");
        return;
    }
    QTemporaryDir dir;
    QProcessEnvironment environment =
        manyFonts ? test::withUserFonts(dir.path(), folder) : QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Once, unmeasured: fontconfig writes its cache of the folder, and the app tells what it shows,
    // which Qt then draws.
    QString shown;
    if (!inChild(QStringLiteral("app-") + what, environment, &shown) || shown.isEmpty()) {
        state.SkipWithError("the app showed nothing");
        return;
    }
    environment.insert(QString::fromLatin1(shownVariable), QString::fromLatin1(shown.toUtf8().toBase64()));
    std::vector<double> app, qt, share;
    const QStringList sides{QStringLiteral("qt-"), QStringLiteral("app-"), QStringLiteral("share-")};
    for (auto _ : state) {
        for (int round = 0; round < rounds; ++round) {
            // Turn about, so that none always runs on the others' warm caches.
            for (int i = 0; i < 3; ++i) {
                const QString side = sides[(round + i) % 3];
                const std::optional<double> spent = inChild(side + what, environment);
                if (!spent) {
                    state.SkipWithError("a first use did not finish");
                    return;
                }
                (side == sides[0] ? qt : side == sides[1] ? app : share).push_back(*spent);
            }
        }
        state.SetIterationTime(median(share));
    }
    state.counters["app_ms"] = median(app) * 1e3;
    state.counters["qt_ms"] = median(qt) * 1e3;
    state.counters["share_ms"] = median(share) * 1e3;
    state.counters["font_files"] = files;
}

void BM_FirstEmojiRow(benchmark::State& state) {
    firstUseOnManyFonts(state, QStringLiteral("row"));
}

void BM_FirstEmojiToolTip(benchmark::State& state) {
    firstUseOnManyFonts(state, QStringLiteral("tooltip"));
}

void BM_FirstPageOfScriptsArabicToTibetan(benchmark::State& state) {
    firstUseOnManyFonts(state, QStringLiteral("page-a"), false);
}

void BM_FirstPageOfScriptsAdlamToVai(benchmark::State& state) {
    firstUseOnManyFonts(state, QStringLiteral("page-b"), false);
}

void appsShare(velmora::bench::Bounds& bounds, std::string measure, std::string benchmark,
               double bound = 0.002) {
    bounds.atMost(
        std::move(measure),
        [benchmark](const velmora::bench::Runs& runs) -> std::optional<velmora::bench::Measurement> {
            const auto share = velmora::bench::Bounds::counter(runs, benchmark, "share_ms");
            if (!share) {
                return std::nullopt;
            }
            return velmora::bench::Measurement{velmora::bench::Quantity::seconds(*share / 1e3), std::nullopt};
        },
        bound);
}

} // namespace

int main(int argc, char** argv) {
    const QString which = qEnvironmentVariable(caseVariable);
    if (!which.isEmpty()) {
        QApplication application(argc, argv);
        QString shown;
        const double spent = firstUse(which, shown);
        std::printf("seconds: %.9f\nshown: %s\n", spent, shown.toUtf8().toBase64().constData());
        return 0;
    }
    QCoreApplication application(argc, argv);
    benchmark::RegisterBenchmark("BM_FirstEmojiRow", BM_FirstEmojiRow)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
    benchmark::RegisterBenchmark("BM_FirstEmojiToolTip", BM_FirstEmojiToolTip)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
    benchmark::RegisterBenchmark("BM_FirstPageOfScriptsArabicToTibetan", BM_FirstPageOfScriptsArabicToTibetan)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
    benchmark::RegisterBenchmark("BM_FirstPageOfScriptsAdlamToVai", BM_FirstPageOfScriptsAdlamToVai)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
    velmora::bench::Bounds bounds;
    appsShare(bounds, "first emoji row on a desktop of fonts: the app's CPU besides Qt's",
              "BM_FirstEmojiRow");
    appsShare(bounds, "first emoji tooltip on a desktop of fonts: the app's CPU besides Qt's",
              "BM_FirstEmojiToolTip");
    appsShare(bounds, "first page of rows of scripts, Arabic to Tibetan: the app's CPU besides Qt's",
              "BM_FirstPageOfScriptsArabicToTibetan", 0.016);
    appsShare(bounds, "first page of rows of scripts, Adlam to Vai: the app's CPU besides Qt's",
              "BM_FirstPageOfScriptsAdlamToVai", 0.016);
    return velmora::bench::runBenchmarks(argc, argv, bounds);
}
