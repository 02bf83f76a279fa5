#include "views/settings/SettingsWindowController.h"

#include "views/settings/SettingsSplitViewController.h"

#include <QGuiApplication>
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

    const QByteArray frame =
        frameSettings(m_windowStateFile)->value(QLatin1String(frameAutosaveName)).toByteArray();
    if (frame.isEmpty() || !restoreGeometry(frame)) {
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());
    }
    m_restored = true;
}

void SettingsWindowController::closeEvent(QCloseEvent* event) {
    QMainWindow::closeEvent(event);
    emit closed();
}

void SettingsWindowController::saveFrame() {
    if (m_restored)
        frameSettings(m_windowStateFile)->setValue(QLatin1String(frameAutosaveName), saveGeometry());
}

void SettingsWindowController::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    saveFrame();
}

void SettingsWindowController::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    saveFrame();
}

} // namespace velmora
