#include "HostileSecretService.h"

#include <dbus/dbus.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <QTemporaryFile>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <utility>

namespace {

constexpr char name[] = "org.freedesktop.secrets";
constexpr char sessionPrefix[] = "/org/freedesktop/secrets/session/s";
const QByteArray collection = "/org/freedesktop/secrets/collection/login";

// A bus that starts nothing on demand (only this service ever owns the name), with a
// session bus's limits: it carries whatever the service sends.
constexpr char busConfig[] =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
<allow own="*"/></policy><limit name="max_message_size">1000000000</limit>
<limit name="max_incoming_bytes">1000000000</limit><limit name="max_outgoing_bytes">1000000000</limit></busconfig>)";

using Bn = std::unique_ptr<BIGNUM, decltype(&BN_clear_free)>;
Bn bn(BIGNUM* number) {
    return Bn(number, &BN_clear_free);
}

QByteArray readBytes(DBusMessageIter* iter) {
    DBusMessageIter array;
    dbus_message_iter_recurse(iter, &array);
    const char* data = nullptr;
    int length = 0;
    dbus_message_iter_get_fixed_array(&array, &data, &length);
    return QByteArray(data, length);
}

void appendBytes(DBusMessageIter* iter, const QByteArray& bytes) {
    DBusMessageIter array;
    dbus_message_iter_open_container(iter, DBUS_TYPE_ARRAY, "y", &array);
    const char* data = bytes.constData();
    dbus_message_iter_append_fixed_array(&array, DBUS_TYPE_BYTE, &data, int(bytes.size()));
    dbus_message_iter_close_container(iter, &array);
}

void appendBasic(DBusMessageIter* iter, int type, const QByteArray& text) {
    const char* data = text.constData();
    dbus_message_iter_append_basic(iter, type, &data);
}

QByteArray aes(const QByteArray& key, const QByteArray& iv, const QByteArray& input, bool encrypting) {
    QByteArray out(input.size() + 16, '\0');
    int written = 0, last = 0;
    EVP_CIPHER_CTX* cipher = EVP_CIPHER_CTX_new();
    const auto* in = reinterpret_cast<const unsigned char*>(input.constData());
    auto* to = reinterpret_cast<unsigned char*>(out.data());
    const bool ok =
        EVP_CipherInit_ex(cipher, EVP_aes_128_cbc(), nullptr,
                          reinterpret_cast<const unsigned char*>(key.constData()),
                          reinterpret_cast<const unsigned char*>(iv.constData()), encrypting) == 1 &&
        EVP_CipherUpdate(cipher, to, &written, in, int(input.size())) == 1 &&
        EVP_CipherFinal_ex(cipher, to + written, &last) == 1;
    EVP_CIPHER_CTX_free(cipher);
    return ok ? out.left(written + last) : QByteArray();
}

// Answers `call` with an error instead of `reply`.
void fail(DBusMessage*& reply, DBusMessage* call, const char* error, const char* text) {
    dbus_message_unref(reply);
    reply = dbus_message_new_error(call, error, text);
}

QByteArray randomBytes(int size) {
    QByteArray bytes(size, '\0');
    RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), size);
    return bytes;
}

// The "account" attribute of a search or of a new item's properties (the first entry of the
// first dictionary at any depth holding one).
QByteArray accountIn(DBusMessageIter* iter) {
    for (; dbus_message_iter_get_arg_type(iter) != DBUS_TYPE_INVALID; dbus_message_iter_next(iter)) {
        const int type = dbus_message_iter_get_arg_type(iter);
        if (type == DBUS_TYPE_STRING) {
            const char* key = nullptr;
            dbus_message_iter_get_basic(iter, &key);
            if (QByteArray(key) == "account" && dbus_message_iter_next(iter)) {
                dbus_message_iter_get_basic(iter, &key);
                return key;
            }
        } else if (type == DBUS_TYPE_ARRAY || type == DBUS_TYPE_DICT_ENTRY || type == DBUS_TYPE_VARIANT) {
            DBusMessageIter inner;
            dbus_message_iter_recurse(iter, &inner);
            if (QByteArray found = accountIn(&inner); !found.isEmpty()) {
                return found;
            }
        }
    }
    return {};
}

} // namespace

HostileSecretService::HostileSecretService() {
    QTemporaryFile config;
    if (!config.open() || config.write(busConfig) < 0 || !config.flush()) {
        return;
    }
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--nofork"), QStringLiteral("--print-address"),
                    QStringLiteral("--config-file=") + config.fileName()});
    while (m_daemon.waitForReadyRead(10000) && !m_daemon.canReadLine()) {
    }
    m_address = m_daemon.readLine().trimmed();
    if (m_address.isEmpty()) {
        return;
    }
    m_previousAddress = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_address);
    DBusError error = DBUS_ERROR_INIT;
    m_spoofer = dbus_connection_open_private(m_address.constData(), &error);
    m_ok = m_spoofer && dbus_bus_register(m_spoofer, &error) && takeName();
    dbus_error_free(&error);
    if (m_ok) {
        m_thread = std::thread([this] { serve(); });
    }
}

HostileSecretService::~HostileSecretService() {
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
    for (DBusConnection* connection : {m_service, m_spoofer}) {
        if (connection) {
            dbus_connection_close(connection);
            dbus_connection_unref(connection);
        }
    }
    m_daemon.kill();
    m_daemon.waitForFinished();
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_previousAddress);
}

void HostileSecretService::replace() {
    m_replace = true;
    while (m_replace) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void HostileSecretService::forgetSessions() {
    std::lock_guard lock(m_mutex);
    m_sessions.clear();
}

bool HostileSecretService::takeName() {
    if (m_service) {
        dbus_connection_close(m_service);
        dbus_connection_unref(m_service);
    }
    DBusError error = DBUS_ERROR_INIT;
    m_service = dbus_connection_open_private(m_address.constData(), &error);
    const bool owned = m_service && dbus_bus_register(m_service, &error) &&
                       dbus_bus_request_name(m_service, name, DBUS_NAME_FLAG_DO_NOT_QUEUE, &error) ==
                           DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER;
    dbus_error_free(&error);
    forgetSessions();
    return owned;
}

void HostileSecretService::hold(const QByteArray& account, const QByteArray& secret) {
    std::lock_guard lock(m_mutex);
    m_items.insert(account, secret);
}

QByteArray HostileSecretService::secretOf(const QByteArray& account) {
    std::lock_guard lock(m_mutex);
    return m_items.value(account);
}

QStringList HostileSecretService::takeCalls() {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_calls, {});
}

void HostileSecretService::serve() {
    while (!m_stop) {
        if (m_replace) {
            takeName();
            m_replace = false;
        }
        dbus_connection_read_write(m_service, 10);
        while (DBusMessage* call = dbus_connection_pop_message(m_service)) {
            DBusMessage* reply = dbus_message_new_method_return(call);
            if (dbus_message_get_type(call) == DBUS_MESSAGE_TYPE_METHOD_CALL && answer(call, reply)) {
                dbus_connection_send(m_service, reply, nullptr);
                dbus_connection_flush(m_service);
            }
            dbus_message_unref(reply);
            dbus_message_unref(call);
        }
    }
}

// The other peer's answer, sent and delivered before the service's own.
void HostileSecretService::spoof(DBusMessage* call) {
    DBusMessage* forged = nullptr;
    if (m_trick == Trick::SpoofNotSupported && dbus_message_has_member(call, "OpenSession")) {
        forged = dbus_message_new_error(call, DBUS_ERROR_NOT_SUPPORTED, "no encrypted sessions here");
    } else if (m_trick == Trick::SpoofNoItems && dbus_message_has_member(call, "SearchItems")) {
        forged = dbus_message_new_method_return(call);
        DBusMessageIter iter, none;
        dbus_message_iter_init_append(forged, &iter);
        for (int list = 0; list < 2; ++list) {
            dbus_message_iter_open_container(&iter, DBUS_TYPE_ARRAY, "o", &none);
            dbus_message_iter_close_container(&iter, &none);
        }
    }
    if (forged) {
        dbus_connection_send(m_spoofer, forged, nullptr);
        dbus_connection_flush(m_spoofer);
        dbus_message_unref(forged);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool HostileSecretService::answer(DBusMessage* call, DBusMessage*& reply) {
    const QByteArray member = dbus_message_get_member(call);
    const char* algorithm = "";
    if (member == "OpenSession") {
        dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &algorithm, DBUS_TYPE_INVALID);
    }
    {
        std::lock_guard lock(m_mutex);
        m_calls.append(QString::fromUtf8(member + (*algorithm ? QByteArray(" ") + algorithm : QByteArray())));
    }
    spoof(call);
    DBusMessageIter args, in, variant, paths;
    dbus_message_iter_init_append(reply, &args);
    const Trick trick = m_trick;
    if (member == "SearchItems" &&
        (trick == Trick::HugeError || trick == Trick::LongError || trick == Trick::ForgedLogLine)) {
        const QByteArray text = trick == Trick::HugeError ? QByteArray(50'000'000, 'x')
                                : trick == Trick::LongError
                                    ? QByteArray(8192, 'x')
                                    : "no such thing\n[keyring] forged: the user signed out";
        fail(reply, call, "org.example.Hostile.Error", text.constData());
    } else if (member == "OpenSession") {
        openSession(call, reply);
    } else if (member == "GetSecret") {
        getSecret(call, reply);
    } else if (member == "SearchItems") {
        dbus_message_iter_init(call, &in);
        const QByteArray account = accountIn(&in);
        std::lock_guard lock(m_mutex);
        dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "o", &paths);
        for (int i = 0; i < (trick == Trick::ManyPaths ? 100'000 : 0); ++i) {
            appendBasic(&paths, DBUS_TYPE_OBJECT_PATH, collection + "/n" + QByteArray::number(i));
        }
        if (m_items.contains(account)) {
            appendBasic(&paths, DBUS_TYPE_OBJECT_PATH, collection + "/i" + account.toHex());
        }
        dbus_message_iter_close_container(&args, &paths);
        dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "o", &paths);
        dbus_message_iter_close_container(&args, &paths);
    } else if (member == "ReadAlias") {
        appendBasic(&args, DBUS_TYPE_OBJECT_PATH, collection);
    } else if (member == "Get") { // whether the collection is locked: never
        const dbus_bool_t no = FALSE;
        dbus_message_iter_open_container(&args, DBUS_TYPE_VARIANT, "b", &variant);
        dbus_message_iter_append_basic(&variant, DBUS_TYPE_BOOLEAN, &no);
        dbus_message_iter_close_container(&args, &variant);
    } else if (member == "CreateItem") {
        if (trick != Trick::Prompt) {
            DBusMessageIter fields;
            dbus_message_iter_init(call, &in);
            const QByteArray account = accountIn(&in);
            dbus_message_iter_next(&in);
            dbus_message_iter_recurse(&in, &fields);
            const char* session = nullptr;
            dbus_message_iter_get_basic(&fields, &session);
            dbus_message_iter_next(&fields);
            const QByteArray iv = readBytes(&fields);
            dbus_message_iter_next(&fields);
            std::lock_guard lock(m_mutex);
            const QByteArray key = m_sessions.value(session);
            m_items.insert(account,
                           key.isEmpty() ? readBytes(&fields) : aes(key, iv, readBytes(&fields), false));
        }
        appendBasic(&args, DBUS_TYPE_OBJECT_PATH, "/");
        appendBasic(&args, DBUS_TYPE_OBJECT_PATH,
                    trick == Trick::Prompt ? "/org/freedesktop/secrets/prompt/p1" : "/");
        return trick != Trick::StoreWithoutAnswer;
    }
    return true;
}

void HostileSecretService::openSession(DBusMessage* call, DBusMessage*& reply) {
    DBusMessageIter in, variant, args, out;
    dbus_message_iter_init(call, &in);
    const char* algorithm = nullptr;
    dbus_message_iter_get_basic(&in, &algorithm);
    const bool plain = QByteArray(algorithm) == "plain";
    const Trick trick = m_trick;
    if (!plain && (trick == Trick::FailedOnDh || trick == Trick::PlainOnly)) {
        fail(reply, call, trick == Trick::PlainOnly ? DBUS_ERROR_NOT_SUPPORTED : DBUS_ERROR_FAILED,
             "not today");
        return;
    }
    QByteArray output, key;
    if (!plain) {
        dbus_message_iter_next(&in);
        dbus_message_iter_recurse(&in, &variant);
        const QByteArray theirs = readBytes(&variant);
        std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> context(BN_CTX_new(), &BN_CTX_free);
        Bn prime = bn(BN_get_rfc2409_prime_1024(nullptr)), secret = bn(BN_new()), ours = bn(BN_new()),
           shared = bn(BN_new()), two = bn(BN_new()),
           client = bn(BN_bin2bn(reinterpret_cast<const unsigned char*>(theirs.constData()),
                                 int(theirs.size()), nullptr));
        BN_set_word(two.get(), 2);
        do {
            BN_rand_range(secret.get(), prime.get());
            BN_mod_exp(shared.get(), client.get(), secret.get(), prime.get(), context.get());
        } while (trick == Trick::LeadingZeroShared &&
                 BN_num_bytes(shared.get()) == BN_num_bytes(prime.get()));
        BN_mod_exp(ours.get(), two.get(), secret.get(), prime.get(), context.get());
        if (trick == Trick::KeyZero || trick == Trick::KeyOne) {
            BN_set_word(ours.get(), trick == Trick::KeyOne ? 1 : 0);
        } else if (trick == Trick::KeyPrimeMinusOne) {
            BN_copy(ours.get(), prime.get());
            BN_sub_word(ours.get(), 1);
        }
        output = QByteArray(BN_num_bytes(prime.get()), '\0');
        BN_bn2binpad(ours.get(), reinterpret_cast<unsigned char*>(output.data()), int(output.size()));
        QByteArray padded(BN_num_bytes(prime.get()), '\0');
        BN_bn2binpad(shared.get(), reinterpret_cast<unsigned char*>(padded.data()), int(padded.size()));
        key = QByteArray(16, '\0');
        std::size_t length = 16;
        EVP_PKEY_CTX* kdf = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
        EVP_PKEY_derive_init(kdf);
        EVP_PKEY_CTX_set_hkdf_md(kdf, EVP_sha256());
        EVP_PKEY_CTX_set1_hkdf_key(kdf, reinterpret_cast<const unsigned char*>(padded.constData()),
                                   int(padded.size()));
        EVP_PKEY_derive(kdf, reinterpret_cast<unsigned char*>(key.data()), &length);
        EVP_PKEY_CTX_free(kdf);
    }
    const QByteArray session = sessionPrefix + QByteArray::number(++m_sessionCount);
    {
        std::lock_guard lock(m_mutex);
        m_sessions.insert(session, key);
    }
    dbus_message_iter_init_append(reply, &args);
    dbus_message_iter_open_container(&args, DBUS_TYPE_VARIANT, plain ? "s" : "ay", &out);
    if (plain) {
        appendBasic(&out, DBUS_TYPE_STRING, "");
    } else {
        appendBytes(&out, output);
    }
    dbus_message_iter_close_container(&args, &out);
    if (trick == Trick::SessionPathAsString) {
        appendBasic(&args, DBUS_TYPE_STRING, "session " + session);
    } else {
        appendBasic(&args, DBUS_TYPE_OBJECT_PATH, session);
    }
}

void HostileSecretService::getSecret(DBusMessage* call, DBusMessage*& reply) {
    const char* session = nullptr;
    dbus_message_get_args(call, nullptr, DBUS_TYPE_OBJECT_PATH, &session, DBUS_TYPE_INVALID);
    std::unique_lock lock(m_mutex);
    const QByteArray secret = m_items.value(
        QByteArray::fromHex(QByteArray(dbus_message_get_path(call)).mid(collection.size() + 2)));
    if (!m_sessions.contains(session)) {
        fail(reply, call, "org.freedesktop.Secret.Error.NoSession", "no such session");
        return;
    }
    const QByteArray key = m_sessions.value(session);
    lock.unlock();
    const Trick trick = m_trick;
    QByteArray iv = key.isEmpty() ? QByteArray() : randomBytes(16);
    if (trick == Trick::ShortIv) {
        iv[15] = 1; // not the NUL a QByteArray ends with, which would stand in for it
    }
    QByteArray value = trick == Trick::HugeSecret    ? QByteArray(40 << 20, 's')
                       : trick == Trick::LargeSecret ? QByteArray(6 << 20, 's')
                       : key.isEmpty()               ? secret
                                                     : aes(key, iv, secret, true);
    if (trick == Trick::ShortIv) {
        iv.chop(1);
    }
    DBusMessageIter args, fields;
    dbus_message_iter_init_append(reply, &args);
    dbus_message_iter_open_container(&args, DBUS_TYPE_STRUCT, nullptr, &fields);
    appendBasic(&fields, DBUS_TYPE_OBJECT_PATH,
                trick == Trick::OtherSession ? QByteArray(sessionPrefix) + "999" : QByteArray(session));
    appendBytes(&fields, iv);
    appendBytes(&fields, value);
    appendBasic(&fields, DBUS_TYPE_STRING, "text/plain");
    dbus_message_iter_close_container(&args, &fields);
}
