#include "views/main/BookTimeView.h"

#include "views/main/DiscardQuestion.h"
#include "views/main/LoadFailureView.h"

#include "core/model/NotificationNames.h"
#include "core/time/AbstractWorkLogForm.h"
#include "core/time/ReadableTimeFormatter.h"
#include "introspection/Introspect.h"
#include "introspection/PlatformViewVersionPredicate.h"
#include "introspection/QtVersion.h"
#include "introspection/TextEditor.h"
#include "platform/notifications/NotificationCenter.h"
#include "platform/richtext/OutsideToolTip.h"
#include "state/BookingRecords.h"
#include "state/TimerViewModel.h"
#include "validation/FormManager.h"
#include "validation/MessageColor.h"
#include "validation/ValidationMessageView.h"
#include "views/main/ActivityIndicator.h"
#include "views/main/Appearance.h"
#include "views/main/BookingTexts.h"
#include "views/main/CustomTextEditor.h"
#include "views/main/PlainText.h"
#include "views/main/ReadableAlert.h"
#include "views/main/ScreenRoom.h"

#include <QApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSet>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>

namespace velmora {

namespace {

// The records open sheets follow.
QSet<QUuid>& followed() {
    static QSet<QUuid> records;
    return records;
}

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

// A message under the duration: red text of a shade that reads on the sheet. Hidden, it
// keeps its room.
QLabel* durationMessageLabel(const QString& text, const QFont& font, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    QPalette colors = label->palette();
    colors.setColor(QPalette::WindowText, MessageColor::readable(colors));
    label->setPalette(colors);
    QSizePolicy policy = label->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    label->setSizePolicy(policy);
    label->hide();
    return label;
}

} // namespace

BookTimeView::BookTimeView(AbstractWorkLogForm& form, TimerViewModel& timer, QWidget* parent)
    : BookTimeView(form, timer, Source::timer, parent) {}

BookTimeView::BookTimeView(AbstractWorkLogForm& form, TimerViewModel& timer, Source source, QWidget* parent)
    : QDialog(parent), m_form(&form), m_timer(&timer), m_records(timer.bookings()), m_source(source) {
    setWindowModality(Qt::WindowModal);
    setWindowTitle(tr("Save your work log"));
    setFixedWidth(sheetWidth);

    auto* sheetLayout = new QVBoxLayout(this);
    sheetLayout->setSpacing(10);
    // Everything but the buttons scrolls, so a sheet taller than the screen keeps its buttons
    // in view (a small screen at a high scale has a few hundred pixels).
    m_body = new QScrollArea(this);
    m_body->setObjectName(QStringLiteral("SheetBody"));
    m_body->setFrameShape(QFrame::NoFrame);
    m_body->setWidgetResizable(true);
    m_body->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_body->setMinimumHeight(0);
    auto* content = new QWidget(m_body);
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    m_body->setWidget(content);
    // What the body shows changes its height: the sheet follows (fitHeight).
    content->installEventFilter(this);
    m_body->viewport()->installEventFilter(this);
    connect(m_body->verticalScrollBar(), &QScrollBar::actionTriggered, this, [this] { m_reveal = nullptr; });
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now && m_body->isAncestorOf(now)) {
            m_reveal = nullptr;
        }
    });
    m_body->viewport()->setAutoFillBackground(false);
    content->setAutoFillBackground(false);
    sheetLayout->addWidget(m_body, 1);

    auto* title = new QLabel(tr("Save your work log"), this);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.6);
    title->setFont(titleFont);
    layout->addWidget(title);

    // Which task this books: another task may be selected behind the sheet by now.
    m_taskLabel = new QLabel(this);
    m_taskLabel->setObjectName(QStringLiteral("BookedTask"));
    m_taskLabel->setTextFormat(Qt::PlainText);
    m_taskLabel->setWordWrap(false);
    m_taskLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    const QString taskName = bookedTaskName(form.task());
    const QMargins margins = sheetLayout->contentsMargins();
    m_taskLabel->setText(m_taskLabel->fontMetrics().elidedText(
        taskName, Qt::ElideRight, sheetWidth - margins.left() - margins.right()));
    OutsideToolTip::attach(m_taskLabel, taskName);
    layout->addWidget(m_taskLabel);

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
    // starting duration, so the form's validity is known before Save is set up. Its
    // message shows in the slot below, with the sheet's own.
    m_durationView = new ValidationMessageView(
        m_durationField, form.durationValidation(), [](const QString&) -> QWidget* { return nullptr; }, this);
    durationGroup->addWidget(m_durationView);
    // One slot under the duration for whichever of its messages applies, as tall as the
    // longer of them from the start: a message that appears there moves nothing below it.
    // The field is mostly left by a click elsewhere, and a button that moved between the
    // press and the release would lose that click.
    auto* messages = new QWidget(this);
    auto* slot = new QGridLayout(messages);
    slot->setContentsMargins(0, 0, 0, 0);
    QFont ruleFont = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    ruleFont.setPixelSize(14);
    ruleFont.setWeight(QFont::Normal);
    m_durationRuleMessage = durationMessageLabel(AbstractWorkLogForm::durationMessage, ruleFont, messages);
    m_durationTextError = durationMessageLabel(durationTextMessage, font(), messages);
    slot->addWidget(m_durationRuleMessage, 0, 0, Qt::AlignTop);
    slot->addWidget(m_durationTextError, 0, 0, Qt::AlignTop);
    durationGroup->addWidget(messages);
    const auto showRule = [this](const Validation& validation) {
        m_durationRule = validation;
        updateDurationMessages();
    };
    m_durationRulePublisher = form.durationValidation().publisher().subscribe(showRule);
    PassthroughSubject<Validation> checks = form.durationValidation().subject();
    m_durationRuleSubject = checks.subscribe(showRule);
    m_durationRule = m_durationView->latestValidation();
    layout->addLayout(durationGroup);
    showDuration();

    // What the tracker's inputs could not load says so above them; the sheet still books.
    m_loadFailure = new LoadFailureView(LoadFailureView::Style::banner, QString(), this);
    m_loadFailure->setObjectName(QStringLiteral("InputsLoadFailure"));
    m_loadFailure->headlineLabel()->setWordWrap(true);
    m_loadFailure->hide();
    layout->addWidget(m_loadFailure);
    connect(m_loadFailure, &LoadFailureView::retryRequested, this, [this] {
        if (m_form) {
            m_form->retryInputsLoad();
        }
    });
    connect(&form, &AbstractWorkLogForm::inputsLoadFailureChanged, this, &BookTimeView::showLoadFailure);

    m_additionalFields = form.additionalFields(this);
    if (m_additionalFields) {
        layout->addWidget(m_additionalFields);
        customizeTextEditor(m_additionalFields);
        // Tab moves on to the next input: a description needs no tab characters.
        for (QPlainTextEdit* editor : m_additionalFields->findChildren<QPlainTextEdit*>()) {
            editor->setTabChangesFocus(true);
        }
    }

    // What became of the booking sent, while there is something to say.
    m_stateLabel = new QLabel(this);
    m_stateLabel->setObjectName(QStringLiteral("BookingState"));
    m_stateLabel->setTextFormat(Qt::PlainText);
    m_stateLabel->setWordWrap(true);
    m_stateLabel->hide();
    layout->addWidget(m_stateLabel);

    // A stop the start of another task asked for says which task starts after it.
    m_pendingStartLabel = new QLabel(this);
    m_pendingStartLabel->setObjectName(QStringLiteral("PendingStart"));
    m_pendingStartLabel->setTextFormat(Qt::PlainText);
    m_pendingStartLabel->setWordWrap(true);
    m_pendingStartLabel->hide();
    layout->addWidget(m_pendingStartLabel);

    auto* buttons = new QHBoxLayout;
    m_cancel = new QPushButton(tr("Cancel"), this);
    m_cancel->setAutoDefault(false);
    m_save = new QPushButton(tr("Save"), this);
    // Return books only from the duration field (below): elsewhere it commits the
    // input being edited.
    m_save->setAutoDefault(false);
    m_progress = new ActivityIndicator(16, this);
    m_progress->setContentsMargins(0, 0, 1, 0);
    buttons->addWidget(m_cancel);
    buttons->addStretch(1);
    buttons->addWidget(m_progress);
    buttons->addWidget(m_save);
    sheetLayout->addLayout(buttons);

    connect(m_durationField, &QLineEdit::textEdited, this, &BookTimeView::durationTextEdited);
    connect(m_durationField, &QLineEdit::editingFinished, this, &BookTimeView::takeDurationText);
    // Return in the duration books what it says, as the sheet's default action, once
    // Save can.
    connect(m_durationField, &QLineEdit::returnPressed, this, [this] {
        m_durationField->setModified(false);
        takeDurationText();
        if (m_save->isEnabled()) {
            save();
        }
    });
    connect(m_save, &QPushButton::clicked, this, &BookTimeView::save);
    connect(m_cancel, &QPushButton::clicked, this, &BookTimeView::cancel);

    QPointer<BookTimeView> self(this);
    m_durationSubscription = form.durationStream().subscribe([self](const double&) {
        // A duration set from elsewhere shows at once; the field being edited keeps
        // what the user is typing.
        if (self && !self->m_takingText && !self->m_durationField->hasFocus()) {
            self->showDuration();
        }
        if (self) {
            self->showPendingStart();
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
    // What is on the task already, read while the user reads the sheet: a booking whose
    // answer never comes is then told apart from those.
    form.learnEntriesBefore();
    form.openConnectionAhead();
    // Nothing leaves without its record on disk. The record's id goes with the booking's
    // answer whatever becomes of the sheet: the answer is the record's to take.
    auto sent = std::make_shared<std::optional<QUuid>>();
    connect(&form, &AbstractWorkLogForm::bookingSending, this, [this, sent](const WorkLogBooking& booking) {
        if (!m_records || !m_timer || !m_form) {
            if (m_form) {
                m_form->holdBackBooking();
            }
            showNotice(notSentTitle, recordFailureMessage(tr("no place to keep it")));
            return;
        }
        BookingRecord draft;
        draft.account = m_timer->key();
        draft.tracker = m_form->trackerName();
        draft.project = m_form->project();
        draft.task = m_form->task();
        draft.booking = booking;
        draft.source = m_source == Source::timer && !m_replacing ? BookingRecord::Source::timer
                                                                 : BookingRecord::Source::manual;
        // The booking leaves once its record is on disk; the sheet shows it leaving meanwhile.
        m_form->deferBooking();
        QPointer<AbstractWorkLogForm> form = m_form;
        QPointer<BookTimeView> sheet(this);
        const std::optional<QUuid> replacing = m_replacing;
        const std::optional<QUuid> before = m_record;
        const QUuid id = m_records->depart(
            draft, m_replacing, [form, sheet, replacing, before](const std::optional<QString>& failure) {
                if (form) {
                    form->releaseBooking(!failure);
                }
                if (failure && sheet) {
                    sheet->notDeparted(replacing, before, *failure);
                }
            });
        *sent = id;
        if (m_record) {
            followed().remove(*m_record);
        }
        m_record = id;
        followed().insert(id);
        m_replacing.reset();
        showState();
    });
    if (m_records) {
        BookingRecords* records = m_records;
        connect(&form, &AbstractWorkLogForm::bookingSaved, records, [records, sent](const QString& entryId) {
            if (*sent) {
                records->answered(**sent, entryId);
            }
        });
        connect(&form, &AbstractWorkLogForm::bookingRefused, records, [records, sent](const APIError& error) {
            if (*sent) {
                records->refused(**sent, error);
            }
        });
        connect(&form, &AbstractWorkLogForm::bookingOutcomeUnknown, records,
                [records, sent](const APIError& error) {
                    if (*sent) {
                        records->unseen(**sent, error);
                    }
                });
        connect(records, &BookingRecords::recordChanged, this, &BookTimeView::followRecord);
    }
    m_progress->setAnimating(form.networkRequestInProgress());
    updateSaveButton();
    showLoadFailure();
    showPendingStart();
    fitHeight();
}

QString BookTimeView::bookedTaskName(const Issue& task) {
    // The sheet shows a line of it: a tracker's name of any length costs no more than that.
    constexpr qsizetype shownLength = 300;
    const QString reference = task.reference ? plainName(*task.reference, shownLength) : QString();
    const QString name = plainName(task.name, shownLength);
    // One line, whatever line breaks the tracker's names hold.
    return (reference.isEmpty() ? name : reference + QLatin1Char(' ') + name).simplified();
}

void BookTimeView::showLoadFailure() {
    const auto& failure = m_form ? m_form->inputsLoadFailure() : std::nullopt;
    if (failure) {
        m_loadFailure->setHeadline(failure->headline);
        m_loadFailure->setError(failure->error);
    }
    m_loadFailure->setVisible(failure.has_value());
}

bool BookTimeView::eventFilter(QObject* watched, QEvent* event) {
    if (m_body && watched == m_body->widget() && event->type() == QEvent::LayoutRequest) {
        // After the body's layout has taken the change in.
        QMetaObject::invokeMethod(this, &BookTimeView::fitHeight, Qt::QueuedConnection);
        QMetaObject::invokeMethod(this, &BookTimeView::revealAnswer, Qt::QueuedConnection);
    }
    if (m_reveal && m_body && watched == m_body->viewport() && event->type() == QEvent::Resize) {
        // The sheet took its new height (the desktop may give it later than asked).
        QMetaObject::invokeMethod(this, &BookTimeView::revealAnswer, Qt::QueuedConnection);
    }
    if (m_fitOnExpose && watched == windowHandle() && event->type() == QEvent::Expose) {
        m_fitOnExpose = false;
        watched->removeEventFilter(this);
        // After the exposure has been handled.
        QMetaObject::invokeMethod(this, &BookTimeView::fitHeight, Qt::QueuedConnection);
    }
    return QDialog::eventFilter(watched, event);
}

bool BookTimeView::event(QEvent* event) {
    if (event->type() == QEvent::Show && !m_shownOnce) {
        m_shownOnce = true;
        // The duration is what is most often changed: typing replaces it.
        m_durationField->setFocus(Qt::OtherFocusReason);
        m_durationField->selectAll();
    }
    const bool handled = QDialog::event(event);
    // The layout has just taken in a change of content (a message shown or hidden).
    if (event->type() == QEvent::LayoutRequest) {
        fitHeight();
    }
    return handled;
}

void BookTimeView::fitHeight() {
    // The width is fixed, so the height follows from the content: messages that wrap
    // make the sheet taller instead of pushing its buttons out of view. On a screen too
    // small for it, the sheet takes what the screen has and its body scrolls.
    QLayout* sheet = layout();
    QLayout* content = m_body && m_body->widget() ? m_body->widget()->layout() : nullptr;
    if (!sheet || !content) {
        return;
    }
    sheet->activate();
    const QMargins margins = sheet->contentsMargins();
    // Measured as narrow as a scroll bar would leave it: wrapped words then fit at either width,
    // and a scroll bar shown for a moment (words that grew before the sheet did) goes again.
    const int scrollBar = m_body->verticalScrollBar()->sizeHint().width();
    const int bodyWidth = sheetWidth - margins.left() - margins.right() - scrollBar;
    const int body = content->hasHeightForWidth() ? content->totalHeightForWidth(bodyWidth)
                                                  : content->totalSizeHint().height();
    int height = margins.top() + body + sheet->spacing() + m_save->sizeHint().height() + margins.bottom();
    if (const QRect room = ScreenRoom::of(*this); room.height() > 0) {
        height = std::min(height, room.height());
    }
    if (body <= 0 || height == this->height()) {
        return;
    }
    // A window the desktop is still placing is left alone until it shows: changing its
    // size then loses the place it was given (the sheet would land in a screen corner).
    if (QWindow* handle = windowHandle(); handle && isVisible() && !handle->isExposed()) {
        if (!m_fitOnExpose) {
            m_fitOnExpose = true;
            handle->installEventFilter(this);
        }
        return;
    }
    setFixedHeight(height);
    ScreenRoom::keepWithin(*this);
}

void BookTimeView::revealAnswer() {
    for (QLabel* answer : {m_stateLabel, m_pendingStartLabel}) {
        const QString said = answer->isVisibleTo(this) ? answer->text() : QString();
        if (said != m_answered.value(answer)) {
            m_answered.insert(answer, said);
            if (!said.isEmpty()) {
                m_reveal = answer;
            }
        }
    }
    if (m_reveal && m_reveal->isVisibleTo(this)) {
        m_body->ensureWidgetVisible(m_reveal, 0, 0);
    }
}

bool BookTimeView::isFollowing(const QUuid& record) {
    return followed().contains(record);
}

void BookTimeView::showPendingStart() {
    const std::optional<Issue> next =
        m_source == Source::timer && m_timer && !m_record ? m_timer->pendingTask() : std::nullopt;
    if (!next || !m_form || !m_timer->task()) {
        m_pendingStartLabel->hide();
        return;
    }
    const QString nextName = isolatedName(bookedTaskName(*next));
    const double left = m_timer->elapsed() - m_form->duration();
    if (left >= TimerViewModel::minimumBookable) {
        const QString kept = ReadableTimeFormatter::format(left).value_or(QString());
        m_pendingStartLabel->setText(
            tr("%1 won't start: the %2 not booked here stays on the timer of %3.")
                .arg(nextName, kept, isolatedName(bookedTaskName(*m_timer->task()))));
    } else {
        m_pendingStartLabel->setText(tr("%1 starts once this time is booked.").arg(nextName));
    }
    m_pendingStartLabel->show();
}

BookTimeView::~BookTimeView() {
    if (m_record) {
        followed().remove(*m_record);
    }
    // The window's teardown moves the focus, and the duration field would report its
    // editing finished to a sheet that is no longer one.
    if (m_durationField) {
        m_durationField->disconnect(this);
    }
}

void BookTimeView::showDuration() {
    if (!m_form) {
        return;
    }
    // Under a minute there is no readable text; the placeholder shows instead.
    m_durationField->setText(ReadableTimeFormatter::format(m_form->duration()).value_or(QString()));
}

void BookTimeView::durationTextEdited(const QString& text) {
    if (!m_form) {
        return;
    }
    // The form follows the text as it is typed, so Save always stands for what the
    // field shows. An empty field is no time at all (the minute rule then speaks).
    const QString trimmed = text.trimmed();
    const auto seconds = trimmed.isEmpty() ? std::optional<double>(0) : ReadableTimeFormatter::parse(trimmed);
    m_durationTextInvalid = !seconds;
    updateDurationMessages();
    if (seconds) {
        // The field already shows this duration, as typed: it must not be rewritten.
        m_takingText = true;
        m_form->setDuration(*seconds);
        m_takingText = false;
    }
    updateSaveButton();
}

void BookTimeView::updateDurationMessages() {
    // Text that cannot be read says so; the rule is about the duration the form has, which
    // that text did not change.
    m_durationTextError->setVisible(m_durationTextInvalid);
    const bool ruleFails = m_durationRule.isFailure() && !m_durationTextInvalid;
    if (ruleFails) {
        m_durationRuleMessage->setText(m_durationRule.failureMessage().value_or(QString()));
    }
    m_durationRuleMessage->setVisible(ruleFails);
}

void BookTimeView::takeDurationText() {
    if (!m_form) {
        return;
    }
    durationTextEdited(m_durationField->text());
    // Text that reads as a duration is shown in its usual form; text that does not
    // stays as typed, with Save disabled, so the user sees what to correct.
    if (!m_durationTextInvalid) {
        showDuration();
    }
}

void BookTimeView::updateSaveButton() {
    const bool inProgress = m_form && m_form->networkRequestInProgress();
    m_save->setEnabled(m_form && m_allValid && !inProgress && !m_durationTextInvalid && !bookingHeld() &&
                       !m_gone);
}

bool BookTimeView::bookingHeld() const {
    if (!m_record || !m_records) {
        return false;
    }
    const auto record = m_records->record(*m_record);
    return record && (record->isOpen() || record->state == BookingRecord::State::asked);
}

void BookTimeView::followRecord(const QUuid& id) {
    if (!m_record || id != *m_record || !m_records) {
        return;
    }
    const auto record = m_records->record(id);
    if (record && record->state == BookingRecord::State::saved && !m_dismissed) {
        // The tracker has it (its answer, or a look-up while the sheet was open), and that is
        // on disk: the sheet books nothing more. Time left on the tracked task keeps the timer:
        // the task that waited does not start, now or at a later stop (the sheet said so).
        if (m_source == Source::timer && m_timer && m_timer->isInUse() && m_timer->hasPendingStart()) {
            m_timer->dropPendingStart();
        }
        m_settling = true;
        dismiss(QDialog::Accepted);
        return;
    }
    if (record && record->state == BookingRecord::State::returned) {
        // The timer went on to another task: a Save from here books these seconds in
        // the record's place.
        m_replacing = record->id;
    }
    showState();
    updateSaveButton();
}

void BookTimeView::notDeparted(const std::optional<QUuid>& replacing, const std::optional<QUuid>& before,
                               const QString& failure) {
    // Nothing left: the sheet follows what it followed before.
    if (m_record) {
        followed().remove(*m_record);
    }
    m_record = before;
    if (m_record) {
        followed().insert(*m_record);
    }
    // Time that was returned is booked from its record or not at all, never as new time: a
    // Save from here asks for it again, as the record holds it now.
    m_replacing = replacing;
    const auto held = replacing && m_records ? m_records->record(*replacing) : std::nullopt;
    QString message = recordFailureMessage(failure);
    if (held && held->state == BookingRecord::State::returned && m_form) {
        m_form->setDuration(static_cast<double>(held->booking.seconds));
        showDuration();
        message += QLatin1Char(' ') + tr("%1 waits to be booked now: Save books the duration shown from it.")
                                          .arg(BookingTexts::named(*held, *m_records));
    } else if (replacing) {
        // Booked or discarded meanwhile: nothing of it is left to book from here.
        m_gone = true;
    }
    showNotice(notSentTitle, message);
    showState();
    updateSaveButton();
}

void BookTimeView::showState() {
    const auto record = m_record && m_records ? m_records->record(*m_record) : std::nullopt;
    const QString text = record ? BookingTexts::sheetState(*record, *m_records) : QString();
    m_stateLabel->setText(text);
    m_stateLabel->setVisible(!text.isEmpty());
    // Closing loses nothing while the booking holds the time elsewhere.
    m_cancel->setText(bookingHeld() ? tr("Close") : tr("Cancel"));
    if (record) {
        // Words for a slow answer once it is slow, and how long it is waited for.
        QPointer<BookTimeView> self(this);
        BookingTexts::whenSlow(*record, *m_records, this, [self] {
            if (self) {
                self->showState();
            }
        });
    }
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
    // Save and Return alike: nothing more is booked while the booking sent holds its
    // time on the tracker's side.
    if (m_form->networkRequestInProgress() || m_durationTextInvalid || bookingHeld() || m_gone) {
        return;
    }
    // The time leaves with the booking's record, and its answer is the record's: the sheet
    // closes once the record says saved, on disk (followRecord).
    m_form->save({});
    updateSaveButton();
}

QString BookTimeView::discardQuestionText(double seconds, const Issue& task) {
    const QString duration = ReadableTimeFormatter::format(seconds).value_or(QString());
    const QString name = task.reference && !task.reference->isEmpty() ? *task.reference : task.name;
    return tr("Discard %1 tracked on %2?").arg(duration, quotedName(name));
}

void BookTimeView::cancel() {
    if (m_dismissed || m_discardQuestion) {
        return;
    }
    // While the booking sent holds the time elsewhere, Cancel only closes: the time is
    // the record's, not the sheet's to discard.
    if (bookingHeld()) {
        reject();
        return;
    }
    const bool tracked = m_source == Source::timer && m_timer && m_timer->task() &&
                         m_timer->elapsed() >= AbstractWorkLogForm::minimumDuration;
    if (!tracked) {
        discard();
        return;
    }
    // Tracked time is gone for good once discarded: the user says so first.
    const DiscardQuestion asked =
        DiscardQuestion::make(discardQuestionText(m_timer->elapsed(), *m_timer->task()), QString(), this);
    asked.box->setWindowTitle(tr("Discard tracked time"));
    m_discardQuestion = asked.box;
    connect(asked.box, &QMessageBox::finished, this, [this, asked] {
        if (asked.box->clickedButton() == asked.discard) {
            // After the question has gone, so the sheet never closes under it.
            QMetaObject::invokeMethod(this, &BookTimeView::discard, Qt::QueuedConnection);
        }
    });
    asked.box->open();
}

void BookTimeView::discard() {
    if (m_dismissed) {
        return;
    }
    // A booking still waiting to leave is called off with the sheet.
    if (m_form) {
        m_form->cancelWaitingSave();
    }
    // A booking that left holds its own time (Cancel only closes then, see cancel()):
    // what is discarded is what the timer holds.
    m_settling = true;
    dismiss(QDialog::Rejected);
    if (m_source == Source::timer && m_timer) {
        m_timer->reset();
    }
}

void BookTimeView::showAlert() {
    if (m_alert || m_dismissed) {
        return;
    }
    m_alert = new QMessageBox(QMessageBox::Warning, errorTitle, errorTitle, QMessageBox::Ok, this);
    const std::optional<APIError> error = m_form ? m_form->lastError() : std::nullopt;
    if (!error || failureMayBeTheInput(*error)) {
        m_alert->setInformativeText(errorMessage);
    } else {
        // The server, the network or the account failed, not what was typed.
        m_alert->setWindowTitle(notSavedTitle);
        m_alert->setText(notSavedTitle);
        m_alert->setInformativeText(BookingTexts::refusal(*error, m_form->trackerName()));
    }
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

QString BookTimeView::recordFailureMessage(const QString& reason) {
    return tr("Velmora couldn't save its note of this booking: %1. Nothing was sent.").arg(reason);
}

void BookTimeView::showNotice(const QString& title, const QString& text) {
    if (m_alert || m_dismissed) {
        return;
    }
    m_alert = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, this);
    m_alert->setTextFormat(Qt::PlainText);
    m_alert->setAttribute(Qt::WA_DeleteOnClose);
    m_alert->setWindowModality(Qt::WindowModal);
    ReadableAlert::prepare(*m_alert);
    m_alert->open();
}

void BookTimeView::dismiss(int result) {
    done(result);
}

void BookTimeView::reject() {
    // Escape and the window's close button only close the sheet: the time stays on
    // the stopped timer, to be booked later.
    dismiss(QDialog::Rejected);
}

void BookTimeView::done(int result) {
    // Escape, closing the window or a call from outside end here too.
    if (m_alert) {
        m_alert->close();
    }
    if (m_discardQuestion) {
        m_discardQuestion->close();
    }
    QDialog::done(result);
    if (!m_dismissed) {
        m_dismissed = true;
        if (m_record) {
            followed().remove(*m_record);
        }
        // A booking still waiting for the read of what was there has not left: it goes
        // with the sheet, so closing a slow sheet never leaves a booking behind it.
        if (m_form) {
            m_form->cancelWaitingSave();
        }
        // Closed with the time kept: a task waiting for it to be booked or discarded
        // does not start.
        if (!m_settling && m_source == Source::timer && m_timer) {
            m_timer->dropPendingStart();
        }
        emit dismissed();
    }
}

} // namespace velmora
