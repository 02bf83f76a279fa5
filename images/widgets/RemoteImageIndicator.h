#pragma once

class QWidget;

namespace velmora::images {

// A view shown over an image view while its image loads. All calls come on the main
// thread.
class RemoteImageIndicator {
public:
    virtual ~RemoteImageIndicator() = default;
    // The widget to show; the image view that shows it becomes its parent.
    virtual QWidget* indicatorView() const = 0;
    virtual void startAnimatingIndicator() = 0;
    virtual void stopAnimatingIndicator() = 0;
    // Whether `updateIndicatorProgress` means anything to this indicator.
    virtual bool showsProgress() const { return false; }
    // `progress` is in [0, 1].
    virtual void updateIndicatorProgress(double progress) { (void)progress; }
};

} // namespace velmora::images
