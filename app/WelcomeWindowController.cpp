#include "app/WelcomeWindowController.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QSettings>
#include <QVBoxLayout>

#include <memory>

namespace velmora {

namespace {
std::unique_ptr<QSettings> frameSettings(const QString& file) {
    return file.isEmpty() ? std::make_unique<QSettings>()
                          : std::make_unique<QSettings>(file, QSettings::NativeFormat);
}
} // namespace

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

    const QPoint saved = frameSettings(m_windowStateFile)->value(frameAutosaveName).toPoint();
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!saved.isNull() && screen && screen->availableVirtualGeometry().contains(saved)) {
        move(saved);
    } else if (screen) {
        QRect area(QPoint(), size());
        area.moveCenter(screen->availableGeometry().center());
        move(area.topLeft());
    }
}

void WelcomeWindowController::closeEvent(QCloseEvent* event) {
    frameSettings(m_windowStateFile)->setValue(frameAutosaveName, pos());
    QWidget::closeEvent(event);
    emit closed();
}

} // namespace velmora
