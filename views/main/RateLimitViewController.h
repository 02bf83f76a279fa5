#pragma once

#include <QWidget>

#include <cstdint>
#include <functional>

namespace velmora {

class RateLimitView;

// The whole content of the main window while its account is rate-limited: the
// countdown screen, whose "Change provider" opens the account switcher.
class RateLimitViewController : public QWidget {
    Q_OBJECT

public:
    RateLimitViewController(std::int64_t delay, std::function<void()> retry, QWidget* parent = nullptr);

    RateLimitView* rateLimitView() const { return m_view; }

private:
    RateLimitView* m_view = nullptr;
};

} // namespace velmora
