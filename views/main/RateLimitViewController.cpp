#include "views/main/RateLimitViewController.h"

#include "views/main/ProviderSelectorView.h"
#include "views/main/RateLimitView.h"

#include <QVBoxLayout>

namespace velmora {

RateLimitViewController::RateLimitViewController(std::int64_t delay, std::function<void()> retry,
                                                 QWidget* parent)
    : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_view = new RateLimitView(delay, std::move(retry), std::chrono::seconds(1), this);
    m_view->setProviderSelectorFactory([](QWidget* parent) { return new ProviderSelectorView(parent); });
    layout->addWidget(m_view);
}

} // namespace velmora
