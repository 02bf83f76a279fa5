#pragma once

#include <QString>
#include <QWidget>

namespace velmora {

// The window shown while no account is usable: the welcome view in a window of
// 640 x 460 that cannot be resized and keeps its place between runs.
class WelcomeWindowController : public QWidget {
    Q_OBJECT

public:
    static constexpr int width = 640;
    static constexpr int height = 460;
    static inline const QString frameAutosaveName = QStringLiteral("WelcomeWindow");

    // Takes `content` (the welcome view); `windowStateFile` as in ShellEnvironment.
    explicit WelcomeWindowController(QWidget* content, const QString& windowStateFile = {});

    QWidget* content() const { return m_content; }

signals:
    // The window closed (by the user or by the window manager).
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    // Return presses the focused button, as Space does.
    void keyPressEvent(QKeyEvent* event) override;

private:
    QWidget* m_content;
    QString m_windowStateFile;
};

} // namespace velmora
