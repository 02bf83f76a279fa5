#include "app/WelcomeWindowController.h"

#include "app/WindowFrames.h"

#include "state/BookingRecords.h"
#include "views/main/BookingTexts.h"
#include "views/main/ScreenRoom.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>

namespace velmora {

WelcomeWindowController::WelcomeWindowController(QWidget* content, const QString& windowStateFile,
                                                 BookingRecords* records)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint),
      m_content(content ? content : new QWidget), m_windowStateFile(windowStateFile), m_records(records) {
    setObjectName(frameAutosaveName);
    setWindowTitle(QStringLiteral("Welcome to Velmora"));
    // The usual size where the screen has room for it; on a smaller one (a small screen at a
    // high scale) what it has, the content scrolling.
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect room = screen ? ScreenRoom::within(screen->availableGeometry()) : QRect();
    setFixedSize(room.isEmpty() ? QSize(width, height) : QSize(width, height).boundedTo(room.size()));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    // Time kept from a deleted account waits for an account to be booked on: the user lands
    // here, so it is said here.
    m_keptNote = new QLabel(this);
    m_keptNote->setObjectName(QStringLiteral("KeptTimeNote"));
    m_keptNote->setTextFormat(Qt::PlainText);
    m_keptNote->setWordWrap(true);
    m_keptNote->setContentsMargins(25, 10, 25, 0);
    m_keptNote->hide();
    layout->addWidget(m_keptNote);
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->setWidget(m_content);
    layout->addWidget(scroll, 1);
    if (m_records) {
        connect(m_records, &BookingRecords::recordChanged, this, &WelcomeWindowController::showKeptTime);
    }
    showKeptTime();
    m_content->setFocus();

    const QPoint saved = WindowFrames::read(m_windowStateFile, frameAutosaveName).toPoint();
    if (!saved.isNull() && screen && screen->availableVirtualGeometry().contains(QRect(saved, size()))) {
        move(saved);
    } else if (screen) {
        QRect area(QPoint(), size());
        area.moveCenter(screen->availableGeometry().center());
        move(area.topLeft());
    }
}

void WelcomeWindowController::showKeptTime() {
    QStringList kept;
    if (m_records) {
        for (const BookingRecord& record : m_records->records()) {
            if (record.account.isEmpty() && record.holdsSeconds()) {
                kept << BookingTexts::named(record, *m_records);
            }
        }
    }
    if (kept.isEmpty()) {
        m_keptNote->hide();
        return;
    }
    constexpr qsizetype named = 3;
    QString what = kept.mid(0, named).join(QStringLiteral("; "));
    if (kept.size() > named) {
        what += QLatin1Char(' ') + tr("and %n more", nullptr, static_cast<int>(kept.size() - named));
    }
    m_keptNote->setText(
        tr("Velmora keeps %1 from a deleted account, not booked. Add an account, and its main "
           "window offers to book that time on one of its tasks, or to discard it.")
            .arg(what));
    m_keptNote->show();
}

void WelcomeWindowController::keyPressEvent(QKeyEvent* event) {
    // Buttons outside a dialog leave Return to their window, which has no default
    // button: the one with the focus is what the user means.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        auto* button = qobject_cast<QAbstractButton*>(QApplication::focusWidget());
        if (button && isAncestorOf(button) && button->isEnabled() && button->isVisible()) {
            event->accept();
            button->click();
            return;
        }
    }
    QWidget::keyPressEvent(event);
}

void WelcomeWindowController::closeEvent(QCloseEvent* event) {
    WindowFrames::write(m_windowStateFile, frameAutosaveName, pos());
    QWidget::closeEvent(event);
    emit closed();
}

} // namespace velmora
