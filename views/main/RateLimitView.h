#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>

class QDialog;
class QLabel;
class QPushButton;

namespace velmora {

// The screen of a rate-limited account: it counts the wait down second by second,
// offers another account at once ("Change provider") and the way back ("Bring me
// back") once the wait is over.
class RateLimitView : public QWidget {
    Q_OBJECT

public:
    using SheetFactory = std::function<QDialog*(QWidget* parent)>;

    RateLimitView(std::int64_t delay, std::function<void()> retry,
                  std::chrono::milliseconds tickInterval = std::chrono::seconds(1),
                  QWidget* parent = nullptr);

    std::int64_t delay() const { return m_delay; }
    bool isCountingDown() const { return m_timer.isActive(); }
    QLabel* messageLabel() const { return m_message; }
    QPushButton* changeProviderButton() const { return m_changeProvider; }
    QPushButton* bringMeBackButton() const { return m_bringMeBack; }

    // What "Change provider" opens (the account switcher).
    void setProviderSelectorFactory(SheetFactory factory) { m_providerSelectorFactory = std::move(factory); }
    bool isChangingProvider() const { return m_changingProvider; }

    // One step of the countdown: the wait goes down by one second; at 0 the countdown stops.
    void tick();

    static QString message(std::int64_t delay);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refresh();
    void changeProvider();

    std::int64_t m_delay;
    std::function<void()> m_retry;
    QTimer m_timer;
    QLabel* m_message = nullptr;
    QPushButton* m_changeProvider = nullptr;
    QPushButton* m_bringMeBack = nullptr;
    SheetFactory m_providerSelectorFactory;
    bool m_changingProvider = false;
    QPointer<QDialog> m_providerSelector;
};

} // namespace velmora
