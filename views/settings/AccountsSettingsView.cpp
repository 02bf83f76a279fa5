#include "views/settings/AccountsSettingsView.h"

#include "core/model/NotificationNames.h"
#include "core/storage/FetchProviders.h"
#include "platform/notifications/NotificationCenter.h"
#include "views/settings/AccountRowView.h"
#include "views/settings/AccountSelectionView.h"
#include "views/settings/CreateAccountView.h"
#include "views/settings/EditAccountView.h"
#include "views/settings/SettingsForm.h"
#include "views/settings/SettingsSection.h"

#include <QApplication>
#include <QDir>
#include <QHBoxLayout>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyle>
#include <QVBoxLayout>

#include <utility>

namespace velmora {

AccountsSettingsView::AccountsSettingsView(SettingsViewModel& model, ProviderStore* store, QWidget* parent)
    : QWidget(parent), m_model(model),
      m_accounts(store ? new FetchProviders(*store, this) : new FetchProviders(this)) {
    setObjectName(QStringLiteral("AccountsSettingsView"));
    m_stack = new QStackedWidget;
    auto* list = new QWidget;
    auto* listLayout = new QVBoxLayout(list);
    listLayout->setContentsMargins(0, 0, 0, 0);
    m_form = new SettingsForm(model);
    m_section = m_form->addSection();
    listLayout->addWidget(m_form, 1);
    auto* footer = new QHBoxLayout;
    m_footer = footer;
    footer->setContentsMargins(20, 0, 20, 16);
    footer->addStretch();
    m_addAccount = new QPushButton(QStringLiteral("Add Account"));
    m_addAccount->setObjectName(QStringLiteral("addAccountButton"));
    connect(m_addAccount, &QPushButton::clicked, this, &AccountsSettingsView::presentSelection);
    footer->addWidget(m_addAccount);
    listLayout->addLayout(footer);
    m_stack->addWidget(list);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_stack);

    connect(m_accounts, &FetchProviders::providersChanged, this, &AccountsSettingsView::reloadRows);
    reloadRows();
}

AccountsSettingsView::~AccountsSettingsView() = default;

void AccountsSettingsView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!m_addAccountObserver.isActive()) {
        m_addAccountObserver = NotificationCenter::defaultCenter().addObserver(
            QString(NotificationName::addAccount), this, [this](const Notification&) { presentSelection(); });
    }
}

void AccountsSettingsView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    m_addAccountObserver.cancel();
}

void AccountsSettingsView::reloadRows() {
    // The section keeps no removal of its own: a new list replaces the old section.
    auto* old = m_section;
    m_section = m_form->addSection();
    old->hide();
    old->deleteLater();
    // A store that cannot be read takes no new accounts either.
    m_addAccount->setEnabled(!m_accounts->readFailed());
    if (m_accounts->readFailed()) {
        const QString path = QDir::toNativeSeparators(m_accounts->storePath());
        m_section->addRow(new SettingsRow(
            QStringLiteral("Your accounts could not be read."),
            QStringLiteral("The account store %1 is damaged. Nothing was changed in that file.").arg(path),
            nullptr));
        return;
    }
    const auto& accounts = m_accounts->providers();
    if (accounts.empty()) {
        m_section->addRow(new SettingsRow(QStringLiteral("No accounts"), QString(), nullptr));
        return;
    }
    for (const auto& account : accounts) {
        auto* row = new AccountRowView(account);
        connect(row, &AccountRowView::chosen, this, &AccountsSettingsView::openEditor);
        m_section->addRow(row);
    }
    // Tab follows the page down: the rows, then the button under them. New rows join the focus
    // chain at its end, after the button (moving the button after them by the chain's order did
    // not hold), so the button joins it again, after them.
    m_addAccount->setParent(nullptr);
    m_footer->addWidget(m_addAccount);
}

void AccountsSettingsView::openEditor(const AnyProvider& provider) {
    popEditor();
    m_editor = new EditAccountView(m_model, provider, nullptr, m_snapshots, m_bookings);
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* back = new QPushButton(QStringLiteral("Accounts"));
    back->setObjectName(QStringLiteral("backButton"));
    back->setIcon(style()->standardIcon(QStyle::SP_ArrowBack));
    back->setFlat(true);
    connect(back, &QPushButton::clicked, this, &AccountsSettingsView::popEditor);
    layout->addWidget(back, 0, Qt::AlignLeft);
    layout->addWidget(m_editor, 1);
    m_stack->addWidget(page);
    m_stack->setCurrentWidget(page);
    m_openedAccount = providerId(provider);
    // The keyboard follows into the editor: its first field, else the way back.
    QWidget* first = nullptr;
    for (QWidget* widget = m_editor->nextInFocusChain(); widget && widget != m_editor && !first;
         widget = widget->nextInFocusChain()) {
        if (m_editor->isAncestorOf(widget) && (widget->focusPolicy() & Qt::TabFocus) && widget->isEnabled() &&
            widget->isVisibleTo(page)) {
            first = widget;
        }
    }
    (first ? first : back)->setFocus(Qt::TabFocusReason);
}

void AccountsSettingsView::popEditor() {
    const bool hadKeyboard =
        m_stack->count() > 1 && m_stack->currentWidget()->isAncestorOf(QApplication::focusWidget());
    while (m_stack->count() > 1) {
        QWidget* page = m_stack->widget(1);
        m_stack->removeWidget(page);
        page->deleteLater();
    }
    m_stack->setCurrentIndex(0);
    // Back on the row it came from, for the next Tab or Return.
    const auto opened = std::exchange(m_openedAccount, std::nullopt);
    if (hadKeyboard && opened && m_section) {
        for (SettingsRow* row : m_section->rows()) {
            auto* account = qobject_cast<AccountRowView*>(row);
            if (account && providerId(account->provider()) == opened) {
                account->setFocus(Qt::TabFocusReason);
            }
        }
    }
}

void AccountsSettingsView::presentSelection() {
    // Already asking (or already setting one up): nothing more. A store that cannot
    // be read takes no new account, however the request came (the button, a link,
    // the menu).
    if (m_selection || m_setup || m_accounts->readFailed()) {
        return;
    }
    auto* sheet = new AccountSelectionView(this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    connect(sheet, &QDialog::finished, this, [this, sheet] {
        m_selectedProvider = sheet->selectedProvider();
        if (m_selectedProvider) {
            // Once the selection sheet has gone.
            const ProviderType type = *m_selectedProvider;
            QMetaObject::invokeMethod(
                this, [this, type] { presentSetup(type); }, Qt::QueuedConnection);
        }
    });
    m_selection = sheet;
    sheet->open();
}

void AccountsSettingsView::presentSetup(ProviderType type) {
    auto* sheet = new CreateAccountView(type, this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    connect(sheet, &QDialog::finished, this, [this] { m_selectedProvider.reset(); });
    m_setup = sheet;
    sheet->open();
}

} // namespace velmora
