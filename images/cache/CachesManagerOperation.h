#pragma once

#include "images/core/RemoteImageOperation.h"

#include <QObject>

#include <atomic>
#include <mutex>

namespace velmora::images {

// The handle the caches manager returns when it asks several caches: it counts the caches that have
// not answered yet and carries the executing, finished and cancelled states, each change announced.
// The manager drives it by hand; it never runs on a queue.
class CachesManagerOperation : public QObject, public RemoteImageOperation {
    Q_OBJECT
    Q_PROPERTY(bool isExecuting READ isExecuting NOTIFY isExecutingChanged)
    Q_PROPERTY(bool isFinished READ isFinished NOTIFY isFinishedChanged)
    Q_PROPERTY(bool isCancelled READ isCancelled NOTIFY isCancelledChanged)

public:
    CachesManagerOperation();
    ~CachesManagerOperation() override;

    void beginWithTotalCount(quint64 count);
    quint64 pendingCount() const;
    // One cache answered; the count never goes below 0.
    void completeOne();
    void done();
    void cancel() override;

    bool isExecuting() const { return m_executing.load(); }
    bool isFinished() const { return m_finished.load(); }
    bool isCancelled() const { return m_cancelled.load(); }

signals:
    void isExecutingChanged();
    void isFinishedChanged();
    void isCancelledChanged();

private:
    void reset();
    void setExecuting(bool value);
    void setFinished(bool value);
    void setCancelled(bool value);

    mutable std::mutex m_mutex;
    quint64 m_pendingCount = 0;
    std::atomic<bool> m_executing{false};
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_cancelled{false};
};

} // namespace velmora::images
