#include "app/MainMenu.h"

#include "app/AppDelegate.h"
#include "app/DeepLink.h"
#include "app/SoftwareUpdater.h"
#include "app/WindowManager.h"
#include "views/main/AssetNames.h"
#include "views/main/PlainText.h"
#include "views/main/SystemSymbol.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>

namespace velmora {

namespace {

// The focused widget's own slot (a text field's undo, copy, ...); nothing when it has none.
void sendToFocus(const char* slot) {
    if (QWidget* focus = QApplication::focusWidget()) {
        QMetaObject::invokeMethod(focus, slot);
    }
}

void deleteInFocus() {
    if (QWidget* focus = QApplication::focusWidget()) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
        QApplication::sendEvent(focus, &press);
    }
}

void addApplicationMenu(QMenuBar* bar, AppDelegate& delegate) {
    QMenu* menu = bar->addMenu(QApplication::applicationDisplayName());
    menu->setObjectName(QStringLiteral("applicationMenu"));
    QPointer<AppDelegate> self(&delegate);
    menu->addAction(QStringLiteral("About ") + QApplication::applicationDisplayName(), [self] {
        if (self) {
            self->windowManager().showAbout();
        }
    });
    menu->addAction(QStringLiteral("Check for Updates..."), [self] {
        if (self) {
            self->softwareUpdater().checkForUpdates();
        }
    });
    menu->addSeparator();
    QAction* settings = menu->addAction(QStringLiteral("Settings"), [self] {
        if (self) {
            self->windowManager().showSettings();
        }
    });
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    menu->addSeparator();
    QAction* quit = menu->addAction(QStringLiteral("Quit ") + QApplication::applicationDisplayName(),
                                    [] { QCoreApplication::quit(); });
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
}

void addAccountsMenu(QMenuBar* bar, AppDelegate& delegate) {
    QMenu* menu = bar->addMenu(QStringLiteral("Accounts"));
    menu->setObjectName(QStringLiteral("accountsMenu"));
    WindowManager& windows = delegate.windowManager();
    auto read = delegate.providerManager().tryFetchProviders();
    // A store that cannot be read lists nothing and takes no new account.
    const bool readable = read.ok();
    const std::vector<AnyProvider> accounts = readable ? std::move(read).value() : std::vector<AnyProvider>();
    const std::optional<QUuid> current = windows.provider() ? providerId(*windows.provider()) : std::nullopt;
    QPointer<AppDelegate> self(&delegate);
    for (const AnyProvider& account : accounts) {
        const bool operational = providerState(account) == ProviderState::operational;
        QAction* item = menu->addAction(plainMenuText(providerName(account)));
        item->setIcon(operational ? SystemSymbol::icon(SystemSymbol::Name::personFill,
                                                       QApplication::palette().color(QPalette::WindowText))
                                  : Assets::icon(QStringLiteral("exclamationmark.triangle.fill")));
        item->setCheckable(true);
        item->setChecked(providerId(account) == current);
        item->setEnabled(operational);
        if (operational) {
            QObject::connect(item, &QAction::triggered, item, [self, account] {
                if (self) {
                    // Later: the switch rebuilds this very menu.
                    QMetaObject::invokeMethod(
                        self, [self, account] { self->windowManager().switchProvider(account, false); },
                        Qt::QueuedConnection);
                }
            });
        }
    }
    if (!accounts.empty()) {
        menu->addSeparator();
    }
    QAction* add = menu->addAction(QStringLiteral("Add Account"), [self] {
        if (self) {
            self->openLinks({DeepLink::addAccountLink});
        }
    });
    add->setEnabled(readable);
}

void addEditMenu(QMenuBar* bar) {
    QMenu* menu = bar->addMenu(QStringLiteral("Edit"));
    menu->setObjectName(QStringLiteral("editMenu"));
    menu->addAction(QStringLiteral("Undo"), [] { sendToFocus("undo"); })->setShortcut(QKeySequence::Undo);
    menu->addAction(QStringLiteral("Redo"), [] { sendToFocus("redo"); })->setShortcut(QKeySequence::Redo);
    menu->addSeparator();
    menu->addAction(QStringLiteral("Cut"), [] { sendToFocus("cut"); })->setShortcut(QKeySequence::Cut);
    menu->addAction(QStringLiteral("Copy"), [] { sendToFocus("copy"); })->setShortcut(QKeySequence::Copy);
    menu->addAction(QStringLiteral("Paste"), [] { sendToFocus("paste"); })->setShortcut(QKeySequence::Paste);
    menu->addAction(QStringLiteral("Delete"), [] { deleteInFocus(); });
    menu->addAction(QStringLiteral("Select All"), [] { sendToFocus("selectAll"); })
        ->setShortcut(QKeySequence::SelectAll);
}

} // namespace

QMenuBar* MainMenu::build(AppDelegate& delegate) {
    auto* bar = new QMenuBar;
    bar->setObjectName(QStringLiteral("mainMenu"));
    addApplicationMenu(bar, delegate);
    addAccountsMenu(bar, delegate);
    addEditMenu(bar);
    return bar;
}

} // namespace velmora
