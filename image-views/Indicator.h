#pragma once

#include "image-views/IndicatorStatus.h"

#include <QString>

#include <functional>

class QWidget;

namespace velmora::imageviews {

// How to draw a loading indicator from a load's status: a function that makes the
// indicator widget (a child of `parent`) and keeps it following the status.
class Indicator {
public:
    using Content = std::function<QWidget*(IndicatorStatus& status, QWidget* parent)>;

    explicit Indicator(Content content) : m_content(std::move(content)) {}

    QWidget* makeView(IndicatorStatus& status, QWidget* parent) const {
        return m_content ? m_content(status, parent) : nullptr;
    }

    // A spinning wheel, shown while loading.
    static Indicator activity();
    // The same with a style sheet of the caller's.
    static Indicator activity(const QString& styleSheet);
    // A bar from 0 to 1 that follows the progress, shown while loading.
    static Indicator progress();
    static Indicator progress(const QString& styleSheet);

private:
    Content m_content;
};

} // namespace velmora::imageviews
