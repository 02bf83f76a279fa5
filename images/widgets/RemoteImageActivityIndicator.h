#pragma once

#include "images/widgets/ActivitySpinner.h"
#include "images/widgets/RemoteImageIndicator.h"

#include <QPointer>

#include <memory>

namespace velmora::images {

// A spinning wheel shown while an image loads.
class RemoteImageActivityIndicator : public RemoteImageIndicator {
public:
    // Small, gray, sized to fit, hidden until it starts.
    RemoteImageActivityIndicator();
    ~RemoteImageActivityIndicator() override;

    static std::shared_ptr<RemoteImageActivityIndicator> grayIndicator();
    static std::shared_ptr<RemoteImageActivityIndicator> grayLargeIndicator();
    static std::shared_ptr<RemoteImageActivityIndicator> whiteIndicator();
    static std::shared_ptr<RemoteImageActivityIndicator> whiteLargeIndicator();
    static std::shared_ptr<RemoteImageActivityIndicator> largeIndicator();
    static std::shared_ptr<RemoteImageActivityIndicator> mediumIndicator();

    ActivitySpinner* spinner() const { return m_view; }
    QWidget* indicatorView() const override { return m_view; }
    void startAnimatingIndicator() override;
    void stopAnimatingIndicator() override;

private:
    QPointer<ActivitySpinner> m_view;
};

} // namespace velmora::images
