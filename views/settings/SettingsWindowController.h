#pragma once

#include "views/settings/SettingsEnvironment.h"

#include <QMainWindow>
#include <QTimer>

namespace velmora {

class SettingsSplitViewController;

// The settings window: at least 715 × 400 where the screen has room (less on a small one, with a
// narrower page list and pages that scroll), titled after its page, its frame kept under
// "SettingsWindow". Closing it keeps it (and its page) for the next time it is shown.
class SettingsWindowController : public QMainWindow {
    Q_OBJECT
public:
    static constexpr char frameAutosaveName[] = "SettingsWindow";

    explicit SettingsWindowController(SettingsEnvironment environment, QWidget* parent = nullptr);

    // The size of a first start (no frame saved yet) on a screen whose free area is
    // `available`: tall enough for the longest page, within the screen, never under
    // the minimum.
    static QSize firstStartSize(const QRect& available);
    // The least size on such a screen: 715 × 400, or what the screen has room for.
    static QSize minimumSizeWithin(const QRect& available);

    SettingsSplitViewController* splitViewController() const { return m_split; }

signals:
    // The window closed (it is kept, and shows the same page when shown again).
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    // Escape and Ctrl+W close the window, as they close any secondary window.
    void keyPressEvent(QKeyEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void saveFrame();

    QString m_windowStateFile;
    SettingsSplitViewController* m_split = nullptr;
    bool m_restored = false;
    // A drag moves the window many times a second: the frame is written once it
    // rests, and when the window closes.
    QTimer* m_frameSettled = nullptr;
};

} // namespace velmora
