#include "app/MenuBarManager.h"

#include "app/TrayStatusItem.h"
#include "state/ElapsedTicker.h"
#include "state/TimerViewModel.h"
#include "views/main/PlainText.h"

#include <QCoreApplication>

namespace velmora {

MenuBarManager::MenuBarManager(std::unique_ptr<StatusItem> item, QObject* parent)
    : QObject(parent), m_item(std::move(item)), m_quit([] { QCoreApplication::quit(); }) {
    if (m_item) {
        followItem();
    }
}

MenuBarManager::MenuBarManager(std::function<std::unique_ptr<StatusItem>()> makeItem, QObject* parent)
    : QObject(parent), m_makeItem(std::move(makeItem)), m_quit([] { QCoreApplication::quit(); }) {}

MenuBarManager::~MenuBarManager() = default;

void MenuBarManager::setTimerViewModel(TimerViewModel* model) {
    m_timerViewModel = model;
    m_ticker.reset();
    if (model) {
        // The title shows hours and minutes.
        m_ticker = std::make_unique<ElapsedTicker>(*model, 60, [this] { refresh(); });
    }
    refresh();
}

void MenuBarManager::setOpenWindow(std::function<void()> open) {
    m_openWindow = std::move(open);
    if (m_item) {
        m_item->setActivation(m_openWindow);
    }
    refresh();
}

void MenuBarManager::showStatusItem() {
    if (!m_item) {
        m_item = m_makeItem ? m_makeItem() : nullptr;
        if (!m_item) {
            m_item = std::make_unique<TrayStatusItem>();
        }
        followItem();
    }
    refresh();
}

void MenuBarManager::followItem() {
    if (m_openWindow) {
        m_item->setActivation(m_openWindow);
    }
    // A tray that came (or went) takes the text from the window's title (or gives it back).
    QPointer<MenuBarManager> self(this);
    m_item->setAvailabilityChanged([self] {
        if (self) {
            self->refresh();
            emit self->statusItemAvailabilityChanged(self->m_item->isAvailable());
        }
    });
}

StatusItem& MenuBarManager::statusItem() {
    if (!m_item) {
        showStatusItem();
    }
    return *m_item;
}

void MenuBarManager::refresh() {
    if (!m_item) {
        return;
    }
    QList<StatusMenuEntry> entries;
    QString text;
    if (m_openWindow) {
        entries << StatusMenuEntry{QStringLiteral("Open Velmora"), m_openWindow};
        entries << StatusMenuEntry{QString(), {}, true};
    }
    // What is on hold is named in the menu and with the time; a task's name is anyone's
    // text, so a "&" in it is no mnemonic.
    const QStringList notes = m_notes ? m_notes() : QStringList();
    for (const QString& note : notes) {
        entries << StatusMenuEntry{plainMenuText(note), {}};
    }
    m_item->setNotes(notes);
    TimerViewModel* model = m_timerViewModel;
    if (model && model->state() != TimerViewModel::State::cancelled) {
        const bool active = model->state() == TimerViewModel::State::active;
        text = model->shortFormatter().string(model->elapsed()).value_or(QStringLiteral("00:00"));
        const auto& task = model->task();
        m_item->setImage(QStringLiteral("MenuBarActive"));
        m_item->setRunning(active);
        m_item->setTitle(text);
        m_item->setSubject(task ? task->reference.value_or(task->name) : QString());
        QPointer<MenuBarManager> self(this);
        entries << StatusMenuEntry{QStringLiteral("Pause"), active ? std::function<void()>([self] {
                                       if (self) {
                                           self->menuBarPause();
                                       }
                                   })
                                                                   : std::function<void()>()};
        entries << StatusMenuEntry{QStringLiteral("Continue"),
                                   active ? std::function<void()>() : std::function<void()>([self] {
                                       if (self) {
                                           self->menuBarContinue();
                                       }
                                   })};
        entries << StatusMenuEntry{QString(), {}, true};
    } else {
        m_item->setImage(QStringLiteral("MenuBarInactive"));
        m_item->setTitle(QString());
        m_item->setSubject(QString());
    }
    QPointer<MenuBarManager> self(this);
    entries << StatusMenuEntry{QStringLiteral("Quit"), [self] {
                                   if (self) {
                                       self->menuBarQuit();
                                   }
                               }};
    m_item->setMenu(entries);
    emit timerTextChanged(text);
}

void MenuBarManager::menuBarPause() {
    if (m_timerViewModel) {
        m_timerViewModel->pause();
    }
}

void MenuBarManager::menuBarContinue() {
    if (m_timerViewModel) {
        m_timerViewModel->resume();
    }
}

void MenuBarManager::menuBarQuit() {
    m_quit();
}

} // namespace velmora
