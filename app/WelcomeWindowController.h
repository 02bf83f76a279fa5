#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

class QLabel;
class QScrollArea;

namespace velmora {

class BookingRecords;

// The window shown while no account is usable: the welcome view in a window of
// 640 x 460 (less on a screen without room for it, the view scrolling) that cannot be resized
// and keeps its place between runs.
class WelcomeWindowController : public QWidget {
    Q_OBJECT

public:
    static constexpr int width = 640;
    static constexpr int height = 460;
    static inline const QString frameAutosaveName = QStringLiteral("WelcomeWindow");

    // Takes `content` (the welcome view); `windowStateFile` as in ShellEnvironment.
    // With `records`, it says what time a deleted account left to be booked.
    explicit WelcomeWindowController(QWidget* content, const QString& windowStateFile = {},
                                     BookingRecords* records = nullptr);

    QWidget* content() const { return m_content; }
    // The time kept from a deleted account, and where it can be booked; hidden while there is none.
    QLabel* keptTimeNote() const { return m_keptNote; }

signals:
    // The window closed (by the user or by the window manager).
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Return presses the focused button, as Space does.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void showKeptTime();
    // Its usual size grown by the note, within the screen's room (what the frame leaves of it,
    // once drawn), and on the screen.
    void fit();
    // On a screen too short for the whole view, it is scrolled to the trackers to choose from.
    void keepTrackersInView();

    QWidget* m_content;
    QScrollArea* m_scroll = nullptr;
    QString m_windowStateFile;
    QPointer<BookingRecords> m_records;
    QLabel* m_keptNote = nullptr;
};

} // namespace velmora
