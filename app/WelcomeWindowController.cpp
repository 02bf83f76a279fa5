#include "app/WelcomeWindowController.h"

#include "app/WindowFrames.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QVBoxLayout>

namespace velmora {

WelcomeWindowController::WelcomeWindowController(QWidget* content, const QString& windowStateFile)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint),
      m_content(content ? content : new QWidget), m_windowStateFile(windowStateFile) {
    setObjectName(frameAutosaveName);
    setWindowTitle(QStringLiteral("Welcome to Velmora"));
    setFixedSize(width, height);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_content);
    m_content->setFocus();

    const QPoint saved = WindowFrames::read(m_windowStateFile, frameAutosaveName).toPoint();
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!saved.isNull() && screen && screen->availableVirtualGeometry().contains(saved)) {
        move(saved);
    } else if (screen) {
        QRect area(QPoint(), size());
        area.moveCenter(screen->availableGeometry().center());
        move(area.topLeft());
    }
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
