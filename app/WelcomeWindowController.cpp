#include "app/WelcomeWindowController.h"

#include "app/WindowFrames.h"

#include "state/BookingRecords.h"
#include "views/main/BookingTexts.h"
#include "views/main/ScreenRoom.h"
#include "views/settings/WelcomeView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QWindow>

namespace velmora {

WelcomeWindowController::WelcomeWindowController(QWidget* content, const QString& windowStateFile,
                                                 BookingRecords* records)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint),
      m_content(content ? content : new QWidget), m_windowStateFile(windowStateFile), m_records(records) {
    setObjectName(frameAutosaveName);
    setWindowTitle(QStringLiteral("Welcome to Velmora"));
    const QScreen* screen = QGuiApplication::primaryScreen();
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
    m_scroll = new QScrollArea(this);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setFocusPolicy(Qt::NoFocus);
    m_scroll->setWidget(m_content);
    m_scroll->viewport()->installEventFilter(this);
    layout->addWidget(m_scroll, 1);
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
        fit();
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
    fit();
}

void WelcomeWindowController::fit() {
    // The usual size where the screen has room for it; on a smaller one (a small screen at a
    // high scale) what it has, the content scrolling.
    QSize wanted(width, height);
    if (!m_keptNote->isHidden()) {
        wanted.rheight() += m_keptNote->heightForWidth(width);
    }
    const QRect room = ScreenRoom::of(*this);
    const QSize size = room.isEmpty() ? wanted : wanted.boundedTo(room.size());
    if (size == this->size() && minimumSize() == size) {
        return;
    }
    setFixedSize(size);
    ScreenRoom::keepWithin(*this);
}

void WelcomeWindowController::keepTrackersInView() {
    const auto* view = qobject_cast<const WelcomeView*>(m_content);
    if (!view || view->setupView()) {
        return;
    }
    for (const IntroRoute route : {IntroRoute::asanaSetup, IntroRoute::youTrackSetup}) {
        if (QPushButton* button = view->trackerButton(route)) {
            m_scroll->ensureWidgetVisible(button, 0, 0);
        }
    }
}

void WelcomeWindowController::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (QWindow* window = windowHandle()) {
        window->installEventFilter(this);
    }
}

bool WelcomeWindowController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == windowHandle() && event->type() == QEvent::Expose && windowHandle()->isExposed()) {
        // The frame is drawn now: the room it leaves is known.
        QMetaObject::invokeMethod(this, &WelcomeWindowController::fit, Qt::QueuedConnection);
    }
    if (watched == m_scroll->viewport() && event->type() == QEvent::Resize) {
        QMetaObject::invokeMethod(this, &WelcomeWindowController::keepTrackersInView, Qt::QueuedConnection);
    }
    return QWidget::eventFilter(watched, event);
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
