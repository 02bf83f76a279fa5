#pragma once

#include "trackers/BackgroundJob.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <optional>

class QThread;
class QTimer;

namespace velmora {

// Runs periodic jobs for the life of the process, each on a thread of its own (named
// after the app and the job's key), first one full interval after scheduling. A run
// that outlasts the interval delays the next one rather than overlapping it.
class BackgroundTaskManager : public QObject {
    Q_OBJECT
public:
    explicit BackgroundTaskManager(QObject* parent = nullptr);
    // Lets a run under way finish, then ends the threads.
    ~BackgroundTaskManager() override;

    // Starts running `job` every interval (its own, or `interval` for tests). A job
    // with the key of one already scheduled replaces it.
    void schedule(std::shared_ptr<BackgroundJob> job,
                  std::optional<std::chrono::milliseconds> interval = std::nullopt);
    // Runs `job` once on its thread (it must be scheduled); nothing while a run of it
    // is still under way.
    void runJob(const QString& key);

    bool isScheduled(const QString& key) const { return m_jobs.count(key) > 0; }
    // The thread's name of a scheduled job: bundle identifier + "." + key.
    QString threadName(const QString& key) const;

private:
    struct Entry {
        std::shared_ptr<BackgroundJob> job;
        QThread* thread = nullptr;
        QObject* worker = nullptr;
        QTimer* timer = nullptr;
        // Set from the moment a run is queued until it returns.
        std::shared_ptr<std::atomic<bool>> running = std::make_shared<std::atomic<bool>>(false);
    };
    void stop(Entry& entry);

    std::map<QString, Entry> m_jobs;
};

} // namespace velmora
