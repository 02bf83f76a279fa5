#pragma once

#include "core/model/AsanaProvider.h"
#include "core/model/JiraProvider.h"

#include <QUrl>

#include <optional>
#include <variant>

namespace velmora {

// A "velmora://" link the app acts on: the end of a Jira or Asana sign-in with its
// tokens, or the app's own request to add an account.
class DeepLink {
public:
    struct AuthorizeJira {
        JiraProvider::Credentials credentials;
        friend bool operator==(const AuthorizeJira&, const AuthorizeJira&) = default;
    };
    struct AuthorizeAsana {
        AsanaProvider::Credentials credentials;
        friend bool operator==(const AuthorizeAsana&, const AuthorizeAsana&) = default;
    };
    struct AddAccount {
        friend bool operator==(const AddAccount&, const AddAccount&) = default;
    };
    using Value = std::variant<AuthorizeJira, AuthorizeAsana, AddAccount>;

    // The app's own add-account link.
    static inline const QString addAccountLink = QStringLiteral("velmora://add-account");

    // The link a URL stands for; none for anything else (scheme and host compared
    // exactly; a sign-in link needs both "token" and "refreshToken", the first of each
    // counts).
    static std::optional<Value> parse(const QString& text);
    static std::optional<Value> parse(const QUrl& url) { return parse(url.toString(QUrl::FullyEncoded)); }

    // What may be logged of a URL: its scheme and host, never its query (tokens).
    static QString describe(const QString& text);
};

} // namespace velmora
