// GLib names struct members "signals", which Qt defines as a keyword macro.
#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

#include "platform/keyring/SecretServiceKeyring.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace velmora {

// One thread that runs the keyring calls in order. It outlives its keyring when a call
// is still stuck at destruction: the thread is detached and ends after that call.
class SecretServiceKeyring::Worker {
public:
    static std::shared_ptr<Worker> start() {
        auto worker = std::shared_ptr<Worker>(new Worker());
        std::thread([worker] { worker->loop(); }).detach();
        return worker;
    }

    void post(std::function<void()> job) {
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
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [&] { return m_stopping || !m_jobs.empty(); });
            if (m_jobs.empty()) {
                return;
            }
            auto job = std::move(m_jobs.front());
            m_jobs.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
};

namespace {

const SecretSchema* schemaFor(const QByteArray& name) {
    // libsecret keeps a pointer to the schema for the call only; one per prefix is
    // enough, and prefixes are few (one in the application, one per test).
    static std::mutex mutex;
    static std::map<QByteArray, std::unique_ptr<SecretSchema>> schemas;
    std::lock_guard lock(mutex);
    auto& schema = schemas[name];
    if (!schema) {
        schema = std::make_unique<SecretSchema>();
        *schema = SecretSchema{};
        schema->name = schemas.find(name)->first.constData();
        schema->flags = SECRET_SCHEMA_NONE;
        schema->attributes[0] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        schema->attributes[1] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        schema->attributes[2] = {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING};
    }
    return schema.get();
}

struct GErrorFree {
    void operator()(GError* e) const { g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct ObjectUnref {
    void operator()(gpointer o) const { g_object_unref(o); }
};
template <typename T> using GObjectPtr = std::unique_ptr<T, ObjectUnref>;

struct HashUnref {
    void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};
using HashPtr = std::unique_ptr<GHashTable, HashUnref>;

struct ItemList {
    GList* list = nullptr;
    ~ItemList() { g_list_free_full(list, g_object_unref); }
};

KeyringError toKeyringError(const GError* error, const char* what) {
    const QString text = QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromUtf8(error->message));
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        return {KeyringError::Kind::TimedOut, text};
    }
    if (error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED) {
        return {KeyringError::Kind::Locked, text};
    }
    if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND) ||
        g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NOT_FOUND) || error->domain == G_SPAWN_ERROR) {
        return {KeyringError::Kind::Unavailable, text};
    }
    return {KeyringError::Kind::Failed, text};
}

// The pieces every call needs: the service connection, the schema, the attributes.
class Session {
public:
    Session(const QString& prefix, const QString& collection, GCancellable* cancellable)
        : m_prefix(prefix.toUtf8()), m_collection(collection.toUtf8()), m_schema(schemaFor(m_prefix)),
          m_cancellable(cancellable) {}

    std::optional<KeyringError> connect() {
        GError* raw = nullptr;
        m_service.reset(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, m_cancellable, &raw));
        ErrorPtr error(raw);
        if (!m_service) {
            if (error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
                return toKeyringError(error.get(), "connecting to the Secret Service");
            }
            return KeyringError{
                KeyringError::Kind::Unavailable,
                QStringLiteral("no Secret Service: %1")
                    .arg(error ? QString::fromUtf8(error->message) : QStringLiteral("unknown"))};
        }
        return std::nullopt;
    }

    HashPtr attributes(const QString& account, const QString* kind = nullptr) const {
        HashPtr table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
        g_hash_table_insert(table.get(), g_strdup("account"),
                            g_strdup(accountAttribute(account).constData()));
        if (kind) {
            g_hash_table_insert(table.get(), g_strdup("service"),
                                g_strdup((m_prefix + '.' + kind->toUtf8()).constData()));
        }
        return table;
    }

    QByteArray accountAttribute(const QString& account) const { return m_prefix + '.' + account.toUtf8(); }

    // The account's items, newest first.
    Result<std::vector<SecretItem*>, KeyringError> search(const QString& account, bool withSecrets,
                                                          ItemList& holder) {
        using R = Result<std::vector<SecretItem*>, KeyringError>;
        auto attrs = attributes(account);
        GError* raw = nullptr;
        const auto flags = static_cast<SecretSearchFlags>(
            SECRET_SEARCH_ALL | (withSecrets ? SECRET_SEARCH_LOAD_SECRETS : SECRET_SEARCH_NONE));
        holder.list =
            secret_service_search_sync(m_service.get(), m_schema, attrs.get(), flags, m_cancellable, &raw);
        ErrorPtr error(raw);
        if (error) {
            return R::failure(toKeyringError(error.get(), "searching the keyring"));
        }
        std::vector<SecretItem*> items;
        for (GList* l = holder.list; l; l = l->next) {
            items.push_back(static_cast<SecretItem*>(l->data));
        }
        std::stable_sort(items.begin(), items.end(), [](SecretItem* a, SecretItem* b) {
            return secret_item_get_modified(a) > secret_item_get_modified(b);
        });
        return R::success(std::move(items));
    }

    // The collection must exist and be unlocked: storing into a missing or locked one
    // would make the daemon prompt, and nobody may be there to answer.
    // Resolves the collection (an alias such as "default", or an object path) and
    // asks the daemon itself whether it is locked: libsecret's cached objects may
    // still show an older state.
    std::optional<KeyringError> checkCollection() {
        GDBusConnection* bus = g_dbus_proxy_get_connection(G_DBUS_PROXY(m_service.get()));
        const char* name = g_dbus_proxy_get_name(G_DBUS_PROXY(m_service.get()));
        if (!m_collection.startsWith('/')) {
            GError* raw = nullptr;
            GVariant* reply = g_dbus_connection_call_sync(
                bus, name, "/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "ReadAlias",
                g_variant_new("(s)", m_collection.constData()), G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE,
                -1, m_cancellable, &raw);
            ErrorPtr error(raw);
            if (error) {
                return toKeyringError(error.get(), "opening the keyring");
            }
            const char* path = nullptr;
            g_variant_get(reply, "(&o)", &path);
            m_collectionPath = QByteArray(path);
            g_variant_unref(reply);
        } else {
            m_collectionPath = m_collection;
        }
        if (m_collectionPath.isEmpty() || m_collectionPath == "/") {
            return KeyringError{
                KeyringError::Kind::Unavailable,
                QStringLiteral("the keyring has no collection \"%1\"").arg(QString::fromUtf8(m_collection))};
        }
        GError* raw = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            bus, name, m_collectionPath.constData(), "org.freedesktop.DBus.Properties", "Get",
            g_variant_new("(ss)", "org.freedesktop.Secret.Collection", "Locked"), G_VARIANT_TYPE("(v)"),
            G_DBUS_CALL_FLAGS_NONE, -1, m_cancellable, &raw);
        ErrorPtr error(raw);
        if (error) {
            if (g_error_matches(error.get(), G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD) ||
                g_error_matches(error.get(), G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT)) {
                return KeyringError{KeyringError::Kind::Unavailable,
                                    QStringLiteral("the keyring has no collection \"%1\"")
                                        .arg(QString::fromUtf8(m_collection))};
            }
            return toKeyringError(error.get(), "opening the keyring");
        }
        GVariant* value = nullptr;
        g_variant_get(reply, "(v)", &value);
        const bool locked =
            value && g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value);
        if (value) {
            g_variant_unref(value);
        }
        g_variant_unref(reply);
        if (locked) {
            return KeyringError{KeyringError::Kind::Locked, QStringLiteral("the keyring is locked")};
        }
        return std::nullopt;
    }

    SecretService* service() const { return m_service.get(); }
    const SecretSchema* schema() const { return m_schema; }
    GCancellable* cancellable() const { return m_cancellable; }
    const QByteArray& prefix() const { return m_prefix; }
    // The object path found by `checkCollection()`.
    const char* collectionPath() const { return m_collectionPath.constData(); }

private:
    QByteArray m_prefix;
    QByteArray m_collection;
    QByteArray m_collectionPath;
    const SecretSchema* m_schema;
    GCancellable* m_cancellable;
    GObjectPtr<SecretService> m_service;
};

QByteArray attributeOf(SecretItem* item, const char* name) {
    HashPtr attrs(secret_item_get_attributes(item));
    const auto* value = attrs ? static_cast<const char*>(g_hash_table_lookup(attrs.get(), name)) : nullptr;
    return value ? QByteArray(value) : QByteArray();
}

Result<std::optional<QByteArray>, KeyringError> doLoad(Session& session, const QString& account) {
    using R = Result<std::optional<QByteArray>, KeyringError>;
    if (auto failed = session.connect()) {
        return R::failure(*failed);
    }
    ItemList holder;
    auto found = session.search(account, true, holder);
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
    SecretItem* item = found.value().front();
    SecretValue* value = secret_item_get_secret(item);
    if (!value) {
        // The search loads the secrets of unlocked items only. Ask the daemon itself
        // rather than the item's cached "Locked" property, which may be out of date.
        GError* raw = nullptr;
        secret_item_load_secret_sync(item, session.cancellable(), &raw);
        ErrorPtr error(raw);
        if (error) {
            return R::failure(toKeyringError(error.get(), "reading the keyring item"));
        }
        value = secret_item_get_secret(item);
    }
    if (!value) {
        return R::failure(
            secret_item_get_locked(item)
                ? KeyringError{KeyringError::Kind::Locked, QStringLiteral("the keyring item is locked")}
                : KeyringError{KeyringError::Kind::Failed,
                               QStringLiteral("the keyring item has no readable value")});
    }
    gsize length = 0;
    const gchar* data = secret_value_get(value, &length);
    QByteArray bytes(data, static_cast<qsizetype>(length));
    secret_value_unref(value);
    return R::success(std::optional<QByteArray>(std::move(bytes)));
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
    auto attrs = session.attributes(account, &kind);
    const QByteArray label = session.prefix() + " (" + kind.toUtf8() + ')';
    SecretValue* value = secret_value_new(secret.constData(), secret.size(), "application/octet-stream");
    GError* raw = nullptr;
    // Same attributes replace the item in place; nothing is deleted before the new value
    // is safely stored.
    const gboolean stored =
        secret_service_store_sync(session.service(), session.schema(), attrs.get(), session.collectionPath(),
                                  label.constData(), value, session.cancellable(), &raw);
    secret_value_unref(value);
    ErrorPtr error(raw);
    if (!stored || error) {
        return R::failure(error ? toKeyringError(error.get(), "storing in the keyring")
                                : KeyringError{KeyringError::Kind::Failed,
                                               QStringLiteral("storing in the keyring failed")});
    }
    // One item per account: an item left from another kind goes, now that the new one
    // is in place. Failing here leaves an older item that loading never prefers.
    ItemList holder;
    auto found = session.search(account, false, holder);
    if (found.ok()) {
        const QByteArray service = session.prefix() + '.' + kind.toUtf8();
        for (SecretItem* item : found.value()) {
            if (attributeOf(item, "service") != service) {
                GError* ignored = nullptr;
                secret_item_delete_sync(item, session.cancellable(), &ignored);
                ErrorPtr dropped(ignored);
            }
        }
    }
    return R::success(Void{});
}

// Whether the daemon holds `item` locked right now.
Result<bool, KeyringError> itemLockedNow(Session& session, SecretItem* item) {
    using R = Result<bool, KeyringError>;
    auto* proxy = G_DBUS_PROXY(item);
    GError* raw = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        g_dbus_proxy_get_connection(proxy), g_dbus_proxy_get_name(proxy), g_dbus_proxy_get_object_path(proxy),
        "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.freedesktop.Secret.Item", "Locked"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, -1, session.cancellable(), &raw);
    ErrorPtr error(raw);
    if (error) {
        return R::failure(toKeyringError(error.get(), "reading the keyring item"));
    }
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    const bool locked =
        value && g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value);
    if (value) {
        g_variant_unref(value);
    }
    g_variant_unref(reply);
    return R::success(locked);
}

Result<bool, KeyringError> doRemove(Session& session, const QString& account) {
    using R = Result<bool, KeyringError>;
    if (auto failed = session.connect()) {
        return R::failure(*failed);
    }
    ItemList holder;
    auto found = session.search(account, false, holder);
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
    for (SecretItem* item : found.value()) {
        // The daemon deletes items of a locked collection too, so ask it whether the item
        // is locked: libsecret's cached "Locked" property may not have caught up yet.
        auto locked = itemLockedNow(session, item);
        if (!locked.ok()) {
            return R::failure(locked.error());
        }
        if (locked.value()) {
            return R::failure({KeyringError::Kind::Locked, QStringLiteral("the keyring item is locked")});
        }
    }
    for (SecretItem* item : found.value()) {
        GError* raw = nullptr;
        secret_item_delete_sync(item, session.cancellable(), &raw);
        ErrorPtr error(raw);
        if (error) {
            return R::failure(toKeyringError(error.get(), "removing from the keyring"));
        }
    }
    return R::success(!found.value().empty());
}

// Runs `op` on the worker and waits at most `timeout` for it.
template <typename R>
R runBounded(SecretServiceKeyring::Worker& worker, const QString& prefix, const QString& collection,
             std::chrono::milliseconds timeout, std::function<R(Session&)> op) {
    struct Call {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<R> result;
        GCancellable* cancellable = g_cancellable_new();
        ~Call() { g_object_unref(cancellable); }
    };
    auto call = std::make_shared<Call>();
    worker.post([call, prefix, collection, op = std::move(op)] {
        std::optional<R> result;
        if (g_cancellable_is_cancelled(call->cancellable)) {
            result =
                R::failure({KeyringError::Kind::TimedOut, QStringLiteral("the keyring call was abandoned")});
        } else {
            Session session(prefix, collection, call->cancellable);
            result = op(session);
        }
        {
            std::lock_guard lock(call->mutex);
            call->result = std::move(result);
        }
        call->done.notify_all();
    });
    std::unique_lock lock(call->mutex);
    if (!call->done.wait_for(lock, timeout, [&] { return call->result.has_value(); })) {
        g_cancellable_cancel(call->cancellable);
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
    GCancellable* cancellable = g_cancellable_new();
    ~ReadAhead() { g_object_unref(cancellable); }

    void finish(LoadResult outcome) {
        {
            std::lock_guard lock(mutex);
            result = std::move(outcome);
        }
        done.notify_all();
    }
    // Lets go of the worker: the libsecret call in flight returns as cancelled.
    void setAside() { g_cancellable_cancel(cancellable); }
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
    // libsecret keeps the service object, with its session, for every later call; a
    // failure here is met again, and reported, by the call that needs the service.
    m_worker->post([ahead, prefix = m_prefix, collection = m_collection] {
        if (g_cancellable_is_cancelled(ahead->cancellable)) {
            ahead->finish(ReadAhead::LoadResult::failure(
                {KeyringError::Kind::TimedOut, QStringLiteral("the read ahead was set aside")}));
            return;
        }
        GError* raw = nullptr;
        GObjectPtr<SecretService> service(
            secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, ahead->cancellable, &raw));
        ErrorPtr error(raw);
        if (ahead->account.isEmpty()) {
            ahead->finish(ReadAhead::LoadResult::success(std::nullopt));
            return;
        }
        Session session(prefix, collection, ahead->cancellable);
        ahead->finish(doLoad(session, ahead->account));
    });
    // The bound is watched from a thread of its own, which ends as soon as the read does:
    // the worker is the one thing that cannot watch it. A read ahead is made once a start.
    std::thread([ahead, timeout = m_timeout] {
        std::unique_lock lock(ahead->mutex);
        if (!ahead->done.wait_for(lock, timeout, [&] { return ahead->result.has_value(); })) {
            lock.unlock();
            ahead->setAside();
        }
    }).detach();
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
            if (!g_cancellable_is_cancelled(ahead->cancellable)) {
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
    return runBounded<R>(*m_worker, m_prefix, m_collection, m_timeout,
                         [account, kind, secret](Session& s) { return doStore(s, account, kind, secret); });
}

Result<bool, KeyringError> SecretServiceKeyring::remove(const QString& account) {
    using R = Result<bool, KeyringError>;
    forgetAhead();
    return runBounded<R>(*m_worker, m_prefix, m_collection, m_timeout,
                         [account](Session& s) { return doRemove(s, account); });
}

} // namespace velmora
