#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

namespace velmora {

// Calls `then` once, after the first window of the app has painted its first frame and
// handed it to the window system: start-up work that nothing in that frame needs waits
// for it, so the user sees the window sooner. Should no window paint (none is shown, or
// the display never exposes it), `then` runs after `fallbackMs` all the same. Deleting
// the watch before then calls nothing.
class FirstFrameWatch : public QObject {
public:
    FirstFrameWatch(std::function<void()> then, int fallbackMs, QObject* parent = nullptr);
    ~FirstFrameWatch() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void finish();

    std::function<void()> m_then;
    QTimer m_fallback;
    bool m_seen = false;
};

} // namespace velmora
