// Preloaded into the real app (LD_PRELOAD) by the running-app benchmark when it runs the
// app on Qt's offscreen platform, where no xdotool can reach it. It does what the
// benchmark's xdotool steps do on an X display: sizes the main window to 1200 x 800,
// clicks the Website project in the sidebar, then presses Ctrl+End in the task list
// until no further tasks arrive. It only sends the events a user's mouse and keyboard
// would; it reads the widgets through Qt alone, not through the app's own classes.
#include <QAbstractItemView>
#include <QApplication>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QListView>
#include <QMouseEvent>
#include <QTimer>
#include <QWidget>

namespace {

constexpr int tickMilliseconds = 700;

class Driver : public QObject {
public:
    Driver() {
        m_timer.setInterval(tickMilliseconds);
        connect(&m_timer, &QTimer::timeout, this, [this] { step(); });
        m_timer.start();
    }

private:
    QWidget* mainWindow() const {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible() && widget->findChild<QAbstractItemView*>()) {
                return widget;
            }
        }
        return nullptr;
    }

    void step() {
        QWidget* window = mainWindow();
        if (!window) {
            return;
        }
        ++m_ticks;
        if (m_stage == Stage::Size) {
            window->move(0, 0);
            window->resize(1200, 800);
            m_stage = Stage::OpenProject;
        } else if (m_stage == Stage::OpenProject && m_ticks > 4) {
            for (auto* view : window->findChildren<QAbstractItemView*>()) {
                if (!view->isVisible() || !view->model()) {
                    continue;
                }
                const QModelIndexList found =
                    view->model()->match(view->model()->index(0, 0), Qt::DisplayRole,
                                         QStringLiteral("Website"), 1, Qt::MatchExactly | Qt::MatchRecursive);
                if (!found.isEmpty()) {
                    click(view->viewport(), view->visualRect(found.front()).center());
                    m_stage = Stage::LoadTasks;
                    break;
                }
            }
        } else if (m_stage == Stage::LoadTasks) {
            auto* list = window->findChild<QListView*>(QStringLiteral("ProjectTasksView"));
            if (!list || !list->isVisible() || !list->model()) {
                return;
            }
            const int rows = list->model()->rowCount();
            m_idle = rows > m_rows ? 0 : m_idle + 1;
            m_rows = rows;
            if (m_idle >= 6) {
                m_timer.stop();
                return;
            }
            list->setFocus(Qt::OtherFocusReason);
            QKeyEvent press(QEvent::KeyPress, Qt::Key_End, Qt::ControlModifier);
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_End, Qt::ControlModifier);
            QCoreApplication::sendEvent(list, &press);
            QCoreApplication::sendEvent(list, &release);
        }
    }

    static void click(QWidget* target, QPoint at) {
        const QPointF local(at);
        const QPointF global(target->mapToGlobal(at));
        QMouseEvent press(QEvent::MouseButtonPress, local, local, global, Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, local, local, global, Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        QCoreApplication::sendEvent(target, &press);
        QCoreApplication::sendEvent(target, &release);
    }

    enum class Stage { Size, OpenProject, LoadTasks };
    Stage m_stage = Stage::Size;
    QTimer m_timer;
    int m_ticks = 0;
    int m_rows = 0;
    int m_idle = 0;
};

void startDriver() {
    new Driver();
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startDriver)
