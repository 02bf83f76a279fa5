#include "app/StoredStateAlerts.h"
#include "state/BookingRecords.h"
#include "state/TimerSnapshot.h"
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

Issue taskNamed(const QString& name) {
    Issue task = makeIssue(QStringLiteral("9"));
    task.reference = std::nullopt;
    task.name = name;
    return task;
}

// Every sentence of the app that quotes a task's name, as the user meets it: the strip, the
// sheet and the alerts (BookingTexts), the damaged file's alert, the questions before a
// discard or a delete, and the tray's notes.
QStringList sentencesOf(const QString& name) {
    const Issue task = taskNamed(name);
    StateTestEnvironment env;
    BookingRecord draft;
    draft.account = QStringLiteral("ACCOUNT");
    draft.project = makeProject(QStringLiteral("p"));
    draft.task = task;
    draft.booking = WorkLogBooking{task.id, env.clock->now(), 1800, QString()};
    draft.source = BookingRecord::Source::manual;
    env.bookings->refused(env.bookings->depart(draft, std::nullopt, {}), APIError::validation());
    env.bookings->settle();

    SnapshotManager::LoadProblem problem;
    problem.readable.timers.insert(
        QStringLiteral("ACCOUNT"),
        TimerSnapshot{draft.project, task, TimerViewModel::State::paused, 5400, std::nullopt, std::nullopt}
            .toSnapshot());
    WorkEntry entry;
    entry.issue = task;
    entry.spentTime = QStringLiteral("30m");
    entry.spentTimeSeconds = 1800;
    entry.started = env.clock->now();
    return QStringList{BookingTexts::what(draft), StoredStateAlerts::damagedText(problem),
                       BookTimeView::discardQuestionText(1800, task), CalendarDayView::deleteQuestion(entry),
                       BookingRecoveryAlert::questionText(entry, name)} +
           BookingTexts::heldNotes(*env.bookings);
}

QString testName(const QString& what) {
    return namedTestText(QStringLiteral("outside-text/names-cut-in-sentences.txt"), what);
}

const QString firstIsolate = QStringLiteral("\u2068");
const QString popIsolate = QStringLiteral("\u2069");

} // namespace

// A name too long for its sentence is cut between whole characters and says so with an
// ellipsis: never a flag's lone letter, a man of a family, a conjunct's virama, nor a word cut
// without a sign ("send it to the fi waits for you").
TEST(QuotedNames, EverySentenceCutsANameWholeWithAnEllipsis) {
    for (const QString& what : {QStringLiteral("flag"), QStringLiteral("family"),
                                QStringLiteral("devanagari"), QStringLiteral("words")}) {
        const QString cluster = testName(what);
        ASSERT_FALSE(cluster.isEmpty()) << what.toStdString();
        const QString name = QStringLiteral("§") + cluster.repeated(600 / cluster.size());
        // The sheet's line of the task too, which the line of a switch quotes.
        const QStringList sentences = sentencesOf(name) << BookTimeView::bookedTaskName(taskNamed(name));
        for (const QString& sentence : sentences) {
            const qsizetype start = sentence.indexOf(u'§');
            const qsizetype end = sentence.indexOf(QChar(0x2026), start);
            if (start < 0 || end < 0) {
                ADD_FAILURE() << what.toStdString() << " cut without an ellipsis: " << sentence.toStdString();
                continue;
            }
            const QString kept = sentence.mid(start, end - start);
            EXPECT_TRUE(name.startsWith(kept)) << sentence.toStdString();
            QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, name);
            characters.setPosition(static_cast<int>(kept.size()));
            EXPECT_TRUE(!kept.isEmpty() && characters.isAtBoundary() &&
                        QChar::combiningClass(kept.back().unicode()) != 9)
                << what.toStdString() << " cut inside a character: " << sentence.toStdString();
        }
    }
}

// A right-to-left name keeps to its own run: the sentence reads in the app's direction, with
// its full stop at its end, whatever the name it opens with.
TEST(QuotedNames, ARightToLeftNameIsIsolatedInEverySentence) {
    const QString name = testName(QStringLiteral("opening"));
    ASSERT_FALSE(name.isEmpty());
    for (const QString& sentence : sentencesOf(name)) {
        EXPECT_TRUE(sentence.contains(firstIsolate + name + popIsolate)) << sentence.toStdString();
        EXPECT_FALSE(sentence.isRightToLeft()) << sentence.toStdString();
    }
}

} // namespace velmora::test
