#include "views/settings/SettingsWindowController.h"

#include "views/settings/SettingsSplitViewController.h"

#include "views/main/ScreenRoom.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QSettings>

#include <algorithm>
#include <memory>

namespace velmora {

namespace {
std::unique_ptr<QSettings> frameSettings(const QString& file) {
    return file.isEmpty() ? std::make_unique<QSettings>()
                          : std::make_unique<QSettings>(file, QSettings::NativeFormat);
}
} // namespace

SettingsWindowController::SettingsWindowController(SettingsEnvironment environment, QWidget* parent)
    : QMainWindow(parent), m_windowStateFile(environment.windowStateFile) {
    m_split = new SettingsSplitViewController(std::move(environment), this);
    setCentralWidget(m_split);
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    const QSize minimum = minimumSizeWithin(available);
    setMinimumSize(minimum);
    m_split->fitWidth(minimum.width());
    setWindowTitle(tr("Settings"));
    resize(minimum);
    m_frameSettled = new QTimer(this);
    m_frameSettled->setSingleShot(true);
    m_frameSettled->setInterval(500);
    connect(m_frameSettled, &QTimer::timeout, this, &SettingsWindowController::saveFrame);

    const QByteArray frame =
        frameSettings(m_windowStateFile)->value(QLatin1String(frameAutosaveName)).toByteArray();
    const QRect room = ScreenRoom::within(available);
    if (frame.isEmpty() || !restoreGeometry(frame)) {
        resize(firstStartSize(available));
        move(available.center() - rect().center());
    } else if (!available.contains(frameGeometry())) {
        // Kept from a larger screen, or a smaller scale.
        resize(size().boundedTo(room.size()).expandedTo(minimum));
        move(std::clamp(x(), room.left(), std::max(room.left(), room.right() - width() + 1)),
             std::clamp(y(), room.top(), std::max(room.top(), room.bottom() - height() + 1)));
    }
    m_restored = true;
}

QSize SettingsWindowController::minimumSizeWithin(const QRect& available) {
    return QSize(715, 400).boundedTo(ScreenRoom::within(available).size()).expandedTo(QSize(1, 1));
}

QSize SettingsWindowController::firstStartSize(const QRect& available) {
    // The General page, the longest, shows whole at 640; the frame's decorations come
    // on top of this size, so a margin keeps them on screen.
    return QSize(760, 640)
        .boundedTo(ScreenRoom::within(available).size())
        .expandedTo(minimumSizeWithin(available));
}

void SettingsWindowController::closeEvent(QCloseEvent* event) {
    QMainWindow::closeEvent(event);
    if (event->isAccepted()) {
        m_frameSettled->stop();
        saveFrame();
    }
    emit closed();
}

void SettingsWindowController::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) ||
        event->matches(QKeySequence::Close)) {
        event->accept();
        close();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void SettingsWindowController::saveFrame() {
    if (m_restored)
        frameSettings(m_windowStateFile)->setValue(QLatin1String(frameAutosaveName), saveGeometry());
}

void SettingsWindowController::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    if (m_restored)
        m_frameSettled->start();
}

void SettingsWindowController::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    if (m_restored)
        m_frameSettled->start();
}

} // namespace velmora
