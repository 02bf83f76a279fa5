// HTML from outside through the bounding step and then laid out, as a task description or a
// calendar entry is: whatever the fragment, the layout must end quickly and read nothing, and
// no letter Qt lays out carries more marks, or more of what takes no room, than the bound allows.
#include "FuzzSupport.h"

#include "platform/richtext/OutsideHtml.h"
#include "platform/richtext/OutsideTextDocument.h"
#include "tests/support/MarksPerLetter.h"

#include <QGuiApplication>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "fuzz";
        static char* argv[] = {name, nullptr};
        // Kept for the whole run and never destroyed: torn down at exit, the application
        // leaves its font engines unowned and the leak check would report them.
        static auto* application = new QGuiApplication(argc, argv);
        (void)application;
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        return true;
    }();
    (void)ready;

    const QString html = QString::fromUtf8(velmora::fuzz::bytes(data, size));
    const QString bounded = velmora::boundOutsideHtml(html);
    // The bound keeps the text, not more than it was given: a result far longer than its
    // input plus the closing note means the step itself grows what it is fed.
    if (bounded.size() > html.size() * 4 + 4096) {
        std::abort();
    }
    velmora::OutsideTextDocument document;
    document.setOutsideHtml(html);
    document.setTextWidth(420);
    (void)document.size();
    // What the bound counts is what Qt draws: read by Qt's own HTML reader, no letter carries
    // more marks than the bound lets through, whatever references or markup wrote them.
    if (velmora::test::aLetterCarriesMoreMarksThanItsScriptNeeds(document.toPlainText(),
                                                                 velmora::OutsideHtmlLimits{}.maxMarks)) {
        std::abort();
    }
    // Nor more characters that take no room after one letter: a few, or a region's flag's tags.
    if (velmora::test::mostTakingNoRoomAfterOneLetter(document.toPlainText()) >
        velmora::LetterMarks::marksAllowed(0x1000, velmora::OutsideHtmlLimits{}.maxMarks) +
            velmora::LetterMarks::maxFlagTags) {
        std::abort();
    }
    // Qt trims its font caches from a timer, as the app's event loop runs it: without it,
    // every face and size a run ever asked for would stay cached.
    QCoreApplication::processEvents();
    return 0;
}
