#include "views/settings/SettingsWindowController.h"

#include "views/settings/SettingsSplitViewController.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QSettings>

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
    setMinimumSize(715, 400);
    setWindowTitle(tr("Settings"));
    resize(715, 400);
    m_frameSettled = new QTimer(this);
    m_frameSettled->setSingleShot(true);
    m_frameSettled->setInterval(500);
    connect(m_frameSettled, &QTimer::timeout, this, &SettingsWindowController::saveFrame);

    const QByteArray frame =
        frameSettings(m_windowStateFile)->value(QLatin1String(frameAutosaveName)).toByteArray();
    if (frame.isEmpty() || !restoreGeometry(frame)) {
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            resize(firstStartSize(screen->availableGeometry()));
            move(screen->availableGeometry().center() - rect().center());
        }
    }
    m_restored = true;
}

QSize SettingsWindowController::firstStartSize(const QRect& available) {
    // The General page, the longest, shows whole at 640; the frame's decorations come
    // on top of this size, so a margin keeps them on screen.
    const QSize room = available.size() - QSize(40, 60);
    return QSize(760, 640).boundedTo(room).expandedTo(QSize(715, 400));
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
