#include "app/StoredStateAlerts.h"
#include "state/BookingRecords.h"
#include "tests/state/StateTestEnvironment.h"
#include "tests/support/TestData.h"
#include "views/main/BookTimeView.h"
#include "views/main/BookingRecoveryAlert.h"
#include "views/main/BookingTexts.h"
#include "views/main/CalendarDayView.h"

#include <QTextBoundaryFinder>

#include <gtest/gtest.h>

namespace velmora::test {
namespace {

// Every sentence of the app that quotes a task's name: the strip, the sheet and the alerts
// (BookingTexts), the damaged file's alert, the questions before a discard or a delete, and the
// tray's notes.
QStringList sentencesOf(const Issue& task) {
    StateTestEnvironment env;
    BookingRecord draft;
    draft.task = task;
    draft.booking = WorkLogBooking{task.id, env.clock->now(), 1800, QString()};
    draft.source = BookingRecord::Source::manual;
    env.bookings->refused(env.bookings->depart(draft, std::nullopt, {}), APIError::validation());
    env.bookings->settle();
    SnapshotManager::LoadProblem problem;
    problem.readable.timers.insert(
        task.id, TimerSnapshot{std::nullopt, task, TimerViewModel::State::paused, 5400, {}, {}}.toSnapshot());
    WorkEntry entry;
    entry.issue = task;
    entry.spentTime = QStringLiteral("30m");
    return QStringList{BookingTexts::what(draft), StoredStateAlerts::damagedText(problem),
                       BookTimeView::discardQuestionText(1800, task), CalendarDayView::deleteQuestion(entry),
                       BookingRecoveryAlert::questionText(entry, task.name)} +
           BookingTexts::heldNotes(*env.bookings);
}

} // namespace

// A name too long for its sentence is cut between whole characters and says so with an ellipsis
// (never a flag's lone letter, a man of a family, a conjunct's virama, nor a word cut without a
// sign: "send it to the fi waits for you"); one that reads right to left is isolated, and the
// sentence keeps the app's direction.
TEST(QuotedNames, EverySentenceCutsANameWholeAndIsolatesOneReadingRightToLeft) {
    for (const auto& [what, text] :
         namedTestData(QStringLiteral("outside-text/names-cut-in-sentences.txt"))) {
        const bool opening = what == QStringLiteral("opening");
        Issue task = makeIssue(QStringLiteral("9"));
        task.reference.reset();
        task.name = opening ? text : QStringLiteral("§") + text.repeated(600 / text.size());
        QStringList sentences = sentencesOf(task);
        if (!opening) {
            // The sheet's line of the task too, which the line of a switch quotes.
            sentences << BookTimeView::bookedTaskName(task);
        }
        for (const QString& sentence : sentences) {
            if (opening) {
                EXPECT_TRUE(sentence.contains(QStringLiteral("\u2068%1\u2069").arg(text)) &&
                            !sentence.isRightToLeft())
                    << sentence.toStdString();
                continue;
            }
            const qsizetype start = sentence.indexOf(u'§');
            const QString kept = sentence.mid(start, sentence.indexOf(QChar(0x2026), start) - start);
            QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, task.name);
            characters.setPosition(static_cast<int>(kept.size()));
            EXPECT_TRUE(start >= 0 && sentence.contains(kept + QChar(0x2026)) && task.name.startsWith(kept) &&
                        characters.isAtBoundary())
                << what.toStdString() << ": " << sentence.toStdString();
        }
    }
}

} // namespace velmora::test
