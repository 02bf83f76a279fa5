#include "app/BackgroundTaskManager.h"

#include "core/model/AppIdentity.h"
#include "core/model/Logger.h"

#include <QThread>
#include <QTimer>

#include <cmath>

namespace velmora {

BackgroundTaskManager::BackgroundTaskManager(QObject* parent) : QObject(parent) {}

BackgroundTaskManager::~BackgroundTaskManager() {
    for (auto& [key, entry] : m_jobs) {
        stop(entry);
    }
}

void BackgroundTaskManager::stop(Entry& entry) {
    delete entry.timer;
    entry.thread->quit();
    entry.thread->wait();
    delete entry.worker;
    delete entry.thread;
}

QString BackgroundTaskManager::threadName(const QString& key) const {
    const auto found = m_jobs.find(key);
    return found == m_jobs.end() ? QString() : found->second.thread->objectName();
}

void BackgroundTaskManager::schedule(std::shared_ptr<BackgroundJob> job,
                                     std::optional<std::chrono::milliseconds> interval) {
    if (!job) {
        return;
    }
    const QString key = job->key();
    if (auto found = m_jobs.find(key); found != m_jobs.end()) {
        stop(found->second);
        m_jobs.erase(found);
    }
    std::chrono::milliseconds every{0};
    if (interval) {
        every = *interval;
    } else {
        // Checked before conversion: a job's interval comes from its own code, but a
        // broken one must not become a timer firing without pause.
        const double seconds = job->interval();
        if (!std::isfinite(seconds) || seconds < 1 || seconds > 86400.0 * 365) {
            logError(Logger::backgroundTask(),
                     QStringLiteral("[BackgroundTaskManager] Not scheduling %1: its interval is unusable")
                         .arg(key));
            return;
        }
        every = std::chrono::milliseconds(static_cast<qint64>(seconds * 1000));
    }

    Entry entry;
    entry.job = std::move(job);
    entry.thread = new QThread;
    entry.thread->setObjectName(QString::fromLatin1(bundleIdentifier) + QLatin1Char('.') + key);
    entry.worker = new QObject;
    entry.worker->moveToThread(entry.thread);
    entry.thread->start(QThread::LowestPriority);
    entry.timer = new QTimer(this);
    entry.timer->setInterval(every);
    connect(entry.timer, &QTimer::timeout, this, [this, key] { runJob(key); });
    entry.timer->start();
    m_jobs.emplace(key, std::move(entry));
}

void BackgroundTaskManager::runJob(const QString& key) {
    const auto found = m_jobs.find(key);
    if (found == m_jobs.end()) {
        return;
    }
    // A run waits for the network in a local event loop, which would start a run queued
    // meanwhile inside it: runs would nest without bound while the network is slow. A
    // tick that finds a run under way is skipped; the next one after it ends runs.
    const std::shared_ptr<std::atomic<bool>>& running = found->second.running;
    if (running->exchange(true)) {
        qCDebug(Logger::backgroundTask).noquote()
            << QStringLiteral("[BackgroundTaskManager] %1 is still running; skipping this run").arg(key);
        return;
    }
    QMetaObject::invokeMethod(
        found->second.worker,
        [job = found->second.job, running] {
            job->run();
            running->store(false);
        },
        Qt::QueuedConnection);
}

} // namespace velmora
