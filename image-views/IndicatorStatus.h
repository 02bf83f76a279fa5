#pragma once

#include <QObject>

#include <atomic>

namespace velmora::imageviews {

// The loading state of one image load that views observe: whether it runs and how much
// of it has arrived. Every write is followed by exactly one `objectWillChange`, always
// delivered on a later turn of the main thread's event loop, whichever thread wrote.
// The object itself lives on the main thread.
class IndicatorStatus : public QObject {
    Q_OBJECT
public:
    explicit IndicatorStatus(QObject* parent = nullptr);

    bool isLoading() const { return m_loading.load(); }
    void setLoading(bool loading);
    // 0 to 1; anything outside (or not a number) is clamped.
    double progress() const { return m_progress.load(); }
    void setProgress(double progress);

    // Schedules one change notice on the main thread.
    void notifyChanged();

signals:
    void objectWillChange();

private:
    std::atomic<bool> m_loading{false};
    std::atomic<double> m_progress{0.0};
};

} // namespace velmora::imageviews
