#pragma once

#include "core/time/AbstractWorkLogForm.h"
#include "tests/state/FakeProviderService.h"

#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace velmora::test {

// A booking form whose tracker is a scripted call: the test holds each booking and
// completes it (with the new entry's id) or fails it. Each booking goes out with what it
// books, as the trackers' forms send it, so the sheet keeps its record. It brings a
// description editor, as the Jira form does, so the sheet's handling of the tracker's
// inputs is exercised.
class ScriptedWorkLogForm : public AbstractWorkLogForm {
public:
    ScriptedWorkLogForm(Project project, Issue task, double duration)
        : AbstractWorkLogForm(std::move(project), std::move(task), duration) {
        bookings.hold();
    }

    void save(std::function<void()> completion) override {
        if (!readyToSave()) {
            return;
        }
        WorkLogBooking booking{task().id, QDateTime::currentDateTime(), static_cast<qint64>(duration()),
                               description};
        booking.dating = WorkLogBooking::Dating::exact;
        booking.sent = booking.started;
        runSaveRequest(bookings.publisher(), std::move(completion), booking);
    }

    QWidget* additionalFields(QWidget* parent) override {
        auto* fields = new QWidget(parent);
        auto* layout = new QVBoxLayout(fields);
        layout->setContentsMargins(0, 0, 0, 0);
        editor = new QPlainTextEdit(fields);
        editor->setFixedHeight(100);
        layout->addWidget(editor);
        QObject::connect(editor, &QPlainTextEdit::textChanged, fields,
                         [this] { description = editor->toPlainText(); });
        return fields;
    }

    // Completed with the tracker's id of the new entry.
    ScriptedCall<QString> bookings;
    QString description;
    QPlainTextEdit* editor = nullptr;
};

} // namespace velmora::test
