#include "image-views/Indicator.h"

#include "images/widgets/ActivitySpinner.h"

#include <QPointer>
#include <QProgressBar>

#include <cmath>

namespace velmora::imageviews {

namespace {

// The status is read again on each of its change notices.
template <typename Update> void follow(IndicatorStatus& status, QWidget* view, Update update) {
    update();
    QObject::connect(&status, &IndicatorStatus::objectWillChange, view, update);
}

Indicator activityWith(const QString& styleSheet) {
    return Indicator([styleSheet](IndicatorStatus& status, QWidget* parent) -> QWidget* {
        auto* spinner = new images::ActivitySpinner(parent);
        spinner->setStyleSheet(styleSheet);
        spinner->setControlSize(images::ActivitySpinner::ControlSize::Regular);
        spinner->sizeToFit();
        QPointer<IndicatorStatus> watched(&status);
        follow(status, spinner, [spinner, watched] {
            const bool animating = watched && watched->isLoading();
            spinner->setVisible(animating);
            if (animating) {
                spinner->startAnimation();
            } else {
                spinner->stopAnimation();
            }
        });
        return spinner;
    });
}

Indicator progressWith(const QString& styleSheet) {
    return Indicator([styleSheet](IndicatorStatus& status, QWidget* parent) -> QWidget* {
        auto* bar = new QProgressBar(parent);
        bar->setStyleSheet(styleSheet);
        bar->setRange(0, 1000);
        bar->setTextVisible(false);
        bar->resize(160, bar->sizeHint().height());
        QPointer<IndicatorStatus> watched(&status);
        follow(status, bar, [bar, watched] {
            if (!watched) {
                return;
            }
            bar->setVisible(watched->isLoading());
            bar->setValue(static_cast<int>(std::lround(watched->progress() * 1000)));
        });
        return bar;
    });
}

} // namespace

Indicator Indicator::activity() {
    return activityWith(QString());
}

Indicator Indicator::activity(const QString& styleSheet) {
    return activityWith(styleSheet);
}

Indicator Indicator::progress() {
    return progressWith(QString());
}

Indicator Indicator::progress(const QString& styleSheet) {
    return progressWith(styleSheet);
}

} // namespace velmora::imageviews
