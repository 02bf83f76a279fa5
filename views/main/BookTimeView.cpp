#include "views/main/BookTimeView.h"

#include "core/model/NotificationNames.h"
#include "core/time/AbstractWorkLogForm.h"
#include "core/time/ReadableTimeFormatter.h"
#include "introspection/Introspect.h"
#include "introspection/PlatformViewVersionPredicate.h"
#include "introspection/QtVersion.h"
#include "introspection/TextEditor.h"
#include "platform/notifications/NotificationCenter.h"
#include "state/TimerViewModel.h"
#include "validation/FormManager.h"
#include "validation/ValidationMessageView.h"
#include "views/main/ActivityIndicator.h"
#include "views/main/Appearance.h"
#include "views/main/CustomTextEditor.h"
#include "views/main/ReadableAlert.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace velmora {

namespace {

QLabel* calloutLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(Appearance::scaledFont(label->font(), 0.92));
    return label;
}

// The description editor of the tracker's inputs gets the shared editor look. The
// forms build it themselves; introspection reaches it behind whatever they made, on
// every Qt release from the one this was built against on.
void customizeTextEditor(QWidget* fields) {
    using namespace introspection;
    introspect(fields, textEditor(),
               {PlatformViewVersionPredicate<TextEditorType>::forQtOnwards(
                   PlatformViewVersion<TextEditorType>(QtVersion::qt6_4()))},
               [](QPlainTextEdit* editor) { CustomTextEditor::attach(editor); });
}

} // namespace

BookTimeView::BookTimeView(AbstractWorkLogForm& form, TimerViewModel& timer, QWidget* parent)
    : QDialog(parent), m_form(&form), m_timer(&timer) {
    setWindowModality(Qt::WindowModal);
    setWindowTitle(tr("Save your work log"));
    setFixedWidth(sheetWidth);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(10);

    auto* title = new QLabel(tr("Save your work log"), this);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.6);
    title->setFont(titleFont);
    layout->addWidget(title);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    layout->addWidget(divider);

    auto* durationGroup = new QVBoxLayout;
    durationGroup->setSpacing(2);
    durationGroup->addWidget(calloutLabel(tr("Duration"), this));
    m_durationField = new QLineEdit;
    m_durationField->setPlaceholderText(QStringLiteral("1w 1d 1h 1m"));
    // Subscribing the message view to the duration's validation is what judges the
    // starting duration, so the form's validity is known before Save is set up.
    m_durationView = new ValidationMessageView(m_durationField, form.durationValidation(), {}, this);
    durationGroup->addWidget(m_durationView);
    layout->addLayout(durationGroup);
    showDuration();

    m_additionalFields = form.additionalFields(this);
    if (m_additionalFields) {
        layout->addWidget(m_additionalFields);
        customizeTextEditor(m_additionalFields);
    }

    auto* buttons = new QHBoxLayout;
    m_cancel = new QPushButton(tr("Cancel"), this);
    m_cancel->setAutoDefault(false);
    m_save = new QPushButton(tr("Save"), this);
    // Return commits the field being edited; it never books on its own.
    m_save->setAutoDefault(false);
    m_progress = new ActivityIndicator(16, this);
    m_progress->setContentsMargins(0, 0, 1, 0);
    buttons->addWidget(m_cancel);
    buttons->addStretch(1);
    buttons->addWidget(m_progress);
    buttons->addWidget(m_save);
    layout->addLayout(buttons);

    connect(m_durationField, &QLineEdit::editingFinished, this, &BookTimeView::takeDurationText);
    connect(m_save, &QPushButton::clicked, this, &BookTimeView::save);
    connect(m_cancel, &QPushButton::clicked, this, &BookTimeView::cancel);

    QPointer<BookTimeView> self(this);
    m_durationSubscription = form.durationStream().subscribe([self](const double&) {
        // A duration set from elsewhere shows at once; the field being edited keeps
        // what the user is typing.
        if (self && !self->m_durationField->hasFocus()) {
            self->showDuration();
        }
    });
    m_allValidSubscription = form.manager()->allValidStream().subscribe([self](const bool& allValid) {
        if (self) {
            self->m_allValid = allValid;
            self->updateSaveButton();
        }
    });
    connect(&form, &AbstractWorkLogForm::networkRequestInProgressChanged, this, [this](bool inProgress) {
        m_progress->setAnimating(inProgress);
        updateSaveButton();
    });
    connect(&form, &AbstractWorkLogForm::errorOccurredChanged, this, [this](bool occurred) {
        if (occurred) {
            showAlert();
        }
    });
    m_progress->setAnimating(form.networkRequestInProgress());
    updateSaveButton();
}

BookTimeView::~BookTimeView() = default;

void BookTimeView::showDuration() {
    if (!m_form) {
        return;
    }
    // Under a minute there is no readable text; the placeholder shows instead.
    m_durationField->setText(ReadableTimeFormatter::format(m_form->duration()).value_or(QString()));
}

void BookTimeView::takeDurationText() {
    if (!m_form) {
        return;
    }
    const QString text = m_durationField->text();
    if (auto seconds = ReadableTimeFormatter::parse(text)) {
        m_form->setDuration(*seconds);
    }
    // What the field shows is always the duration that would be booked: rejected
    // text gives way to the duration kept.
    showDuration();
}

void BookTimeView::updateSaveButton() {
    const bool inProgress = m_form && m_form->networkRequestInProgress();
    m_save->setEnabled(m_form && m_allValid && !inProgress);
}

void BookTimeView::save() {
    if (!m_form || m_dismissed) {
        return;
    }
    // A duration typed without Return counts as entered.
    if (m_durationField->isModified()) {
        m_durationField->setModified(false);
        takeDurationText();
    }
    if (m_form->networkRequestInProgress()) {
        return;
    }
    QPointer<BookTimeView> sheet(this);
    QPointer<TimerViewModel> timer(m_timer);
    const Project project = m_form->project();
    m_form->save([sheet, timer, project] {
        NotificationCenter::defaultCenter().post(QString(NotificationName::timeEntrySaved), project);
        // A sheet closed in the meantime has already let go of its timer, which may
        // be tracking something new by now.
        if (sheet && !sheet->m_dismissed) {
            sheet->dismiss(QDialog::Accepted);
            if (timer) {
                timer->reset();
            }
        }
    });
    updateSaveButton();
}

void BookTimeView::cancel() {
    if (m_dismissed) {
        return;
    }
    dismiss(QDialog::Rejected);
    if (m_timer) {
        m_timer->reset();
    }
}

void BookTimeView::showAlert() {
    if (m_alert || m_dismissed) {
        return;
    }
    m_alert = new QMessageBox(QMessageBox::Warning, errorTitle, errorTitle, QMessageBox::Ok, this);
    m_alert->setInformativeText(errorMessage);
    m_alert->setAttribute(Qt::WA_DeleteOnClose);
    m_alert->setWindowModality(Qt::WindowModal);
    connect(m_alert, &QMessageBox::finished, this, [this] {
        if (m_form) {
            m_form->setErrorOccurred(false);
        }
    });
    ReadableAlert::prepare(*m_alert);
    m_alert->open();
}

void BookTimeView::dismiss(int result) {
    done(result);
}

void BookTimeView::reject() {
    // Escape and the window's close button mean Cancel.
    cancel();
}

void BookTimeView::done(int result) {
    // Escape, closing the window or a call from outside end here too.
    if (m_alert) {
        m_alert->close();
    }
    QDialog::done(result);
    if (!m_dismissed) {
        m_dismissed = true;
        emit dismissed();
    }
}

} // namespace velmora
