#include "core/net/QueryItems.h"

#include <QUrl>

#include <algorithm>

namespace velmora {

namespace {
bool sameName(const QString& a, const QString& b) {
    return a == b || a.normalized(QString::NormalizationForm_C) == b.normalized(QString::NormalizationForm_C);
}
} // namespace

QueryItems mergeQueryItems(const QueryItems& items, const QueryItems& defaults) {
    QueryItems merged = defaults;
    for (const auto& item : items) {
        auto it = std::find_if(merged.begin(), merged.end(),
                               [&](const QueryItem& existing) { return sameName(existing.name, item.name); });
        if (it != merged.end()) {
            it->value = item.value;
        } else {
            merged.push_back(item);
        }
    }
    return merged;
}

QueryItems nonEmptyQueryItems(const QueryItems& items) {
    QueryItems kept;
    for (const auto& item : items) {
        if (!item.value.isEmpty()) {
            kept.push_back(item);
        }
    }
    return kept;
}

QString encodedQuery(const QueryItems& items) {
    QByteArray query;
    for (const auto& item : items) {
        if (!query.isEmpty()) {
            query += '&';
        }
        query += QUrl::toPercentEncoding(item.name);
        query += '=';
        query += QUrl::toPercentEncoding(item.value);
    }
    return QString::fromLatin1(query);
}

} // namespace velmora
