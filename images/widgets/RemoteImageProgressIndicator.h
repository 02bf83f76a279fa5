#pragma once

#include "images/widgets/RemoteImageIndicator.h"

#include <QPointer>
#include <QProgressBar>

#include <memory>

namespace velmora::images {

// A bar that fills as an image downloads; indeterminate until the first bytes are
// counted.
class RemoteImageProgressIndicator : public RemoteImageIndicator {
public:
    // 160 pixels wide, sized to fit, hidden until it starts.
    RemoteImageProgressIndicator();
    ~RemoteImageProgressIndicator() override;

    static std::shared_ptr<RemoteImageProgressIndicator> defaultIndicator();

    QProgressBar* bar() const { return m_view; }
    bool isIndeterminate() const;
    // 0 to 100.
    double value() const;

    QWidget* indicatorView() const override { return m_view; }
    void startAnimatingIndicator() override;
    void stopAnimatingIndicator() override;
    bool showsProgress() const override { return true; }
    void updateIndicatorProgress(double progress) override;

private:
    void setIndeterminate(bool indeterminate);
    QPointer<QProgressBar> m_view;
};

} // namespace velmora::images
