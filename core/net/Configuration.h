#pragma once

#include "platform/async/Result.h"

#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <type_traits>

namespace velmora {

// The application's build configuration, in place of an application property list:
// entries compiled in by CMake (BuildConfiguration.h), some of which the
// environment may override for tests and staging.
class Configuration {
public:
    enum class Key {
        ServerUrl, // "SERVER_URL": host of the maker's server (optionally with a path), no scheme, no
                   // trailing "/"
    };
    enum class Error { MissingKey, InvalidValue };

    // The entry's name: "SERVER_URL".
    static QString rawKey(Key key);

    // A configuration of the given entries (tests make their own).
    explicit Configuration(QVariantMap entries) : m_entries(std::move(entries)) {}

    // The application's entries: "SERVER_URL" from the environment variable
    // VELMORA_SERVER_URL when set and not empty, else as compiled in. Read afresh on
    // every call.
    static Configuration application();

    // The entry as T: missing -> MissingKey; already a T -> it; text that makes a T
    // -> that; anything else -> InvalidValue. T is text or a number.
    template <typename T> Result<T, Error> value(Key key) const {
        const auto it = m_entries.constFind(rawKey(key));
        if (it == m_entries.constEnd()) {
            return Result<T, Error>::failure(Error::MissingKey);
        }
        const QVariant& entry = *it;
        if (entry.metaType() == QMetaType::fromType<T>()) {
            return Result<T, Error>::success(entry.value<T>());
        }
        if (entry.metaType() == QMetaType::fromType<QString>()) {
            if (auto made = fromText<T>(entry.toString())) {
                return Result<T, Error>::success(*made);
            }
        }
        return Result<T, Error>::failure(Error::InvalidValue);
    }

    // "missingKey", "invalidValue".
    static QString description(Error error);

    static QString bundleIdentifier();
    // The short version ("1.4.2") and the build number of this build.
    static QString shortVersion();
    static QString buildVersion();

    // Hosts of the trackers' cloud interfaces ("host" or "host:port"); tests point
    // them at a fake server with VELMORA_JIRA_API_HOST and VELMORA_ASANA_API_HOST.
    static QString jiraApiHost();
    static QString asanaApiHost();

private:
    template <typename T> static std::optional<T> fromText(const QString& text) {
        bool ok = false;
        if constexpr (std::is_same_v<T, QString>) {
            return text;
        } else if constexpr (std::is_same_v<T, int>) {
            const int v = text.toInt(&ok);
            return ok ? std::optional<T>(v) : std::nullopt;
        } else if constexpr (std::is_same_v<T, qint64>) {
            const qint64 v = text.toLongLong(&ok);
            return ok ? std::optional<T>(v) : std::nullopt;
        } else if constexpr (std::is_same_v<T, double>) {
            const double v = text.toDouble(&ok);
            return ok ? std::optional<T>(v) : std::nullopt;
        } else {
            static_assert(std::is_same_v<T, QString>, "Configuration entries are text or numbers");
            return std::nullopt;
        }
    }

    QVariantMap m_entries;
};

} // namespace velmora
