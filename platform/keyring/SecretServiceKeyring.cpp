#include "platform/keyring/SecretServiceKeyring.h"
#include "platform/keyring/SecretServiceBus.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace velmora {

// One thread that runs the keyring calls in order, over a connection to the bus that only
// it uses and keeps from one call to the next. It outlives its keyring while a call is
// still under way at destruction: the thread is detached and ends after that call, which
// its own deadline bounds.
class SecretServiceKeyring::Worker {
public:
    using Job = std::function<void(std::unique_ptr<SecretServiceBus>&)>;

    static std::shared_ptr<Worker> start() {
        auto worker = std::shared_ptr<Worker>(new Worker());
        std::thread([worker] { worker->loop(); }).detach();
        return worker;
    }

    void post(Job job) {
        {
            std::lock_guard lock(m_mutex);
            m_jobs.push_back(std::move(job));
        }
        m_wake.notify_one();
    }

    void stop() {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_one();
    }

private:
    Worker() = default;

    void loop() {
        std::unique_ptr<SecretServiceBus> bus;
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [&] { return m_stopping || !m_jobs.empty(); });
            if (m_jobs.empty()) {
                return;
            }
            auto job = std::move(m_jobs.front());
            m_jobs.pop_front();
            lock.unlock();
            job(bus);
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    bool m_stopping = false;
};

namespace {

using Wait = SecretServiceBus::Wait;

// The pieces every call needs: the connection, the attributes, the call's bounds.
class Session {
public:
    Session(const QString& prefix, const QString& collection, std::unique_ptr<SecretServiceBus>& bus, Wait wait)
        : m_prefix(prefix.toUtf8()), m_collection(collection.toUtf8()), m_bus(bus), m_wait(wait) {}

    // The worker's connection, opened afresh when it has none that is still good.
    std::optional<KeyringError> connect() {
        if (m_bus && m_bus->usable()) {
            return std::nullopt;
        }
        m_bus.reset();
        auto opened = SecretServiceBus::open(m_wait);
        if (!opened.ok()) {
            return opened.error();
        }
        m_bus = std::move(opened.value());
        return std::nullopt;
    }

    // As the items were always written: "xdg:schema" names the app (or the test), so a
    // search meets no item of anyone else's with the same account attribute.
    QMap<QByteArray, QByteArray> attributes(const QString& account, const QString* kind = nullptr) const {
        QMap<QByteArray, QByteArray> attributes{{"account", accountAttribute(account)}, {"xdg:schema", m_prefix}};
        if (kind) {
            attributes.insert("service", m_prefix + '.' + kind->toUtf8());
        }
        return attributes;
    }

    QByteArray accountAttribute(const QString& account) const { return m_prefix + '.' + account.toUtf8(); }

    struct Item {
        QByteArray path;
        bool locked = false;
    };

    // The account's items, newest first.
    Result<std::vector<Item>, KeyringError> search(const QString& account) {
        using R = Result<std::vector<Item>, KeyringError>;
        auto found = m_bus->searchItems(attributes(account), m_wait);
        if (!found.ok()) {
            return R::failure(found.error());
        }
        std::vector<std::pair<quint64, Item>> items;
        for (const QByteArray& path : found.value().unlocked) {
            items.push_back({0, Item{path, false}});
        }
        for (const QByteArray& path : found.value().locked) {
            items.push_back({0, Item{path, true}});
        }
        if (items.size() > 1) {
            for (auto& [modified, item] : items) {
                auto when = m_bus->property(item.path, "org.freedesktop.Secret.Item", "Modified", m_wait);
                if (!when.ok()) {
                    if (when.error().kind == KeyringError::Kind::TimedOut ||
                        when.error().kind == KeyringError::Kind::Unavailable) {
                        return R::failure(when.error());
                    }
                    continue; // an item that hides its age sorts as the oldest
                }
                modified = when.value().toULongLong();
            }
        }
        std::stable_sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        std::vector<Item> sorted;
        sorted.reserve(items.size());
        for (auto& entry : items) {
            sorted.push_back(std::move(entry.second));
        }
        return R::success(std::move(sorted));
    }

    // The collection must exist and be unlocked: storing into a missing or locked one
    // would make the daemon prompt, and nobody may be there to answer.
    // Resolves the collection (an alias such as "default", or an object path) and
    // asks the daemon itself whether it is locked.
    std::optional<KeyringError> checkCollection() {
        const auto missing = [&] {
            return KeyringError{
                KeyringError::Kind::Unavailable,
                QStringLiteral("the keyring has no collection \"%1\"").arg(QString::fromUtf8(m_collection))};
        };
        if (!m_collection.startsWith('/')) {
            auto path = m_bus->readAlias(m_collection, m_wait);
            if (!path.ok()) {
                return path.error();
            }
            m_collectionPath = path.value();
        } else {
            m_collectionPath = m_collection;
        }
        if (m_collectionPath.isEmpty() || m_collectionPath == "/" || !SecretServiceBus::isObjectPath(m_collectionPath)) {
            return missing();
        }
        auto locked = m_bus->property(m_collectionPath, "org.freedesktop.Secret.Collection", "Locked", m_wait);
        if (!locked.ok()) {
            const QByteArray& error = m_bus->lastError();
            if (error == "org.freedesktop.DBus.Error.UnknownMethod" || error == "org.freedesktop.DBus.Error.UnknownObject" ||
                error == "org.freedesktop.DBus.Error.UnknownInterface") {
                return missing();
            }
            return locked.error();
        }
        if (locked.value().toBool()) {
            return KeyringError{KeyringError::Kind::Locked, QStringLiteral("the keyring is locked")};
        }
        return std::nullopt;
    }

    // The session went with the service or the connection (see SecretServiceBus::lost).
    bool lost() const { return m_bus && m_bus->lost(); }
    void drop() { m_bus.reset(); }

    SecretServiceBus& bus() const { return *m_bus; }
    const Wait& wait() const { return m_wait; }
    const QByteArray& prefix() const { return m_prefix; }
    // The object path found by `checkCollection()`.
    const QByteArray& collectionPath() const { return m_collectionPath; }

private:
    QByteArray m_prefix;
    QByteArray m_collection;
    QByteArray m_collectionPath;
    std::unique_ptr<SecretServiceBus>& m_bus;
    Wait m_wait;
};

// Runs `op`, and once more on a connection opened afresh when the session was lost on the
// way: a keyring started again, or another that took its place, is picked up by the call
// that meets it, so at most one call fails.
template <typename R> R onceMoreIfLost(Session& session, const std::function<R(Session&)>& op) {
    R result = op(session);
    if (!result.ok() && session.lost()) {
        session.drop();
        result = op(session);
    }
    return result;
}

Result<std::optional<QByteArray>, KeyringError> doLoad(Session& session, const QString& account) {
    using R = Result<std::optional<QByteArray>, KeyringError>;
    if (auto failed = session.connect()) {
        return R::failure(*failed);
    }
    auto found = session.search(account);
    if (!found.ok()) {
        return R::failure(found.error());
    }
    if (found.value().empty()) {
        // An empty search only means "no credentials" when the keyring could look: a
        // collection that is locked (some services hide what a locked one holds) or not
        // there at all is an error, and must not send the user back to sign in.
        if (auto failed = session.checkCollection()) {
            return R::failure(*failed);
        }
        return R::success(std::nullopt);
    }
    const Session::Item& item = found.value().front();
    if (item.locked) {
        return R::failure({KeyringError::Kind::Locked, QStringLiteral("the keyring item is locked")});
    }
    auto secret = session.bus().secretOf(item.path, session.wait());
    if (!secret.ok()) {
        return R::failure(secret.error());
    }
    return R::success(std::optional<QByteArray>(std::move(secret.value())));
}

Result<Void, KeyringError> doStore(Session& session, const QString& account, const QString& kind,
                                   const QByteArray& secret) {
    using R = Result<Void, KeyringError>;
    if (auto failed = session.connect()) {
        return R::failure(*failed);
    }
    if (auto failed = session.checkCollection()) {
        return R::failure(*failed);
    }
    const QByteArray label = session.prefix() + " (" + kind.toUtf8() + ')';
    // Same attributes replace the item in place; nothing is deleted before the new value
    // is safely stored.
    auto stored = session.bus().createItem(session.collectionPath(), label, session.attributes(account, &kind), secret,
                                           session.wait());
    if (!stored.ok()) {
        return R::failure(stored.error());
    }
    // One item per account: an item left from another kind goes, now that the new one
    // is in place. Failing here leaves an older item that loading never prefers.
    auto found = session.search(account);
    if (found.ok()) {
        const QByteArray service = session.prefix() + '.' + kind.toUtf8();
        for (const Session::Item& item : found.value()) {
            auto attributes =
                session.bus().property(item.path, "org.freedesktop.Secret.Item", "Attributes", session.wait());
            if (attributes.ok() && attributes.value().toMap().value(QStringLiteral("service")).toByteArray() != service) {
                (void)session.bus().deleteItem(item.path, session.wait());
            }
        }
    }
    return R::success(Void{});
}

Result<bool, KeyringError> doRemove(Session& session, const QString& account) {
    using R = Result<bool, KeyringError>;
    if (auto failed = session.connect()) {
        return R::failure(*failed);
    }
    auto found = session.search(account);
    if (!found.ok()) {
        return R::failure(found.error());
    }
    if (found.value().empty()) {
        // As for a load: "nothing to remove" only holds when the keyring could look. A
        // locked collection may hide the items it holds from a search, and reporting
        // them gone would leave credentials behind an account the user deleted.
        if (auto failed = session.checkCollection()) {
            return R::failure(*failed);
        }
        return R::success(false);
    }
    for (const Session::Item& item : found.value()) {
        // The daemon deletes items of a locked collection too, so ask it whether the item
        // is locked right now.
        auto locked = session.bus().property(item.path, "org.freedesktop.Secret.Item", "Locked", session.wait());
        if (!locked.ok()) {
            return R::failure(locked.error());
        }
        if (item.locked || locked.value().toBool()) {
            return R::failure({KeyringError::Kind::Locked, QStringLiteral("the keyring item is locked")});
        }
    }
    for (const Session::Item& item : found.value()) {
        if (auto removed = session.bus().deleteItem(item.path, session.wait()); !removed.ok()) {
            return R::failure(removed.error());
        }
    }
    return R::success(!found.value().empty());
}

// Runs `op` on the worker and waits at most `timeout` for it; the call itself stops by
// the same deadline, or as soon as it is given up.
template <typename R>
R runBounded(SecretServiceKeyring::Worker& worker, const QString& prefix, const QString& collection,
             std::chrono::milliseconds timeout, std::function<R(Session&)> op) {
    struct Call {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<R> result;
        KeyringCancel cancel;
    };
    auto call = std::make_shared<Call>();
    const auto deadline = SecretServiceBus::Clock::now() + timeout;
    worker.post([call, prefix, collection, deadline, op = std::move(op)](std::unique_ptr<SecretServiceBus>& bus) {
        std::optional<R> result;
        if (call->cancel.cancelled) {
            result =
                R::failure({KeyringError::Kind::TimedOut, QStringLiteral("the keyring call was abandoned")});
        } else {
            Session session(prefix, collection, bus, Wait{deadline, &call->cancel});
            result = onceMoreIfLost<R>(session, op);
        }
        {
            std::lock_guard lock(call->mutex);
            call->result = std::move(result);
        }
        call->done.notify_all();
    });
    std::unique_lock lock(call->mutex);
    if (!call->done.wait_until(lock, deadline, [&] { return call->result.has_value(); })) {
        call->cancel.cancelled = true;
        return R::failure({KeyringError::Kind::TimedOut,
                           QStringLiteral("the keyring did not answer within %1 ms").arg(timeout.count())});
    }
    return std::move(*call->result);
}

} // namespace

SecretServiceKeyring::SecretServiceKeyring(QString prefix, std::chrono::milliseconds timeout,
                                           QString collection)
    : m_prefix(std::move(prefix)), m_collection(std::move(collection)), m_timeout(timeout),
      m_worker(Worker::start()) {}

SecretServiceKeyring::~SecretServiceKeyring() {
    forgetAhead();
    m_worker->stop();
}

// A connection made ahead, and the item read with it when an account is given. Nobody
// may be waiting for it, so it keeps its own bound: the worker is the keyring's only one,
// and a read stuck on a bus that never answers would hold every later call behind it.
struct SecretServiceKeyring::ReadAhead {
    using LoadResult = Result<std::optional<QByteArray>, KeyringError>;
    QString account;
    std::mutex mutex;
    std::condition_variable done;
    std::optional<LoadResult> result;
    KeyringCancel cancel;

    void finish(LoadResult outcome) {
        {
            std::lock_guard lock(mutex);
            result = std::move(outcome);
        }
        done.notify_all();
    }
    // Lets go of the worker: the call in flight returns as cancelled.
    void setAside() { cancel.cancelled = true; }
};

void SecretServiceKeyring::connectAhead(const QString& account) {
    auto ahead = std::make_shared<ReadAhead>();
    ahead->account = account;
    if (!account.isEmpty()) {
        std::shared_ptr<ReadAhead> previous;
        {
            std::lock_guard lock(m_readAheadMutex);
            previous = std::exchange(m_readAhead, ahead);
        }
        if (previous) {
            previous->setAside();
        }
    }
    // The worker keeps the connection, with its session, for every later call; a failure
    // here is met again, and reported, by the call that needs the connection. The read
    // keeps its own bound: nobody may be waiting for it.
    const auto deadline = SecretServiceBus::Clock::now() + m_timeout;
    m_worker->post([ahead, prefix = m_prefix, collection = m_collection,
                    deadline](std::unique_ptr<SecretServiceBus>& bus) {
        if (ahead->cancel.cancelled) {
            ahead->finish(ReadAhead::LoadResult::failure(
                {KeyringError::Kind::TimedOut, QStringLiteral("the read ahead was set aside")}));
            return;
        }
        Session session(prefix, collection, bus, Wait{deadline, &ahead->cancel});
        if (ahead->account.isEmpty()) {
            (void)session.connect();
            ahead->finish(ReadAhead::LoadResult::success(std::nullopt));
            return;
        }
        auto outcome = onceMoreIfLost<ReadAhead::LoadResult>(
            session, [&](Session& s) { return doLoad(s, ahead->account); });
        if (!outcome.ok() && outcome.error().kind == KeyringError::Kind::TimedOut) {
            // Past its bound: what it found is its own end, not the keyring's answer.
            ahead->setAside();
        }
        ahead->finish(std::move(outcome));
    });
}

void SecretServiceKeyring::forgetAhead() {
    if (const std::shared_ptr<ReadAhead> ahead = takeReadAhead()) {
        ahead->setAside();
    }
}

std::shared_ptr<SecretServiceKeyring::ReadAhead> SecretServiceKeyring::takeReadAhead() {
    std::lock_guard lock(m_readAheadMutex);
    return std::exchange(m_readAhead, nullptr);
}

Result<std::optional<QByteArray>, KeyringError> SecretServiceKeyring::load(const QString& account) {
    using R = Result<std::optional<QByteArray>, KeyringError>;
    // What was read ahead is the item as it was then: the calls that change items set it
    // aside first, and any other load does too, so it stands in for this one load only.
    const auto deadline = std::chrono::steady_clock::now() + m_timeout;
    const auto timedOut = [this] {
        return R::failure({KeyringError::Kind::TimedOut,
                           QStringLiteral("the keyring did not answer within %1 ms").arg(m_timeout.count())});
    };
    if (const std::shared_ptr<ReadAhead> ahead = takeReadAhead()) {
        if (ahead->account == account) {
            std::unique_lock lock(ahead->mutex);
            const bool answered =
                ahead->done.wait_until(lock, deadline, [&] { return ahead->result.has_value(); });
            lock.unlock();
            if (!answered) {
                ahead->setAside();
                return timedOut();
            }
            if (!ahead->cancel.cancelled) {
                return std::move(*ahead->result);
            }
            // The read outlived its own bound before this load came: what it found is
            // its cancellation, not the keyring's answer, so the keyring is asked again.
        } else {
            // Not this account's: the worker is freed of it for this load.
            ahead->setAside();
        }
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return timedOut();
    }
    return runBounded<R>(*m_worker, m_prefix, m_collection, left,
                         [account](Session& s) { return doLoad(s, account); });
}

Result<Void, KeyringError> SecretServiceKeyring::store(const QString& account, const QString& kind,
                                                       const QByteArray& secret) {
    using R = Result<Void, KeyringError>;
    forgetAhead();
    auto stored =
        runBounded<R>(*m_worker, m_prefix, m_collection, m_timeout,
                      [account, kind, secret](Session& s) { return doStore(s, account, kind, secret); });
    if (stored.ok() || stored.error().kind != KeyringError::Kind::TimedOut) {
        return stored;
    }
    // The service may have stored it all the same after the wait ended; told the store
    // failed, the caller would give up an account whose secret is in the keyring. So it is
    // looked up once.
    using Loaded = Result<std::optional<QByteArray>, KeyringError>;
    // runBounded tries it once more itself if the session was lost.
    auto found = runBounded<Loaded>(*m_worker, m_prefix, m_collection, m_timeout,
                                    [account](Session& s) { return doLoad(s, account); });
    const bool landed = found.ok() && found.value() == secret;
    if (found.ok() && found.value()) {
        found.value()->fill('\0');
    }
    return landed ? R::success(Void{}) : stored;
}

Result<bool, KeyringError> SecretServiceKeyring::remove(const QString& account) {
    using R = Result<bool, KeyringError>;
    forgetAhead();
    return runBounded<R>(*m_worker, m_prefix, m_collection, m_timeout,
                         [account](Session& s) { return doRemove(s, account); });
}

} // namespace velmora
