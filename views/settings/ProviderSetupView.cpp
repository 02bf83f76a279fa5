#include "views/settings/ProviderSetupView.h"

#include "views/main/ActivityIndicator.h"
#include "views/main/Appearance.h"
#include "views/main/DisableReasons.h"
#include "views/main/DiscardQuestion.h"
#include "views/main/LoadFailureView.h"
#include "views/main/ReadableAlert.h"
#include "views/main/UnopenedAddressView.h"
#include "views/main/ValidatedContainerModifier.h"
#include "views/main/ValidatedFormManagerModifier.h"
#include "views/main/ValidationError.h"

#include <QCheckBox>
#include <QClipboard>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace velmora {

namespace {

const QString requestReason = QStringLiteral("networkRequestInProgress");

QLabel* sectionHeader(const QString& text) {
    auto* label = new QLabel(text);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

QFrame* sectionBox() {
    auto* box = new QFrame;
    box->setFrameShape(QFrame::StyledPanel);
    return box;
}

} // namespace

ProviderSetupView::ProviderSetupView(ProviderSetupViewModel* viewModel, Action onDelete, Action onCancel,
                                     QWidget* parent)
    : QWidget(parent), m_viewModel(viewModel), m_onDelete(std::move(onDelete)),
      m_onCancel(std::move(onCancel)) {
    m_viewModel->setParent(this);
}

ProviderSetupView::~ProviderSetupView() = default;

QWidget* ProviderSetupView::labelled(const QString& text, const ValidationContainer& validation,
                                     const QString& footnote) {
    auto* box = new QWidget;
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addWidget(new QLabel(text));
    if (!footnote.isEmpty()) {
        auto* note = new QLabel(footnote);
        note->setFont(Appearance::scaledFont(note->font(), 0.85));
        QPalette colors = note->palette();
        colors.setColor(QPalette::WindowText, Appearance::secondary(colors));
        note->setPalette(colors);
        layout->addWidget(note);
    }
    auto* error = new ValidationError(validation);
    // The message's line stays reserved while the field is valid, so a message
    // coming or going never moves the fields under the pointer.
    for (auto* message : error->findChildren<QLabel*>()) {
        QSizePolicy policy = message->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        message->setSizePolicy(policy);
        // As tall as a line of message, whatever it holds now.
        const QString shown = message->text();
        message->setText(QStringLiteral("Ag"));
        message->setMinimumHeight(message->sizeHint().height());
        message->setText(shown);
    }
    layout->addWidget(error);
    return box;
}

void ProviderSetupView::build() {
    auto* layout = new QVBoxLayout(this);

    // Base information.
    layout->addWidget(sectionHeader(QStringLiteral("Base information")));
    auto* base = sectionBox();
    auto* baseLayout = new QVBoxLayout(base);
    baseLayout->addWidget(labelled(QStringLiteral("Name"), m_viewModel->nameValidation()));
    m_name = new QLineEdit(m_viewModel->name().value());
    m_name->setObjectName(QStringLiteral("nameField"));
    connect(m_name, &QLineEdit::textEdited, this,
            [this](const QString& text) { m_viewModel->name().setValue(text); });
    baseLayout->addWidget(m_name);
    layout->addWidget(base);

    // Account credentials.
    layout->addWidget(sectionHeader(QStringLiteral("Account credentials")));
    auto* credentialsBox = sectionBox();
    auto* credentialsLayout = new QVBoxLayout(credentialsBox);
    if (m_viewModel->isExisting()) {
        m_changeCredentials = new QCheckBox(QStringLiteral("Change credentials"));
        m_changeCredentials->setObjectName(QStringLiteral("changeCredentials"));
        m_changeCredentials->setChecked(m_viewModel->changeCredentials());
        connect(m_changeCredentials, &QCheckBox::toggled, this,
                [this](bool on) { m_viewModel->setChangeCredentials(on); });
        credentialsLayout->addWidget(m_changeCredentials);
    }
    m_credentials = new QWidget;
    auto* fields = new QVBoxLayout(m_credentials);
    fields->setContentsMargins(0, 0, 0, 0);
    buildCredentials(fields);
    credentialsLayout->addWidget(m_credentials);
    layout->addWidget(credentialsBox);

    // A sign-in no browser could be opened for: the address to open by hand.
    m_unopenedBox = new UnopenedAddressView(QStringLiteral("To sign in, open this address in a browser:"));
    layout->addWidget(m_unopenedBox);
    connect(m_viewModel, &ProviderSetupViewModel::unopenedAddressChanged, this,
            &ProviderSetupView::showUnopenedAddress);

    // Footer.
    m_footer = new QWidget;
    auto* footer = new QHBoxLayout(m_footer);
    footer->setContentsMargins(0, 0, 0, 0);
    if (m_onDelete) {
        m_deleteButton = new QPushButton(QStringLiteral("Delete account"));
        m_deleteButton->setObjectName(QStringLiteral("deleteButton"));
        m_deleteButton->setAutoDefault(false);
        connect(m_deleteButton, &QPushButton::clicked, this, &ProviderSetupView::askToDelete);
        footer->addWidget(m_deleteButton);
    }
    if (m_onCancel) {
        m_cancelButton = new QPushButton(QStringLiteral("Cancel"));
        m_cancelButton->setObjectName(QStringLiteral("cancelButton"));
        m_cancelButton->setAutoDefault(false);
        connect(m_cancelButton, &QPushButton::clicked, this, [this] {
            Action cancel = m_onCancel;
            cancel();
        });
        footer->addWidget(m_cancelButton);
    }
    footer->addStretch();
    m_progress = new ActivityIndicator(16);
    QSizePolicy keepRoom = m_progress->sizePolicy();
    keepRoom.setRetainSizeWhenHidden(true);
    m_progress->setSizePolicy(keepRoom);
    footer->addWidget(m_progress);
    layout->addWidget(m_footer);
    layout->addStretch();

    auto followRequests = [this](bool running) {
        m_progress->setVisible(running);
        m_progress->setAnimating(running);
        if (m_mainButton) {
            DisableReasons::set(m_mainButton, requestReason, running);
        }
    };
    connect(m_viewModel, &ProviderSetupViewModel::networkRequestInProgressChanged, this, followRequests);
    connect(m_viewModel, &ProviderSetupViewModel::choicesChanged, this,
            &ProviderSetupView::rebuildMainButton);
    connect(m_viewModel, &ProviderSetupViewModel::changeCredentialsChanged, this, [this](bool on) {
        if (m_changeCredentials && m_changeCredentials->isChecked() != on) {
            m_changeCredentials->setChecked(on);
        }
        updateCredentialsVisibility();
        rebuildMainButton();
    });
    connect(m_viewModel, &ProviderSetupViewModel::badCredentialsChanged, this,
            &ProviderSetupView::refreshAlert);
    connect(m_viewModel, &ProviderSetupViewModel::saveErrorChanged, this, &ProviderSetupView::refreshAlert);

    rebuildMainButton();
    updateCredentialsVisibility();
    followRequests(m_viewModel->networkRequestInProgress());
}

void ProviderSetupView::keyPressEvent(QKeyEvent* event) {
    // Return in a field is the main button, as in any form; it never reaches a host
    // dialog, whose default would otherwise be whatever button it found first.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (!enter || (event->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) {
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
    if (m_mainButton && m_mainButton->isEnabled() && m_mainButton->isVisible()) {
        m_mainButton->click();
    }
}

QWidget* ProviderSetupView::unopenedAddressBox() const {
    return m_unopenedBox;
}

QLineEdit* ProviderSetupView::unopenedAddressField() const {
    return m_unopenedBox->field();
}

QPushButton* ProviderSetupView::copyAddressButton() const {
    return m_unopenedBox->copyButton();
}

void ProviderSetupView::showUnopenedAddress() {
    const QUrl& address = m_viewModel->unopenedAddress();
    m_unopenedBox->showAddress(address);
    if (!address.isEmpty()) {
        // The address comes above the buttons: in a form that scrolls, they stay in view.
        QMetaObject::invokeMethod(
            this,
            [this] {
                for (QWidget* up = parentWidget(); up; up = up->parentWidget()) {
                    if (auto* scroll = qobject_cast<QScrollArea*>(up)) {
                        scroll->ensureWidgetVisible(m_footer, 0, 0);
                        return;
                    }
                }
            },
            Qt::QueuedConnection);
    }
}

void ProviderSetupView::updateCredentialsVisibility() {
    m_credentials->setVisible(m_viewModel->changeCredentials());
}

void ProviderSetupView::rebuildMainButton() {
    // The button's modifiers depend on the mode, so a change of mode makes a new one.
    const bool authorize = m_viewModel->showsAuthorize();
    auto* button = new QPushButton(authorize ? QStringLiteral("Authorize") : QStringLiteral("OK"));
    button->setObjectName(QStringLiteral("mainButton"));
    button->setDefault(true);
    if (authorize) {
        new ValidatedContainerModifier(button, m_viewModel->nameValidation(), Validation::failure(QString()));
        connect(button, &QPushButton::clicked, m_viewModel, &ProviderSetupViewModel::authorize);
    } else {
        if (m_viewModel->changeCredentials()) {
            new ValidatedFormManagerModifier(button, m_viewModel->manager(), false);
        } else {
            new ValidatedContainerModifier(button, m_viewModel->nameValidation(),
                                           Validation::failure(QString()));
        }
        connect(button, &QPushButton::clicked, m_viewModel, &ProviderSetupViewModel::confirm);
    }
    DisableReasons::set(button, requestReason, m_viewModel->networkRequestInProgress());
    auto* footer = static_cast<QHBoxLayout*>(m_footer->layout());
    if (m_mainButton) {
        footer->removeWidget(m_mainButton);
        m_mainButton->hide();
        m_mainButton->deleteLater();
    }
    m_mainButton = button;
    footer->addWidget(button);
}

void ProviderSetupView::askToDelete() {
    if (m_deleteDialog) {
        return;
    }
    auto* dialog = new QMessageBox(
        QMessageBox::Warning, QStringLiteral("Are you sure that you want to delete this?"),
        QStringLiteral("Are you sure that you want to delete this?"), QMessageBox::NoButton, this);
    dialog->setObjectName(QStringLiteral("deleteConfirmation"));
    // What goes, by the name it is stored under (not what the name field holds now).
    QString question = QStringLiteral("Delete the account \"%1\"?").arg(m_viewModel->storedName());
    if (const QString note = m_deleteNote ? m_deleteNote() : QString(); !note.isEmpty()) {
        question += QStringLiteral("\n\n") + note;
    }
    const QString held = m_heldNote && m_onDeleteHeld ? m_heldNote() : QString();
    if (!held.isEmpty()) {
        question += QStringLiteral("\n\n") + held;
    }
    dialog->setInformativeText(question);
    dialog->setTextFormat(Qt::PlainText);
    QPushButton* remove = nullptr;
    QPushButton* keep = nullptr;
    QPushButton* discard = nullptr;
    QPushButton* cancel = nullptr;
    // Every button keeps its auto-default: the default look follows the focus, and Return
    // presses the button drawn as the default, which the focus is on.
    if (held.isEmpty()) {
        remove = dialog->addButton(QStringLiteral("Delete"), QMessageBox::DestructiveRole);
        remove->setObjectName(QStringLiteral("confirmDelete"));
        cancel = dialog->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    } else {
        // Time that may still be booked goes nowhere by accident: waiting keeps the account.
        keep = dialog->addButton(keepTimeButton, QMessageBox::AcceptRole);
        keep->setObjectName(QStringLiteral("deleteKeepingTime"));
        discard = dialog->addButton(discardTimeButton, QMessageBox::DestructiveRole);
        discard->setObjectName(QStringLiteral("deleteDiscardingTime"));
        cancel = dialog->addButton(waitButton, QMessageBox::RejectRole);
    }
    cancel->setObjectName(QStringLiteral("cancelDelete"));
    // A stray Return keeps the account.
    dialog->setDefaultButton(cancel);
    dialog->setEscapeButton(cancel);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QMessageBox::buttonClicked, this,
            [this, remove, keep, discard](QAbstractButton* clicked) {
                Action action;
                if (clicked == remove && m_onDelete) {
                    action = m_onDelete;
                } else if (clicked == keep && m_onDeleteHeld) {
                    action = [onDelete = m_onDeleteHeld] { onDelete(true); };
                } else if (clicked == discard && m_onDeleteHeld) {
                    // Time let go is gone for good: asked first, naming it, as anywhere else.
                    action = [this] { askToDiscard(); };
                }
                if (!action) {
                    return;
                }
                // After the dialog has gone: the action may end this view.
                QMetaObject::invokeMethod(
                    this, [action] { action(); }, Qt::QueuedConnection);
            });
    m_deleteDialog = dialog;
    ReadableAlert::prepare(*dialog);
    dialog->open();
}

void ProviderSetupView::askToDiscard() {
    if (m_discardQuestion) {
        return;
    }
    const QString what = m_heldNames ? m_heldNames() : QString();
    const DiscardQuestion asked = DiscardQuestion::make(
        tr("Discard %1?").arg(what),
        tr("Velmora then lets this time go: it books it nowhere, and no longer shows it. The account is "
           "deleted."),
        this);
    m_discardQuestion = asked.box;
    connect(asked.box, &QMessageBox::finished, this, [this, asked] {
        if (asked.box->clickedButton() == asked.discard && m_onDeleteHeld) {
            QMetaObject::invokeMethod(
                this, [onDelete = m_onDeleteHeld] { onDelete(false); }, Qt::QueuedConnection);
        }
    });
    asked.box->open();
}

std::pair<QString, QString> ProviderSetupView::checkFailure(const std::optional<APIError>& failure,
                                                            bool addressIsTyped) {
    if (!failure || failure->isAccessRefused()) {
        return {authorizationFailedTitle(), checkCredentialsMessage()};
    }
    const APIError& error = *failure;
    const QString host = error.host().isEmpty() ? QStringLiteral("the server") : error.host();
    const QString checkConnection =
        addressIsTyped
            ? QStringLiteral(
                  "Check whether the base URL is correct and the network connection is up, and try "
                  "again.")
            : QStringLiteral("Check whether the network connection is up and try again.");
    const std::pair<QString, QString> noTracker{
        QStringLiteral("No tracker answers at this address."),
        addressIsTyped ? QStringLiteral("Check whether the provided base URL is correct and try again.")
                       : QStringLiteral("Try again later.")};
    switch (error.cause()) {
    case APIError::Cause::Unreachable:
        return {QStringLiteral("Can't reach %1.").arg(host), checkConnection};
    case APIError::Cause::TimedOut:
        return {QStringLiteral("Can't reach %1.").arg(host),
                QStringLiteral("It did not answer in time. ") + checkConnection};
    case APIError::Cause::UntrustedCertificate:
        return {QStringLiteral("The certificate of %1 isn't trusted.").arg(host),
                addressIsTyped ? QStringLiteral("Nothing was sent to it. Check whether the base URL is "
                                                "correct, or have the system trust the server's certificate, "
                                                "and try again.")
                               : QStringLiteral("Nothing was sent to it. Check whether the network "
                                                "connection is secure and try again.")};
    case APIError::Cause::Unreadable:
        // An answer, but not a tracker's: a web page, or no HTTP at all.
        return noTracker;
    case APIError::Cause::ServerError:
        if (error.httpStatus() == 404) {
            return noTracker;
        }
        break;
    case APIError::Cause::None:
        break;
    }
    return {QStringLiteral("The credentials could not be checked."), failureExplanation(error)};
}

std::optional<ProviderSetupView::Alert> ProviderSetupView::pendingAlert() {
    if (m_viewModel->badCredentials()) {
        auto [title, message] = checkFailure(m_viewModel->failure(), m_viewModel->addressIsTyped());
        return Alert{title, message, [this] { m_viewModel->setBadCredentials(false); }};
    }
    if (!m_viewModel->saveError().isEmpty()) {
        return Alert{QStringLiteral("The account could not be saved."), m_viewModel->saveError(),
                     [this] { m_viewModel->setSaveError(QString()); }};
    }
    return std::nullopt;
}

void ProviderSetupView::refreshAlert() {
    if (m_alert) {
        return;
    }
    auto alert = pendingAlert();
    if (!alert) {
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Warning, alert->title, alert->title, QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("alert"));
    box->setTextFormat(Qt::PlainText);
    box->setInformativeText(alert->message);
    // The informative text is a label of its own that guesses its format.
    if (auto* informative = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
        informative->setTextFormat(Qt::PlainText);
    }
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this, close = alert->close] {
        m_alert = nullptr;
        close();
        // The next failure, if another flag is still up.
        QMetaObject::invokeMethod(this, &ProviderSetupView::refreshAlert, Qt::QueuedConnection);
    });
    m_alert = box;
    ReadableAlert::prepare(*box);
    box->open();
}

} // namespace velmora
