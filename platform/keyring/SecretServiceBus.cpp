#include "platform/keyring/SecretServiceBus.h"

#include <dbus/dbus.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <QFileInfo>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace velmora {

namespace {

constexpr char serviceName[] = "org.freedesktop.secrets";
constexpr char servicePath[] = "/org/freedesktop/secrets";
constexpr char serviceInterface[] = "org.freedesktop.Secret.Service";
constexpr char itemInterface[] = "org.freedesktop.Secret.Item";
constexpr char collectionInterface[] = "org.freedesktop.Secret.Collection";
constexpr char propertiesInterface[] = "org.freedesktop.DBus.Properties";
constexpr char dhAlgorithm[] = "dh-ietf1024-sha256-aes128-cbc-pkcs7";
constexpr char busName[] = "org.freedesktop.DBus";
constexpr char busPath[] = "/org/freedesktop/DBus";
// Who owns the service's name, told by the bus as it changes.
constexpr char ownerRule[] =
    "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
    "member='NameOwnerChanged',path='/org/freedesktop/DBus',arg0='org.freedesktop.secrets'";
// The longest a wait on the socket lasts before the caller's word is looked at again.
constexpr auto pollStep = std::chrono::milliseconds(20);
// A secret as it crosses the bus: sealed by the session, it grows by up to one cipher block.
constexpr qsizetype maxSealed = SecretServiceBus::maxSecret + 16;

using Clock = SecretServiceBus::Clock;

template <typename T> Result<T, KeyringError> failure(KeyringError::Kind kind, QString message) {
    return Result<T, KeyringError>::failure(KeyringError{kind, std::move(message)});
}

// libdbus ends the program on a string that is not UTF-8 (or holds a NUL): each is
// looked at before it goes into a message.
bool isText(const QByteArray& text) {
    return !text.contains('\0') && dbus_validate_utf8(text.constData(), nullptr);
}

bool textsAreValid(const QMap<QByteArray, QByteArray>& attributes) {
    for (auto it = attributes.begin(); it != attributes.end(); ++it) {
        if (!isText(it.key()) || !isText(it.value())) {
            return false;
        }
    }
    return true;
}

// Writing a message: each value is looked at first, since libdbus ends the program on one
// it does not take (a path of the wrong form, a text that is not UTF-8, an array over its
// bound); false for such a value. Otherwise libdbus answers false only when it runs out of
// memory.
bool appendString(DBusMessageIter* iter, int type, const QByteArray& text) {
    if (type == DBUS_TYPE_OBJECT_PATH ? !SecretServiceBus::isObjectPath(text) : !isText(text)) {
        return false;
    }
    const char* data = text.constData();
    return dbus_message_iter_append_basic(iter, type, &data);
}

bool appendBytes(DBusMessageIter* iter, const QByteArray& bytes) {
    if (bytes.size() > maxSealed) {
        return false;
    }
    DBusMessageIter array;
    dbus_message_iter_open_container(iter, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE_AS_STRING, &array);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
    const bool written =
        dbus_message_iter_append_fixed_array(&array, DBUS_TYPE_BYTE, &data, int(bytes.size()));
    return dbus_message_iter_close_container(iter, &array) && written;
}

bool appendAttributes(DBusMessageIter* iter, const QMap<QByteArray, QByteArray>& attributes) {
    DBusMessageIter array;
    bool written = dbus_message_iter_open_container(iter, DBUS_TYPE_ARRAY, "{ss}", &array);
    for (auto it = attributes.begin(); written && it != attributes.end(); ++it) {
        DBusMessageIter entry;
        written = dbus_message_iter_open_container(&array, DBUS_TYPE_DICT_ENTRY, nullptr, &entry) &&
                  appendString(&entry, DBUS_TYPE_STRING, it.key()) &&
                  appendString(&entry, DBUS_TYPE_STRING, it.value()) &&
                  dbus_message_iter_close_container(&array, &entry);
    }
    return written && dbus_message_iter_close_container(iter, &array);
}

// A variant of `signature`, its value written by `write`.
bool appendVariant(DBusMessageIter* iter, const char* signature,
                   const std::function<bool(DBusMessageIter*)>& write) {
    DBusMessageIter variant;
    return dbus_message_iter_open_container(iter, DBUS_TYPE_VARIANT, signature, &variant) &&
           write(&variant) && dbus_message_iter_close_container(iter, &variant);
}

// Reading one: every read checks the type it finds, since the answer is another
// program's, and how much it is before it is copied.
std::optional<QByteArray> readBasic(DBusMessageIter* iter, int type, qsizetype bound) {
    if (dbus_message_iter_get_arg_type(iter) != type) {
        return std::nullopt;
    }
    const char* text = nullptr;
    dbus_message_iter_get_basic(iter, &text);
    const qsizetype length = text ? qsizetype(qstrnlen(text, size_t(bound) + 1)) : 0;
    if (length > bound) {
        return std::nullopt;
    }
    return QByteArray(text, length);
}

std::optional<QByteArray> readText(DBusMessageIter* iter, qsizetype bound = SecretServiceBus::maxText) {
    return readBasic(iter, DBUS_TYPE_STRING, bound);
}

std::optional<QByteArray> readPath(DBusMessageIter* iter) {
    auto path = readBasic(iter, DBUS_TYPE_OBJECT_PATH, SecretServiceBus::maxText);
    if (!path || !SecretServiceBus::isObjectPath(*path)) {
        return std::nullopt;
    }
    return path;
}

// `tooLarge` tells an array over `bound` from one of the wrong type.
std::optional<QByteArray> readBytes(DBusMessageIter* iter, qsizetype bound = maxSealed,
                                    bool* tooLarge = nullptr) {
    if (dbus_message_iter_get_arg_type(iter) != DBUS_TYPE_ARRAY ||
        dbus_message_iter_get_element_type(iter) != DBUS_TYPE_BYTE) {
        return std::nullopt;
    }
    DBusMessageIter array;
    dbus_message_iter_recurse(iter, &array);
    const unsigned char* data = nullptr;
    int length = 0;
    dbus_message_iter_get_fixed_array(&array, &data, &length);
    if (length < 0 || length > bound) {
        if (tooLarge) {
            *tooLarge = true;
        }
        return std::nullopt;
    }
    return QByteArray(reinterpret_cast<const char*>(data), length);
}

std::optional<QList<QByteArray>> readPaths(DBusMessageIter* iter) {
    if (dbus_message_iter_get_arg_type(iter) != DBUS_TYPE_ARRAY ||
        dbus_message_iter_get_element_type(iter) != DBUS_TYPE_OBJECT_PATH) {
        return std::nullopt;
    }
    QList<QByteArray> paths;
    DBusMessageIter array;
    dbus_message_iter_recurse(iter, &array);
    while (dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_OBJECT_PATH) {
        auto path = readPath(&array);
        if (!path) {
            return std::nullopt;
        }
        paths.append(std::move(*path));
        dbus_message_iter_next(&array);
    }
    return paths;
}

std::optional<QMap<QByteArray, QByteArray>> readAttributes(DBusMessageIter* iter) {
    if (dbus_message_iter_get_arg_type(iter) != DBUS_TYPE_ARRAY ||
        dbus_message_iter_get_element_type(iter) != DBUS_TYPE_DICT_ENTRY) {
        return std::nullopt;
    }
    QMap<QByteArray, QByteArray> attributes;
    DBusMessageIter array;
    dbus_message_iter_recurse(iter, &array);
    while (dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_DICT_ENTRY) {
        DBusMessageIter entry;
        dbus_message_iter_recurse(&array, &entry);
        const auto key = readText(&entry);
        dbus_message_iter_next(&entry);
        const auto value = readText(&entry);
        if (!key || !value) {
            return std::nullopt;
        }
        attributes.insert(*key, *value);
        dbus_message_iter_next(&array);
    }
    return attributes;
}

// Another program's text as one quoted line of at most `bound` characters, to go into the
// log: a line break or quote in it cannot make it look like a line of the log's own.
QString quoted(const QByteArray& text, qsizetype bound = 200) {
    const QString whole = QString::fromUtf8(text);
    QString line = QStringLiteral("\"");
    for (const QChar c : whole.left(bound)) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\')) {
            line += QLatin1Char('\\');
            line += c;
        } else if (c == QLatin1Char('\n')) {
            line += QLatin1String("\\n");
        } else if (c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line ||
                   c.category() == QChar::Separator_Paragraph) {
            line += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        } else {
            line += c;
        }
    }
    return line + (whole.size() > bound ? QStringLiteral("\"…") : QStringLiteral("\""));
}

// An error's text, quoted; none when it is over its bound.
std::optional<QString> messageOf(DBusMessage* error) {
    DBusMessageIter iter;
    if (dbus_message_iter_init(error, &iter) && dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_STRING) {
        const auto text = readText(&iter);
        return text ? std::optional(quoted(*text)) : std::nullopt;
    }
    return quoted(dbus_message_get_error_name(error));
}

// Where the session bus is: the environment's address, else the user's runtime folder.
QByteArray sessionBusAddress() {
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (!address.isEmpty()) {
        return address;
    }
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo::exists(QString::fromLocal8Bit(runtime + "/bus"))) {
        return "unix:path=" + runtime + "/bus";
    }
    return {};
}

struct BnFree {
    void operator()(BIGNUM* number) const { BN_clear_free(number); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
struct BnCtxFree {
    void operator()(BN_CTX* context) const { BN_CTX_free(context); }
};

} // namespace

bool SecretServiceBus::isObjectPath(const QByteArray& path) {
    return !path.isEmpty() && !path.contains('\0') && dbus_validate_path(path.constData(), nullptr);
}

KeyringError::Kind SecretServiceBus::kindOfError(const QByteArray& name) {
    if (name == "org.freedesktop.Secret.Error.IsLocked") {
        return KeyringError::Kind::Locked;
    }
    if (name == "org.freedesktop.DBus.Error.NoReply" || name == "org.freedesktop.DBus.Error.Timeout" ||
        name == "org.freedesktop.DBus.Error.TimedOut") {
        return KeyringError::Kind::TimedOut;
    }
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" || name == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
        name.startsWith("org.freedesktop.DBus.Error.Spawn") || name == "org.freedesktop.DBus.Error.NoServer" ||
        name == "org.freedesktop.DBus.Error.FileNotFound" || name == "org.freedesktop.DBus.Error.Disconnected") {
        return KeyringError::Kind::Unavailable;
    }
    return KeyringError::Kind::Failed;
}

namespace {
// Zeroes every byte array under `iter`: the secrets a message carries, in the clear in a
// session without encryption, which libdbus would otherwise leave in the memory it frees.
void wipeBytes(DBusMessageIter* iter) {
    for (int type; (type = dbus_message_iter_get_arg_type(iter)) != DBUS_TYPE_INVALID;
         dbus_message_iter_next(iter)) {
        if (type == DBUS_TYPE_ARRAY && dbus_message_iter_get_element_type(iter) == DBUS_TYPE_BYTE) {
            DBusMessageIter array;
            dbus_message_iter_recurse(iter, &array);
            const unsigned char* data = nullptr;
            int length = 0;
            dbus_message_iter_get_fixed_array(&array, &data, &length);
            if (data && length > 0) {
                std::memset(const_cast<unsigned char*>(data), 0, std::size_t(length));
            }
        } else if (type == DBUS_TYPE_ARRAY || type == DBUS_TYPE_STRUCT || type == DBUS_TYPE_VARIANT ||
                   type == DBUS_TYPE_DICT_ENTRY) {
            DBusMessageIter inner;
            dbus_message_iter_recurse(iter, &inner);
            wipeBytes(&inner);
        }
    }
}
} // namespace

void SecretServiceBus::ReplyUnref::operator()(DBusMessage* message) const {
    // Ours alone by now: a call's message is sent (or its connection given up) before its
    // owner lets go of it.
    DBusMessageIter iter;
    if (dbus_message_iter_init(message, &iter)) {
        wipeBytes(&iter);
    }
    dbus_message_unref(message);
}

SecretServiceBus::~SecretServiceBus() {
    if (m_connection) {
        dbus_connection_close(m_connection);
        dbus_connection_unref(m_connection);
    }
    m_key.fill('\0');
}

bool SecretServiceBus::usable() const {
    return m_connection && !m_broken && dbus_connection_get_is_connected(m_connection);
}

Result<std::unique_ptr<SecretServiceBus>, KeyringError> SecretServiceBus::open(const Wait& wait) {
    using R = Result<std::unique_ptr<SecretServiceBus>, KeyringError>;
    const QByteArray address = sessionBusAddress();
    if (address.isEmpty()) {
        return failure<std::unique_ptr<SecretServiceBus>>(KeyringError::Kind::Unavailable,
                                                          QStringLiteral("no Secret Service: no session bus"));
    }
    DBusError error;
    dbus_error_init(&error);
    // Connecting to a local socket does not wait for the bus to answer: signing in does,
    // and that goes through `call` with its bounds.
    DBusConnection* connection = dbus_connection_open_private(address.constData(), &error);
    if (!connection) {
        const QString why = QString::fromUtf8(error.message ? error.message : "cannot connect");
        dbus_error_free(&error);
        return failure<std::unique_ptr<SecretServiceBus>>(KeyringError::Kind::Unavailable,
                                                          QStringLiteral("no Secret Service: %1").arg(why));
    }
    dbus_connection_set_exit_on_disconnect(connection, FALSE);
    // Bounds what an answer (or a flood of messages from anyone on the bus) can cost.
    dbus_connection_set_max_message_size(connection, maxMessage);
    dbus_connection_set_max_received_size(connection, 2 * maxMessage);
    std::unique_ptr<SecretServiceBus> bus(new SecretServiceBus);
    bus->m_connection = connection;
    if (auto signedIn = bus->signIn(wait); !signedIn.ok()) {
        KeyringError why = signedIn.error();
        if (why.kind == KeyringError::Kind::Failed) {
            why.kind = KeyringError::Kind::Unavailable;
        }
        return R::failure(why);
    }
    if (auto session = bus->openSession(wait); !session.ok()) {
        KeyringError why = session.error();
        if (why.kind != KeyringError::Kind::TimedOut) {
            why = {KeyringError::Kind::Unavailable, QStringLiteral("no Secret Service: %1").arg(why.message)};
        }
        return R::failure(why);
    }
    return R::success(std::move(bus));
}

Result<Void, KeyringError> SecretServiceBus::signIn(const Wait& wait) {
    using R = Result<Void, KeyringError>;
    const auto askBus = [&](const char* method, const Arguments& arguments, const char* what) {
        return request(busName, busPath, busName, method, arguments, wait, what);
    };
    const auto text = [](const char* value) {
        return [value](DBusMessageIter* args) { return appendString(args, DBUS_TYPE_STRING, value); };
    };
    if (auto hello = askBus("Hello", {}, "signing in to the session bus"); !hello.ok()) {
        return R::failure(hello.error());
    }
    // Told of every change of owner from here on, so none between asking and being told is missed.
    if (auto watched = askBus("AddMatch", text(ownerRule), "following the keyring's owner"); !watched.ok()) {
        return R::failure(watched.error());
    }
    auto owner = askBus("GetNameOwner", text(serviceName), "finding the keyring");
    if (!owner.ok() && m_lastError == "org.freedesktop.DBus.Error.NameHasNoOwner") {
        // Started on demand where the bus knows how, as a call to the name would have it.
        const auto start = [](DBusMessageIter* args) {
            const dbus_uint32_t flags = 0;
            return appendString(args, DBUS_TYPE_STRING, serviceName) &&
                   dbus_message_iter_append_basic(args, DBUS_TYPE_UINT32, &flags);
        };
        if (auto started = askBus("StartServiceByName", start, "starting the keyring"); !started.ok()) {
            return R::failure(started.error());
        }
        owner = askBus("GetNameOwner", text(serviceName), "finding the keyring");
    }
    if (!owner.ok()) {
        return R::failure(owner.error());
    }
    DBusMessageIter iter;
    const auto name = dbus_message_iter_init(owner.value().get(), &iter) ? readText(&iter) : std::nullopt;
    // A unique name (":1.42"): the one peer that may answer for the service.
    if (!name || !name->startsWith(':') || !dbus_validate_bus_name(name->constData(), nullptr)) {
        return failure<Void>(KeyringError::Kind::Unavailable,
                             QStringLiteral("the bus named no owner of the keyring"));
    }
    m_owner = *name;
    return R::success(Void{});
}

bool SecretServiceBus::followedOwner(DBusMessage* message) {
    if (!dbus_message_is_signal(message, busName, "NameOwnerChanged") ||
        qstrcmp(dbus_message_get_sender(message), busName) != 0) {
        return false;
    }
    DBusMessageIter iter;
    std::optional<QByteArray> name, newOwner;
    if (dbus_message_iter_init(message, &iter)) {
        name = readText(&iter);
        dbus_message_iter_next(&iter);
        dbus_message_iter_next(&iter);
        newOwner = readText(&iter);
    }
    if (name == QByteArray(serviceName) && !m_owner.isEmpty() && newOwner != m_owner) {
        // Whoever has the name now never issued our session.
        m_ownerChanged = true;
    }
    return true;
}

Result<SecretServiceBus::Reply, KeyringError> SecretServiceBus::call(DBusMessage* message, const Wait& wait,
                                                                     const char* what) {
    using R = Result<Reply, KeyringError>;
    const Reply owned(message);
    m_lastError.clear();
    m_lastErrorFromService = false;
    const auto timedOut = [&] {
        // The answer may still come; this connection must not carry it to another call.
        m_broken = true;
        return failure<Reply>(
            KeyringError::Kind::TimedOut,
            QStringLiteral("%1: the keyring did not answer in time").arg(QLatin1String(what)));
    };
    const auto cut = [&] {
        m_broken = true;
        m_lost = true;
        return failure<Reply>(KeyringError::Kind::Unavailable,
                              QStringLiteral("%1: the session bus closed the connection").arg(what));
    };
    if (!message) {
        return failure<Reply>(KeyringError::Kind::Failed, QStringLiteral("%1: out of memory").arg(what));
    }
    const auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(wait.deadline - Clock::now());
    };
    if (left().count() <= 0 || (wait.cancel && wait.cancel->cancelled)) {
        return timedOut();
    }
    // Only the bus answers for itself; for the service, only the peer that owned its name
    // when the session was opened. The bus passes on any peer's answer to a call of ours,
    // so whoever else answers is not listened to, and the call goes on waiting.
    const bool toBus = qstrcmp(dbus_message_get_destination(message), busName) == 0;
    const auto mayAnswer = [&](const char* sender) {
        return sender && (qstrcmp(sender, busName) == 0 || (!toBus && m_owner == sender));
    };
    dbus_uint32_t serial = 0;
    if (!dbus_connection_send(m_connection, message, &serial)) {
        return cut();
    }
    for (;;) {
        while (DBusMessage* next = dbus_connection_pop_message(m_connection)) {
            Reply in(next);
            const int type = dbus_message_get_type(next);
            if (followedOwner(next) || dbus_message_get_reply_serial(next) != serial ||
                (type != DBUS_MESSAGE_TYPE_METHOD_RETURN && type != DBUS_MESSAGE_TYPE_ERROR) ||
                !mayAnswer(dbus_message_get_sender(next))) {
                continue;
            }
            if (type == DBUS_MESSAGE_TYPE_ERROR) {
                const QByteArray name = dbus_message_get_error_name(next);
                m_lastError = name;
                m_lastErrorFromService = !toBus && m_owner == dbus_message_get_sender(next);
                const KeyringError::Kind kind = kindOfError(name);
                if (kind == KeyringError::Kind::TimedOut || kind == KeyringError::Kind::Unavailable) {
                    m_broken = true;
                }
                if (name == "org.freedesktop.Secret.Error.NoSession") {
                    // A service started again since knows nothing of the session.
                    m_broken = true;
                    m_lost = true;
                }
                const auto text = messageOf(next);
                if (!text) {
                    return failure<Reply>(KeyringError::Kind::Unavailable,
                                          QStringLiteral("%1: the keyring's error is unreadable").arg(what));
                }
                return failure<Reply>(kind, QStringLiteral("%1: %2").arg(QLatin1String(what), *text));
            }
            return R::success(std::move(in));
        }
        if (m_ownerChanged && !toBus) {
            m_broken = true;
            m_lost = true;
            return failure<Reply>(KeyringError::Kind::Unavailable,
                                  QStringLiteral("%1: the keyring was replaced").arg(QLatin1String(what)));
        }
        const auto remaining = left();
        if (remaining.count() <= 0 || (wait.cancel && wait.cancel->cancelled)) {
            return timedOut();
        }
        const int step = static_cast<int>(std::min(remaining, pollStep).count());
        if (!dbus_connection_read_write(m_connection, std::max(step, 1)) ||
            !dbus_connection_get_is_connected(m_connection)) {
            return cut();
        }
    }
}

Result<SecretServiceBus::Reply, KeyringError> SecretServiceBus::request(const QByteArray& path, const char* interface,
                                                                        const char* method, const Arguments& arguments,
                                                                        const Wait& wait, const char* what) {
    return request(m_owner, path, interface, method, arguments, wait, what);
}

Result<SecretServiceBus::Reply, KeyringError>
SecretServiceBus::request(const QByteArray& destination, const QByteArray& path, const char* interface,
                          const char* method, const Arguments& arguments, const Wait& wait,
                          const char* what) {
    if (!isObjectPath(path) || !dbus_validate_bus_name(destination.constData(), nullptr)) {
        return failure<Reply>(KeyringError::Kind::Failed,
                              QStringLiteral("%1: not an object of the keyring").arg(QLatin1String(what)));
    }
    DBusMessage* message =
        dbus_message_new_method_call(destination.constData(), path.constData(), interface, method);
    if (message && arguments) {
        DBusMessageIter iter;
        dbus_message_iter_init_append(message, &iter);
        if (!arguments(&iter)) {
            dbus_message_unref(message);
            return failure<Reply>(
                KeyringError::Kind::Failed,
                QStringLiteral("%1: a value the bus does not take").arg(QLatin1String(what)));
        }
    }
    return call(message, wait, what);
}

Result<Void, KeyringError> SecretServiceBus::openSession(const Wait& wait) {
    using R = Result<Void, KeyringError>;
    // The Diffie-Hellman exchange of the service's "dh-ietf1024" session: the second Oakley
    // group, generator 2; the AES key is HKDF-SHA256 of the shared secret (padded to the
    // prime's length), without salt or info.
    std::unique_ptr<BN_CTX, BnCtxFree> context(BN_CTX_new());
    BnPtr prime(BN_get_rfc2409_prime_1024(nullptr));
    BnPtr generator(BN_new());
    BnPtr secret(BN_new());
    BnPtr ours(BN_new());
    if (!context || !prime || !generator || !secret || !ours || !BN_set_word(generator.get(), 2)) {
        return failure<Void>(KeyringError::Kind::Failed, QStringLiteral("the key exchange could not start"));
    }
    do {
        if (!BN_priv_rand_range(secret.get(), prime.get())) {
            return failure<Void>(KeyringError::Kind::Failed, QStringLiteral("no random numbers"));
        }
    } while (BN_cmp(secret.get(), BN_value_one()) <= 0);
    if (!BN_mod_exp(ours.get(), generator.get(), secret.get(), prime.get(), context.get())) {
        return failure<Void>(KeyringError::Kind::Failed, QStringLiteral("the key exchange could not start"));
    }
    QByteArray ourKey(BN_num_bytes(ours.get()), '\0');
    BN_bn2bin(ours.get(), reinterpret_cast<unsigned char*>(ourKey.data()));

    const auto openSession = [&](const char* algorithm, const char* signature, const Arguments& input) {
        return request(
            servicePath, serviceInterface, "OpenSession",
            [&](DBusMessageIter* args) {
                return appendString(args, DBUS_TYPE_STRING, algorithm) &&
                       appendVariant(args, signature, input);
            },
            wait, "opening a session with the keyring");
    };
    auto answer =
        openSession(dhAlgorithm, "ay", [&](DBusMessageIter* value) { return appendBytes(value, ourKey); });
    bool inTheClear = false;
    if (!answer.ok()) {
        // Only the service itself may say so: anyone else's word would put the secrets in the clear.
        if (m_lastError != "org.freedesktop.DBus.Error.NotSupported" || !m_lastErrorFromService) {
            return R::failure(answer.error());
        }
        // A service without encrypted sessions: secrets in the clear, as its only offer.
        answer = openSession(
            "plain", "s", [](DBusMessageIter* value) { return appendString(value, DBUS_TYPE_STRING, ""); });
        if (!answer.ok()) {
            return R::failure(answer.error());
        }
        inTheClear = true;
    }
    // The service's output (its key; nothing for a session in the clear), then the session.
    DBusMessageIter iter, variant;
    std::optional<QByteArray> theirKey, path;
    if (dbus_message_iter_init(answer.value().get(), &iter) &&
        dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_VARIANT) {
        dbus_message_iter_recurse(&iter, &variant);
        theirKey = readBytes(&variant);
        dbus_message_iter_next(&iter);
        path = readPath(&iter);
    }
    if (!path) {
        return failure<Void>(KeyringError::Kind::Failed, QStringLiteral("the keyring's session answer is unreadable"));
    }
    if (inTheClear) {
        m_session = *path;
        m_key.clear();
        return R::success(Void{});
    }
    if (!theirKey || theirKey->isEmpty() || theirKey->size() > BN_num_bytes(prime.get())) {
        return failure<Void>(KeyringError::Kind::Failed, QStringLiteral("the keyring's session answer is unreadable"));
    }
    BnPtr theirs(BN_bin2bn(reinterpret_cast<const unsigned char*>(theirKey->constData()),
                           static_cast<int>(theirKey->size()), nullptr));
    BnPtr largest(BN_dup(prime.get()));
    BnPtr shared(BN_new());
    // A key of 0, 1 or p - 1 would give a secret anyone knows.
    if (!theirs || !largest || !shared || !BN_sub_word(largest.get(), 1) || BN_cmp(theirs.get(), BN_value_one()) <= 0 ||
        BN_cmp(theirs.get(), largest.get()) >= 0 ||
        !BN_mod_exp(shared.get(), theirs.get(), secret.get(), prime.get(), context.get())) {
        return failure<Void>(KeyringError::Kind::Failed, QStringLiteral("the keyring's session key is unusable"));
    }
    QByteArray sharedBytes(BN_num_bytes(prime.get()), '\0');
    BN_bn2binpad(shared.get(), reinterpret_cast<unsigned char*>(sharedBytes.data()), int(sharedBytes.size()));
    QByteArray key(16, '\0');
    std::size_t keyLength = static_cast<std::size_t>(key.size());
    EVP_PKEY_CTX* kdf = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
    const bool derived = kdf && EVP_PKEY_derive_init(kdf) > 0 && EVP_PKEY_CTX_set_hkdf_md(kdf, EVP_sha256()) > 0 &&
                         EVP_PKEY_CTX_set1_hkdf_key(kdf, reinterpret_cast<const unsigned char*>(sharedBytes.constData()),
                                                    int(sharedBytes.size())) > 0 &&
                         EVP_PKEY_derive(kdf, reinterpret_cast<unsigned char*>(key.data()), &keyLength) > 0 &&
                         keyLength == 16;
    EVP_PKEY_CTX_free(kdf);
    sharedBytes.fill('\0');
    if (!derived) {
        return failure<Void>(KeyringError::Kind::Failed, QStringLiteral("the keyring's session key is unusable"));
    }
    m_session = *path;
    m_key = key;
    key.fill('\0');
    return R::success(Void{});
}

namespace {
// AES-128 in CBC with PKCS #7 padding, one way or the other; none when it fails (a wrong key
// or a damaged text shows as bad padding).
std::optional<QByteArray> aes128Cbc(const QByteArray& key, const QByteArray& iv, const QByteArray& input,
                                    bool encrypting) {
    QByteArray out(input.size() + 16, '\0');
    int written = 0, last = 0;
    EVP_CIPHER_CTX* cipher = EVP_CIPHER_CTX_new();
    const bool ok =
        cipher &&
        EVP_CipherInit_ex(cipher, EVP_aes_128_cbc(), nullptr, reinterpret_cast<const unsigned char*>(key.constData()),
                          reinterpret_cast<const unsigned char*>(iv.constData()), encrypting ? 1 : 0) == 1 &&
        EVP_CipherUpdate(cipher, reinterpret_cast<unsigned char*>(out.data()), &written,
                         reinterpret_cast<const unsigned char*>(input.constData()), int(input.size())) == 1 &&
        EVP_CipherFinal_ex(cipher, reinterpret_cast<unsigned char*>(out.data()) + written, &last) == 1;
    EVP_CIPHER_CTX_free(cipher);
    if (!ok) {
        out.fill('\0');
        return std::nullopt;
    }
    out.truncate(written + last);
    return out;
}
} // namespace

QByteArray SecretServiceBus::encrypt(const QByteArray& plain, QByteArray* parameters) const {
    if (m_key.isEmpty()) {
        parameters->clear();
        return plain;
    }
    QByteArray iv(16, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(iv.data()), int(iv.size())) != 1) {
        return {};
    }
    auto encrypted = aes128Cbc(m_key, iv, plain, true);
    if (!encrypted) {
        return {};
    }
    *parameters = iv;
    return *encrypted;
}

std::optional<QByteArray> SecretServiceBus::decrypt(const QByteArray& encrypted, const QByteArray& parameters) const {
    if (m_key.isEmpty()) {
        return encrypted;
    }
    if (parameters.size() != 16 || encrypted.isEmpty() || encrypted.size() % 16 != 0) {
        return std::nullopt;
    }
    return aes128Cbc(m_key, parameters, encrypted, false);
}

Result<SecretServiceBus::Found, KeyringError> SecretServiceBus::searchItems(const QMap<QByteArray, QByteArray>& attributes,
                                                                            const Wait& wait) {
    using R = Result<Found, KeyringError>;
    if (!textsAreValid(attributes)) {
        return failure<Found>(KeyringError::Kind::Failed, QStringLiteral("an attribute is not text"));
    }
    auto answer = request(
        servicePath, serviceInterface, "SearchItems",
        [&](DBusMessageIter* args) { return appendAttributes(args, attributes); }, wait,
        "searching the keyring");
    if (!answer.ok()) {
        return R::failure(answer.error());
    }
    // Counted before a path is copied.
    const auto count = [](DBusMessageIter* list) {
        return dbus_message_iter_get_arg_type(list) == DBUS_TYPE_ARRAY
                   ? dbus_message_iter_get_element_count(list)
                   : 0;
    };
    DBusMessageIter iter;
    std::optional<QList<QByteArray>> unlocked, locked;
    if (dbus_message_iter_init(answer.value().get(), &iter)) {
        DBusMessageIter second = iter;
        if (count(&iter) + (dbus_message_iter_next(&second) ? count(&second) : 0) > maxPaths) {
            return failure<Found>(
                KeyringError::Kind::Unavailable,
                QStringLiteral("the keyring's search answer is unreadable: over %1 items").arg(maxPaths));
        }
        unlocked = readPaths(&iter);
        dbus_message_iter_next(&iter);
        locked = readPaths(&iter);
    }
    if (!unlocked || !locked) {
        return failure<Found>(KeyringError::Kind::Failed, QStringLiteral("the keyring's search answer is unreadable"));
    }
    return R::success(Found{std::move(*unlocked), std::move(*locked)});
}

Result<QByteArray, KeyringError> SecretServiceBus::readAlias(const QByteArray& alias, const Wait& wait) {
    if (!isText(alias)) {
        return failure<QByteArray>(KeyringError::Kind::Unavailable, QStringLiteral("no such collection"));
    }
    auto answer = request(
        servicePath, serviceInterface, "ReadAlias",
        [&](DBusMessageIter* args) { return appendString(args, DBUS_TYPE_STRING, alias); }, wait,
        "opening the keyring");
    if (!answer.ok()) {
        return Result<QByteArray, KeyringError>::failure(answer.error());
    }
    DBusMessageIter iter;
    const auto path = dbus_message_iter_init(answer.value().get(), &iter) ? readPath(&iter) : std::nullopt;
    if (!path) {
        return failure<QByteArray>(KeyringError::Kind::Failed, QStringLiteral("the keyring's alias answer is unreadable"));
    }
    return Result<QByteArray, KeyringError>::success(*path);
}

Result<QVariant, KeyringError> SecretServiceBus::property(const QByteArray& path, const char* interface,
                                                          const char* name, const Wait& wait) {
    using R = Result<QVariant, KeyringError>;
    auto answer = request(
        path, propertiesInterface, "Get",
        [&](DBusMessageIter* args) {
            return appendString(args, DBUS_TYPE_STRING, interface) &&
                   appendString(args, DBUS_TYPE_STRING, name);
        },
        wait, "reading the keyring");
    if (!answer.ok()) {
        return R::failure(answer.error());
    }
    DBusMessageIter iter, variant;
    if (!dbus_message_iter_init(answer.value().get(), &iter) ||
        dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_VARIANT) {
        return failure<QVariant>(KeyringError::Kind::Failed, QStringLiteral("the keyring's answer is unreadable"));
    }
    dbus_message_iter_recurse(&iter, &variant);
    switch (dbus_message_iter_get_arg_type(&variant)) {
    case DBUS_TYPE_BOOLEAN: {
        dbus_bool_t value = FALSE;
        dbus_message_iter_get_basic(&variant, &value);
        return R::success(QVariant(bool(value)));
    }
    case DBUS_TYPE_UINT64: {
        dbus_uint64_t value = 0;
        dbus_message_iter_get_basic(&variant, &value);
        return R::success(QVariant(qulonglong(value)));
    }
    case DBUS_TYPE_ARRAY:
        if (const auto attributes = readAttributes(&variant)) {
            QVariantMap map;
            for (auto it = attributes->begin(); it != attributes->end(); ++it) {
                map.insert(QString::fromUtf8(it.key()), it.value());
            }
            return R::success(QVariant(map));
        }
        break;
    case DBUS_TYPE_STRING:
        if (const auto text = readText(&variant)) {
            return R::success(QVariant(*text));
        }
        break;
    case DBUS_TYPE_OBJECT_PATH:
        if (const auto path = readPath(&variant)) {
            return R::success(QVariant(*path));
        }
        break;
    default:
        break;
    }
    return failure<QVariant>(KeyringError::Kind::Failed, QStringLiteral("the keyring's answer is unreadable"));
}

Result<QByteArray, KeyringError> SecretServiceBus::secretOf(const QByteArray& item, const Wait& wait) {
    using R = Result<QByteArray, KeyringError>;
    auto answer = request(
        item, itemInterface, "GetSecret",
        [&](DBusMessageIter* args) { return appendString(args, DBUS_TYPE_OBJECT_PATH, m_session); }, wait,
        "reading the keyring item");
    if (!answer.ok()) {
        return R::failure(answer.error());
    }
    DBusMessageIter iter, secret;
    std::optional<QByteArray> session, parameters, value;
    bool tooLarge = false;
    if (dbus_message_iter_init(answer.value().get(), &iter) &&
        dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_STRUCT) {
        dbus_message_iter_recurse(&iter, &secret);
        session = readPath(&secret);
        dbus_message_iter_next(&secret);
        parameters = readBytes(&secret, 16);
        dbus_message_iter_next(&secret);
        value = readBytes(&secret, maxSealed, &tooLarge);
    }
    if (tooLarge) {
        return failure<QByteArray>(
            KeyringError::Kind::Unavailable,
            QStringLiteral("the keyring item is unreadable: over %1 bytes").arg(maxSecret));
    }
    // A secret of another session is not one this client can read (nor one it asked for).
    auto plain = parameters && value && session == m_session ? decrypt(*value, *parameters) : std::nullopt;
    if (value) {
        value->fill('\0');
    }
    if (!plain) {
        return failure<QByteArray>(KeyringError::Kind::Failed, QStringLiteral("the keyring item has no readable value"));
    }
    return R::success(std::move(*plain));
}

Result<Void, KeyringError> SecretServiceBus::finishedWithoutPrompt(Result<Reply, KeyringError> answer,
                                                                   int promptAt, const Wait& wait) {
    using R = Result<Void, KeyringError>;
    if (!answer.ok()) {
        return R::failure(answer.error());
    }
    // The paths before the prompt (what was made), then the prompt, "/" for none.
    DBusMessageIter iter;
    std::optional<QByteArray> prompt;
    if (dbus_message_iter_init(answer.value().get(), &iter)) {
        for (int at = 0; at <= promptAt; ++at) {
            prompt = readPath(&iter);
            if (!prompt || (at < promptAt && !dbus_message_iter_next(&iter))) {
                prompt.reset();
                break;
            }
        }
    }
    if (!prompt) {
        return failure<Void>(KeyringError::Kind::Failed, QStringLiteral("the keyring's answer is unreadable"));
    }
    if (*prompt != "/") {
        // Nobody may be there to answer it.
        (void)request(*prompt, "org.freedesktop.Secret.Prompt", "Dismiss", {}, wait,
                      "dismissing the keyring's prompt");
        return failure<Void>(KeyringError::Kind::Locked, QStringLiteral("the keyring asked to be unlocked"));
    }
    return R::success(Void{});
}

Result<Void, KeyringError> SecretServiceBus::createItem(const QByteArray& collection, const QByteArray& label,
                                                        const QMap<QByteArray, QByteArray>& attributes,
                                                        const QByteArray& secret, const Wait& wait) {
    if (!textsAreValid(attributes) || !isText(label)) {
        return failure<Void>(KeyringError::Kind::Failed, QStringLiteral("an attribute is not text"));
    }
    if (secret.size() > maxSecret) {
        return failure<Void>(
            KeyringError::Kind::Failed,
            QStringLiteral("the secret is over the keyring's bound of %1 bytes").arg(maxSecret));
    }
    QByteArray parameters;
    QByteArray encrypted = encrypt(secret, &parameters);
    if (encrypted.isEmpty() && !secret.isEmpty()) {
        return failure<Void>(KeyringError::Kind::Failed, QStringLiteral("the secret could not be encrypted"));
    }
    const auto appendProperty = [](DBusMessageIter* properties, const char* name, const char* signature,
                                   const Arguments& write) {
        DBusMessageIter entry;
        return dbus_message_iter_open_container(properties, DBUS_TYPE_DICT_ENTRY, nullptr, &entry) &&
               appendString(&entry, DBUS_TYPE_STRING, name) && appendVariant(&entry, signature, write) &&
               dbus_message_iter_close_container(properties, &entry);
    };
    auto answer = request(
        collection, collectionInterface, "CreateItem",
        [&](DBusMessageIter* args) {
            DBusMessageIter properties, value;
            const dbus_bool_t replace = TRUE;
            return dbus_message_iter_open_container(args, DBUS_TYPE_ARRAY, "{sv}", &properties) &&
                   appendProperty(
                       &properties, "org.freedesktop.Secret.Item.Label", "s",
                       [&](DBusMessageIter* text) { return appendString(text, DBUS_TYPE_STRING, label); }) &&
                   appendProperty(&properties, "org.freedesktop.Secret.Item.Attributes", "a{ss}",
                                  [&](DBusMessageIter* map) { return appendAttributes(map, attributes); }) &&
                   dbus_message_iter_close_container(args, &properties) &&
                   dbus_message_iter_open_container(args, DBUS_TYPE_STRUCT, nullptr, &value) &&
                   appendString(&value, DBUS_TYPE_OBJECT_PATH, m_session) &&
                   appendBytes(&value, parameters) && appendBytes(&value, encrypted) &&
                   appendString(&value, DBUS_TYPE_STRING, "application/octet-stream") &&
                   dbus_message_iter_close_container(args, &value) &&
                   dbus_message_iter_append_basic(args, DBUS_TYPE_BOOLEAN, &replace);
        },
        wait, "storing in the keyring");
    encrypted.fill('\0');
    return finishedWithoutPrompt(std::move(answer), 1, wait);
}

Result<Void, KeyringError> SecretServiceBus::deleteItem(const QByteArray& item, const Wait& wait) {
    return finishedWithoutPrompt(request(item, itemInterface, "Delete", {}, wait, "removing from the keyring"), 0,
                                 wait);
}

} // namespace velmora
