#include "tests/support/FakeJiraServer.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QTimeZone>

#include <algorithm>

namespace velmora::test {

namespace {

FakeResponse jsonResponse(const QJsonValue& value, int status = 200) {
    const QByteArray body = value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                                            : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    return FakeResponse::json(body, status);
}

FakeResponse jiraError(int status, const QString& message) {
    return jsonResponse(QJsonObject{{"errorMessages", QJsonArray{message}}, {"errors", QJsonObject()}},
                        status);
}

QString bearerToken(const FakeRequest& request) {
    const QByteArray header = request.header("Authorization");
    if (!header.startsWith("Bearer ")) {
        return QString();
    }
    return QString::fromUtf8(header.mid(7));
}

// "1h 30m" as Jira renders a duration.
QString renderedDuration(double seconds) {
    const qint64 minutes = static_cast<qint64>(seconds) / 60;
    const qint64 h = minutes / 60;
    const qint64 m = minutes % 60;
    QStringList parts;
    if (h > 0) {
        parts << QStringLiteral("%1h").arg(h);
    }
    if (m > 0 || parts.isEmpty()) {
        parts << QStringLiteral("%1m").arg(m);
    }
    return parts.join(QLatin1Char(' '));
}

// The plain text of a document-form comment: the text nodes, paragraphs joined by
// line feeds.
QString documentText(const QJsonObject& document) {
    QStringList paragraphs;
    for (const QJsonValue& line : document.value("content").toArray()) {
        QString text;
        for (const QJsonValue& node : line.toObject().value("content").toArray()) {
            text += node.toObject().value("text").toString();
        }
        paragraphs << text;
    }
    return paragraphs.join(QLatin1Char('\n'));
}

// Splits a JQL text at " AND " outside quoted text; none when a quote is left open.
std::optional<QStringList> splitClauses(const QString& jql) {
    QStringList clauses;
    QString current;
    bool quoted = false;
    for (qsizetype i = 0; i < jql.size(); ++i) {
        const QChar c = jql.at(i);
        if (quoted) {
            current += c;
            if (c == QLatin1Char('\\') && i + 1 < jql.size()) {
                current += jql.at(++i);
            } else if (c == QLatin1Char('"')) {
                quoted = false;
            }
            continue;
        }
        if (c == QLatin1Char('"')) {
            quoted = true;
            current += c;
            continue;
        }
        if (jql.mid(i, 5) == QLatin1String(" AND ")) {
            clauses << current.trimmed();
            current.clear();
            i += 4;
            continue;
        }
        current += c;
    }
    if (quoted) {
        return std::nullopt;
    }
    clauses << current.trimmed();
    return clauses;
}

// The text of a quoted JQL string ("a \"b\"" -> a "b"); none when it is not one.
std::optional<QString> unquote(const QString& literal) {
    if (literal.size() < 2 || !literal.startsWith(QLatin1Char('"')) || !literal.endsWith(QLatin1Char('"'))) {
        return std::nullopt;
    }
    QString text;
    for (qsizetype i = 1; i < literal.size() - 1; ++i) {
        QChar c = literal.at(i);
        if (c == QLatin1Char('\\')) {
            if (i + 1 >= literal.size() - 1) {
                return std::nullopt;
            }
            c = literal.at(++i);
        } else if (c == QLatin1Char('"')) {
            return std::nullopt; // an unescaped quote inside ends the string early
        }
        text += c;
    }
    return text;
}

} // namespace

FakeJiraServer::FakeJiraServer() {
    addUser({QStringLiteral("acc-me"), QStringLiteral("Me Myself"),
             QStringLiteral("https://avatars.test/me.png")});
    addToken(QStringLiteral("token-1"), QStringLiteral("acc-me"));
    m_http.onAny([this](const FakeRequest& request) {
        FakeResponse response = handle(request);
        if (m_latencyMs > 0 && response.delayMs == 0 &&
            (m_latencyMethod.isEmpty() || request.method == m_latencyMethod)) {
            response.delayMs = m_latencyMs;
        }
        return response;
    });
}

QString FakeJiraServer::sitePrefix() const {
    return QStringLiteral("/ex/jira/") + cloudId;
}

QString FakeJiraServer::addWorkLog(WorkLog workLog) {
    if (workLog.id.isEmpty()) {
        workLog.id = QString::number(m_nextWorkLogId++);
    }
    m_workLogs.push_back(workLog);
    return workLog.id;
}

QString FakeJiraServer::jiraTime(const QDateTime& time) {
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) + QStringLiteral("+0000");
}

FakeResponse FakeJiraServer::handle(const FakeRequest& request) {
    if (auto scripted = m_scripted.answer(request)) {
        return *scripted;
    }

    const auto account = m_tokens.find(bearerToken(request));
    if (account == m_tokens.end()) {
        return jsonResponse(QJsonObject{{"code", 401}, {"message", "Unauthorized"}}, 401);
    }
    const QString path = request.decodedPath();
    if (request.method == "GET" && path == QLatin1String("/me")) {
        const User* me = user(account->second);
        if (!me) {
            return jiraError(404, QStringLiteral("No such user"));
        }
        // The identity service writes its keys in snake_case.
        return jsonResponse(QJsonObject{{"account_id", me->accountId},
                                        {"name", me->displayName},
                                        {"picture", me->avatar},
                                        {"email", "me@example.test"}});
    }
    if (request.method == "GET" && path == QLatin1String("/oauth/token/accessible-resources")) {
        return jsonResponse(QJsonArray{QJsonObject{{"id", cloudId},
                                                   {"url", siteUrl},
                                                   {"name", siteName},
                                                   {"scopes", QJsonArray{"read:jira-work"}},
                                                   {"avatarUrl", siteUrl + "/avatar.png"}}});
    }
    const QString prefix = sitePrefix() + QLatin1Char('/');
    if (path.startsWith(prefix)) {
        return site(request, path.mid(prefix.size()), account->second);
    }
    return jiraError(404, QStringLiteral("No such resource"));
}

FakeResponse FakeJiraServer::site(const FakeRequest& request, const QString& path, const QString& account) {
    static const QRegularExpression statuses(QStringLiteral("^rest/api/3/project/([^/]+)/statuses$"));
    static const QRegularExpression worklogsV2(QStringLiteral("^rest/api/2/issue/([^/]+)/worklog$"));
    static const QRegularExpression worklogsV3(QStringLiteral("^rest/api/3/issue/([^/]+)/worklog$"));
    static const QRegularExpression worklogV3(QStringLiteral("^rest/api/3/issue/([^/]+)/worklog/([^/]+)$"));

    if (request.method == "GET" && path == QLatin1String("rest/api/3/serverInfo")) {
        return jsonResponse(
            QJsonObject{{"baseUrl", siteUrl}, {"version", "1001.0.0"}, {"deploymentType", "Cloud"}});
    }
    if (request.method == "GET" && path == QLatin1String("rest/api/3/configuration/timetracking")) {
        return jsonResponse(QJsonObject{{"key", timeTrackingKey}, {"name", "Provider " + timeTrackingKey}});
    }
    if (request.method == "GET" && path == QLatin1String("rest/api/3/project/search")) {
        QJsonArray all;
        for (const Project& p : m_projects) {
            all.append(QJsonObject{{"id", p.id}, {"key", p.key}, {"name", p.name}, {"self", siteUrl}});
        }
        return page(request, all, "values");
    }
    if (request.method == "GET" && path == QLatin1String("rest/api/3/user/search/query")) {
        static const QRegularExpression assigneeOf(QStringLiteral("^is assignee of (\\S+)$"));
        const auto match = assigneeOf.match(request.queryValue(QStringLiteral("query")));
        if (!match.hasMatch()) {
            return jiraError(400, QStringLiteral("Unsupported query"));
        }
        const Project* p = project(match.captured(1));
        QJsonArray all;
        QStringList seen;
        for (const Issue& i : m_issues) {
            if (p && i.projectId == p->id && i.assigneeId && !seen.contains(*i.assigneeId)) {
                seen << *i.assigneeId;
                if (const User* u = user(*i.assigneeId)) {
                    all.append(userJson(*u));
                }
            }
        }
        return page(request, all, "values");
    }
    if (path == QLatin1String("rest/api/3/search")) {
        // Removed from Jira Cloud, in both its forms.
        return jiraError(410, QStringLiteral("The requested API has been removed. Please migrate to the "
                                             "/rest/api/3/search/jql API."));
    }
    if (request.method == "GET" && path == QLatin1String("rest/api/3/search/jql")) {
        return search(request, account);
    }
    if (auto m = statuses.match(path); m.hasMatch() && request.method == "GET") {
        const Project* p = project(m.captured(1));
        if (!p) {
            return jiraError(404, QStringLiteral("No project"));
        }
        QJsonArray types;
        for (const IssueType& t : m_issueTypes[p->id]) {
            QJsonArray list;
            for (const Status& s : t.statuses) {
                list.append(QJsonObject{{"id", s.id}, {"name", s.name}, {"statusCategory", QJsonObject()}});
            }
            types.append(
                QJsonObject{{"id", t.id}, {"name", t.name}, {"subtask", t.subtask}, {"statuses", list}});
        }
        return jsonResponse(types);
    }
    if (auto m = worklogsV2.match(path); m.hasMatch() && request.method == "GET") {
        return workLogPage(request, m.captured(1));
    }
    if (auto m = worklogsV3.match(path); m.hasMatch() && request.method == "POST") {
        return addWorkLogFrom(request, m.captured(1), account);
    }
    if (auto m = worklogV3.match(path); m.hasMatch() && request.method == "DELETE") {
        return deleteWorkLog(m.captured(1), m.captured(2));
    }
    return jiraError(404, QStringLiteral("No such resource"));
}

FakeResponse FakeJiraServer::search(const FakeRequest& request, const QString& account) {
    const auto clauses = splitClauses(request.queryValue(QStringLiteral("jql")));
    if (!clauses) {
        return jiraError(400, QStringLiteral("Unterminated string"));
    }
    static const QRegularExpression clauseShape(QStringLiteral("^(\\w+)\\s*(>=|<=|=|~)\\s*(.+)$"));
    std::vector<std::function<bool(const Issue&)>> tests;
    for (const QString& clause : *clauses) {
        const auto m = clauseShape.match(clause);
        if (!m.hasMatch()) {
            return jiraError(400, QStringLiteral("Cannot parse: ") + clause);
        }
        const QString field = m.captured(1);
        const QString op = m.captured(2);
        const QString value = m.captured(3).trimmed();
        if (field == QLatin1String("project") && op == QLatin1String("=")) {
            tests.push_back([this, value](const Issue& i) {
                const Project* p = project(value);
                return p && i.projectId == p->id;
            });
        } else if (field == QLatin1String("summary") && op == QLatin1String("~")) {
            const auto text = unquote(value);
            if (!text) {
                return jiraError(400, QStringLiteral("Cannot parse text: ") + value);
            }
            tests.push_back(
                [text](const Issue& i) { return i.summary.contains(*text, Qt::CaseInsensitive); });
        } else if (field == QLatin1String("status") && op == QLatin1String("=")) {
            tests.push_back([value](const Issue& i) { return i.status.id == value; });
        } else if (field == QLatin1String("resolution") && op == QLatin1String("=") &&
                   value == QLatin1String("Unresolved")) {
            tests.push_back([](const Issue& i) { return !i.resolved; });
        } else if (field == QLatin1String("assignee") && op == QLatin1String("=")) {
            tests.push_back([value](const Issue& i) { return i.assigneeId == value; });
        } else if (field == QLatin1String("worklogDate") &&
                   (op == QLatin1String(">=") || op == QLatin1String("<="))) {
            const QDate day = QDate::fromString(value, Qt::ISODate);
            if (!day.isValid()) {
                return jiraError(400, QStringLiteral("Not a date: ") + value);
            }
            const bool from = op == QLatin1String(">=");
            tests.push_back([this, day, from](const Issue& i) {
                return std::any_of(m_workLogs.begin(), m_workLogs.end(), [&](const WorkLog& w) {
                    const QDate logged = w.started.toTimeZone(profileTimeZone).date();
                    return w.issueId == i.id && (from ? logged >= day : logged <= day);
                });
            });
        } else if (field == QLatin1String("worklogAuthor") && op == QLatin1String("=") &&
                   value == QLatin1String("currentUser()")) {
            tests.push_back([this, account](const Issue& i) {
                return std::any_of(m_workLogs.begin(), m_workLogs.end(), [&](const WorkLog& w) {
                    return w.issueId == i.id && w.authorId == account;
                });
            });
        } else {
            return jiraError(400, QStringLiteral("Unsupported clause: ") + clause);
        }
    }
    // Only the fields named come back (none named: the ids alone), and the rendered
    // ones only when asked for.
    const bool rendered = request.queryValue(QStringLiteral("expand"))
                              .split(QLatin1Char(','))
                              .contains(QStringLiteral("renderedFields"));
    QStringList named;
    for (const QString& name : request.queryValue(QStringLiteral("fields")).split(QLatin1Char(','))) {
        if (!name.trimmed().isEmpty()) {
            named << name.trimmed();
        }
    }
    const bool allFields =
        named.contains(QStringLiteral("*all")) || named.contains(QStringLiteral("*navigable"));
    QJsonArray all;
    for (const Issue& i : m_issues) {
        if (!std::all_of(tests.begin(), tests.end(), [&](const auto& test) { return test(i); })) {
            continue;
        }
        const QJsonObject full = issueJson(i);
        if (named.isEmpty()) {
            all.append(QJsonObject{{"id", i.id}});
            continue;
        }
        QJsonObject json{{"id", i.id}, {"key", i.key}, {"self", full.value("self")}};
        QJsonObject fields;
        QJsonObject renderedFields;
        for (const QString& key : full.value("fields").toObject().keys()) {
            if (allFields || named.contains(key)) {
                fields.insert(key, full.value("fields").toObject().value(key));
                if (full.value("renderedFields").toObject().contains(key)) {
                    renderedFields.insert(key, full.value("renderedFields").toObject().value(key));
                }
            }
        }
        json.insert("fields", fields);
        if (rendered) {
            json.insert("renderedFields", renderedFields);
        }
        all.append(json);
    }
    return tokenPage(request, all);
}

FakeResponse FakeJiraServer::tokenPage(const FakeRequest& request, const QJsonArray& all) const {
    bool ok = true;
    const QString maxText = request.queryValue(QStringLiteral("maxResults"));
    qint64 maxResults = maxText.isEmpty() ? 50 : maxText.toLongLong(&ok);
    if (!ok || maxResults < 1) {
        return jiraError(400, QStringLiteral("maxResults is not a positive number"));
    }
    if (request.hasQueryItem(QStringLiteral("startAt"))) {
        return jiraError(400, QStringLiteral("startAt is not supported; page with nextPageToken"));
    }
    // A token names the query it belongs to and where its page starts.
    const QString jql = request.queryValue(QStringLiteral("jql"));
    qint64 startAt = 0;
    if (request.hasQueryItem(QStringLiteral("nextPageToken"))) {
        const QString decoded = QString::fromUtf8(QByteArray::fromBase64(
            request.queryValue(QStringLiteral("nextPageToken")).toLatin1(), QByteArray::Base64UrlEncoding));
        const qsizetype bar = decoded.indexOf(QLatin1Char('|'));
        startAt = bar > 0 ? decoded.left(bar).toLongLong(&ok) : -1;
        if (bar <= 0 || !ok || startAt <= 0 || decoded.mid(bar + 1) != jql) {
            return jiraError(400, QStringLiteral("Invalid nextPageToken"));
        }
    }
    maxResults = std::min<qint64>(maxResults, m_maxResultsCap);
    QJsonArray issues;
    for (qint64 i = startAt; i < all.size() && i < startAt + maxResults; ++i) {
        issues.append(all.at(i));
    }
    const qint64 next = startAt + maxResults;
    QJsonObject body{{"issues", issues}, {"isLast", next >= all.size()}};
    if (next < all.size()) {
        body.insert("nextPageToken", QString::fromLatin1((QString::number(next) + QLatin1Char('|') + jql)
                                                             .toUtf8()
                                                             .toBase64(QByteArray::Base64UrlEncoding)));
    }
    return jsonResponse(body);
}

FakeResponse FakeJiraServer::workLogPage(const FakeRequest& request, const QString& issueId) {
    if (!issue(issueId)) {
        return jiraError(404,
                         QStringLiteral("Issue does not exist or you do not have permission to see it."));
    }
    bool okAfter = true;
    bool okBefore = true;
    const QString afterText = request.queryValue(QStringLiteral("startedAfter"));
    const QString beforeText = request.queryValue(QStringLiteral("startedBefore"));
    const qint64 after =
        afterText.isEmpty() ? std::numeric_limits<qint64>::min() : afterText.toLongLong(&okAfter);
    const qint64 before =
        beforeText.isEmpty() ? std::numeric_limits<qint64>::max() : beforeText.toLongLong(&okBefore);
    if (!okAfter || !okBefore) {
        return jiraError(400, QStringLiteral("Bad time stamp"));
    }
    QJsonArray all;
    for (const WorkLog& w : m_workLogs) {
        const qint64 started = w.started.toMSecsSinceEpoch();
        if (w.issueId != issueId || (!workLogFiltersIgnored && (started < after || started > before)) ||
            !m_http.isListed(w.listedFrom)) {
            continue;
        }
        QJsonObject json{{"id", w.id},
                         {"issueId", w.issueId},
                         {"timeSpent", renderedDuration(w.seconds)},
                         {"timeSpentSeconds", static_cast<qint64>(w.seconds)},
                         {"started", jiraTime(w.started)}};
        if (const User* u = user(w.authorId)) {
            json.insert("author", userJson(*u));
        } else {
            json.insert("author", QJsonObject{{"accountId", w.authorId}, {"displayName", w.authorId}});
        }
        if (w.comment) {
            json.insert("comment", *w.comment);
        }
        if (w.created) {
            json.insert("created", jiraTime(*w.created));
        }
        all.append(json);
    }
    return page(request, all, "worklogs");
}

FakeResponse FakeJiraServer::addWorkLogFrom(const FakeRequest& request, const QString& issueId,
                                            const QString& account) {
    if (!issue(issueId)) {
        return jiraError(404,
                         QStringLiteral("Issue does not exist or you do not have permission to see it."));
    }
    if (!request.header("Content-Type").startsWith("application/json")) {
        return jiraError(415, QStringLiteral("Unsupported media type"));
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return jiraError(400, QStringLiteral("Body is not JSON"));
    }
    const QJsonObject body = document.object();
    const QJsonValue seconds = body.value("timeSpentSeconds");
    if (!seconds.isDouble() || seconds.toDouble() < 60) {
        return jiraError(400, QStringLiteral("Worklog must not be null."));
    }
    WorkLog workLog;
    workLog.issueId = issueId;
    workLog.authorId = account;
    // Jira wants the start, in its own form and nothing else.
    static const QRegularExpression startedShape(
        QStringLiteral("^(\\d{4}-\\d{2}-\\d{2})T(\\d{2}:\\d{2}:\\d{2}\\.\\d{3})([+-])(\\d{2})(\\d{2})$"));
    const auto started = startedShape.match(body.value("started").toString());
    if (!started.hasMatch()) {
        return jiraError(400, QStringLiteral("started: Invalid date format. Please enter the date in the "
                                             "format \"yyyy-MM-dd'T'HH:mm:ss.SSSZ\"."));
    }
    const int offset = (started.captured(4).toInt() * 3600 + started.captured(5).toInt() * 60) *
                       (started.captured(3) == QLatin1String("-") ? -1 : 1);
    workLog.started =
        QDateTime(QDate::fromString(started.captured(1), Qt::ISODate),
                  QTime::fromString(started.captured(2), QStringLiteral("HH:mm:ss.zzz")), QTimeZone(offset));
    workLog.seconds = seconds.toDouble();
    if (body.contains("comment")) {
        workLog.comment = documentText(body.value("comment").toObject());
    }
    workLog.created = m_http.stampNow().toLocalTime();
    workLog.listedFrom = m_http.listedFromNow();
    const QString id = addWorkLog(workLog);
    // As Jira answers: the work log, its start as kept among it.
    return jsonResponse(QJsonObject{{"id", id},
                                    {"issueId", issueId},
                                    {"timeSpentSeconds", seconds},
                                    {"started", body.value("started")}},
                        201);
}

FakeResponse FakeJiraServer::deleteWorkLog(const QString& issueId, const QString& workLogId) {
    const auto it = std::find_if(m_workLogs.begin(), m_workLogs.end(),
                                 [&](const WorkLog& w) { return w.issueId == issueId && w.id == workLogId; });
    if (it == m_workLogs.end()) {
        return jiraError(404, QStringLiteral("Cannot find worklog with id: ") + workLogId);
    }
    m_workLogs.erase(it);
    return FakeResponse::empty(204);
}

FakeResponse FakeJiraServer::page(const FakeRequest& request, const QJsonArray& all,
                                  const char* itemsKey) const {
    bool ok = true;
    const QString maxText = request.queryValue(QStringLiteral("maxResults"));
    const QString startText = request.queryValue(QStringLiteral("startAt"));
    qint64 maxResults = maxText.isEmpty() ? 50 : maxText.toLongLong(&ok);
    if (!ok) {
        return jiraError(400, QStringLiteral("maxResults is not a number"));
    }
    const qint64 startAt = startText.isEmpty() ? 0 : startText.toLongLong(&ok);
    if (!ok || startAt < 0) {
        return jiraError(400, QStringLiteral("startAt is not a number"));
    }
    maxResults = std::clamp<qint64>(maxResults, 0, m_maxResultsCap);
    QJsonArray values;
    for (qint64 i = startAt; i < all.size() && i < startAt + maxResults; ++i) {
        values.append(all.at(i));
    }
    return jsonResponse(QJsonObject{{"maxResults", maxResults},
                                    {"startAt", startAt},
                                    {"total", static_cast<qint64>(all.size())},
                                    {"isLast", startAt + maxResults >= all.size()},
                                    {itemsKey, values}});
}

QJsonObject FakeJiraServer::issueJson(const Issue& i) const {
    qint64 spent = 0;
    for (const WorkLog& w : m_workLogs) {
        if (w.issueId == i.id) {
            spent += static_cast<qint64>(w.seconds);
        }
    }
    QJsonObject fields{{"summary", i.summary},
                       {"status", QJsonObject{{"id", i.status.id}, {"name", i.status.name}}},
                       {"timespent", spent > 0 ? QJsonValue(spent) : QJsonValue(QJsonValue::Null)},
                       {"description", QJsonValue(QJsonValue::Null)}};
    const User* assignee = i.assigneeId ? user(*i.assigneeId) : nullptr;
    fields.insert("assignee", assignee ? QJsonValue(userJson(*assignee)) : QJsonValue(QJsonValue::Null));
    QJsonObject rendered{
        {"timespent", spent > 0 ? QJsonValue(renderedDuration(static_cast<double>(spent))) : QJsonValue()},
        {"description", i.description ? QJsonValue(*i.description) : QJsonValue(QJsonValue::Null)}};
    return QJsonObject{{"id", i.id},
                       {"key", i.key},
                       {"self", siteUrl + "/rest/api/3/issue/" + i.id},
                       {"fields", fields},
                       {"renderedFields", rendered}};
}

QJsonObject FakeJiraServer::userJson(const User& u) const {
    return QJsonObject{{"accountId", u.accountId},
                       {"displayName", u.displayName},
                       {"active", true},
                       {"avatarUrls", QJsonObject{{"16x16", u.avatar + "?s=16"},
                                                  {"24x24", u.avatar + "?s=24"},
                                                  {"32x32", u.avatar + "?s=32"},
                                                  {"48x48", u.avatar}}}};
}

const FakeJiraServer::User* FakeJiraServer::user(const QString& accountId) const {
    const auto it =
        std::find_if(m_users.begin(), m_users.end(), [&](const User& u) { return u.accountId == accountId; });
    return it == m_users.end() ? nullptr : &*it;
}

const FakeJiraServer::Issue* FakeJiraServer::issue(const QString& id) const {
    const auto it =
        std::find_if(m_issues.begin(), m_issues.end(), [&](const Issue& i) { return i.id == id; });
    return it == m_issues.end() ? nullptr : &*it;
}

const FakeJiraServer::Project* FakeJiraServer::project(const QString& idOrKey) const {
    const auto it = std::find_if(m_projects.begin(), m_projects.end(),
                                 [&](const Project& p) { return p.id == idOrKey || p.key == idOrKey; });
    return it == m_projects.end() ? nullptr : &*it;
}

} // namespace velmora::test
