#include "app/DeepLink.h"

#include <QRegularExpression>
#include <QUrlQuery>

namespace velmora {

namespace {

// The first value of each of the two items, when both are there.
std::optional<std::pair<QString, QString>> tokens(const QUrl& url) {
    if (!url.hasQuery()) {
        return std::nullopt;
    }
    const QUrlQuery query(url);
    std::optional<QString> token;
    std::optional<QString> refreshToken;
    for (const auto& [name, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (name == QLatin1String("token") && !token) {
            token = value;
        } else if (name == QLatin1String("refreshToken") && !refreshToken) {
            refreshToken = value;
        }
    }
    if (!token || !refreshToken) {
        return std::nullopt;
    }
    return std::make_pair(*token, *refreshToken);
}

// The scheme and host as written: QUrl folds both to lower case, and the link is
// compared exactly.
std::optional<std::pair<QString, QString>> schemeAndHost(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral("^([^:/?#]+)://([^/?#]*)"));
    const auto match = pattern.match(text);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    return std::make_pair(match.captured(1), match.captured(2));
}

} // namespace

std::optional<DeepLink::Value> DeepLink::parse(const QString& text) {
    const auto parts = schemeAndHost(text);
    const QUrl url(text, QUrl::StrictMode);
    if (!parts || parts->first != QLatin1String("velmora") || !url.isValid()) {
        return std::nullopt;
    }
    const QString& host = parts->second;
    if (host == QLatin1String("authorize-jira")) {
        if (auto pair = tokens(url)) {
            return AuthorizeJira{{pair->first, pair->second}};
        }
        return std::nullopt;
    }
    if (host == QLatin1String("authorize-asana")) {
        if (auto pair = tokens(url)) {
            return AuthorizeAsana{{pair->first, pair->second}};
        }
        return std::nullopt;
    }
    if (host == QLatin1String("add-account")) {
        return AddAccount{};
    }
    return std::nullopt;
}

QString DeepLink::describe(const QString& text) {
    if (const auto parts = schemeAndHost(text)) {
        return parts->first + QStringLiteral("://") + parts->second;
    }
    return QStringLiteral("(not a link)");
}

} // namespace velmora
