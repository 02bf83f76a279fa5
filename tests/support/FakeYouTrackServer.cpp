#include "tests/support/FakeYouTrackServer.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QUrl>

#include <algorithm>

namespace velmora::test {

namespace {

FakeResponse jsonResponse(const QJsonValue& value, int status = 200) {
    const QByteArray body = value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                                            : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    return FakeResponse::json(body, status);
}

FakeResponse error(int status, const QString& description) {
    return jsonResponse(QJsonObject{{QStringLiteral("error"), QStringLiteral("request failed")},
                                    {QStringLiteral("error_description"), description}},
                        status);
}

// "$top"/"$skip" as the server reads them; all items when "$top" is missing.
template <typename T> std::vector<T> page(const std::vector<T>& all, const FakeRequest& request) {
    bool ok = true;
    const QString topText = FakeYouTrackServer::decodedQueryValue(request, QStringLiteral("$top"));
    const QString skipText = FakeYouTrackServer::decodedQueryValue(request, QStringLiteral("$skip"));
    const qsizetype skip = skipText.isEmpty() ? 0 : skipText.toLongLong(&ok);
    qsizetype top = static_cast<qsizetype>(all.size());
    if (ok && !topText.isEmpty()) {
        top = topText.toLongLong(&ok);
    }
    if (!ok || skip < 0 || top < 0) {
        return {};
    }
    std::vector<T> out;
    for (qsizetype i = skip; i < static_cast<qsizetype>(all.size()) && i < skip + top; ++i) {
        out.push_back(all[static_cast<std::size_t>(i)]);
    }
    return out;
}

QString presentation(qint64 minutes) {
    const qint64 hours = minutes / 60;
    const qint64 rest = minutes % 60;
    if (hours == 0) {
        return QStringLiteral("%1m").arg(rest);
    }
    return rest == 0 ? QStringLiteral("%1h").arg(hours) : QStringLiteral("%1h %2m").arg(hours).arg(rest);
}

QString stateId(const QString& name) {
    return QStringLiteral("state-") + name;
}

} // namespace

FakeYouTrackServer::FakeYouTrackServer(QString token) : m_token(std::move(token)) {
    m_me = User{QStringLiteral("1-1"), QStringLiteral("jane"), QStringLiteral("Jane Roe"),
                QStringLiteral("/hub/api/rest/avatar/1-1?dpr=2&size=48")};
    m_users.push_back(m_me);
    m_now = QDateTime::currentMSecsSinceEpoch();
    m_http.onAny([this](const FakeRequest& request) { return handle(request); });
}

void FakeYouTrackServer::setMe(User user) {
    m_me = user;
    addUser(std::move(user));
}

void FakeYouTrackServer::addUser(User user) {
    auto it =
        std::find_if(m_users.begin(), m_users.end(), [&](const User& u) { return u.login == user.login; });
    if (it != m_users.end()) {
        *it = std::move(user);
    } else {
        m_users.push_back(std::move(user));
    }
}

void FakeYouTrackServer::addProject(Project project) {
    m_projects.push_back(std::move(project));
}

FakeYouTrackServer::Project* FakeYouTrackServer::project(const QString& id) {
    auto it =
        std::find_if(m_projects.begin(), m_projects.end(), [&](const Project& p) { return p.id == id; });
    return it == m_projects.end() ? nullptr : &*it;
}

void FakeYouTrackServer::addIssue(Issue issue) {
    m_issues.push_back(std::move(issue));
}

FakeYouTrackServer::Issue* FakeYouTrackServer::issue(const QString& id) {
    auto it = std::find_if(m_issues.begin(), m_issues.end(), [&](const Issue& i) { return i.id == id; });
    return it == m_issues.end() ? nullptr : &*it;
}

void FakeYouTrackServer::addWorkItem(WorkItem item) {
    m_workItems.push_back(std::move(item));
}

QList<FakeRequest> FakeYouTrackServer::requestsTo(const QString& path) const {
    QList<FakeRequest> out;
    for (const auto& request : m_http.requests()) {
        if (request.decodedPath() == path) {
            out.push_back(request);
        }
    }
    return out;
}

QList<std::pair<QString, QString>> FakeYouTrackServer::decodedQuery(const FakeRequest& request) {
    QList<std::pair<QString, QString>> items;
    if (request.rawQuery.isEmpty()) {
        return items;
    }
    for (QByteArray part : request.rawQuery.split('&')) {
        part.replace('+', ' ');
        const qsizetype equals = part.indexOf('=');
        const QByteArray name = equals < 0 ? part : part.left(equals);
        const QByteArray value = equals < 0 ? QByteArray() : part.mid(equals + 1);
        items.push_back({QUrl::fromPercentEncoding(name), QUrl::fromPercentEncoding(value)});
    }
    return items;
}

QString FakeYouTrackServer::decodedQueryValue(const FakeRequest& request, const QString& name) {
    for (const auto& [itemName, value] : decodedQuery(request)) {
        if (itemName == name) {
            return value;
        }
    }
    return QString();
}

FakeResponse FakeYouTrackServer::handle(const FakeRequest& request) {
    if (auto scripted = m_scripted.answer(request)) {
        return *scripted;
    }
    FakeResponse response = simulate(request);
    if (m_delayMs > 0 && request.decodedPath().endsWith(m_delayedPathSuffix)) {
        response = response.withDelay(m_delayMs);
    }
    return response;
}

FakeResponse FakeYouTrackServer::simulate(const FakeRequest& request) {
    if (m_refusal != 0) {
        return error(m_refusal, QStringLiteral("refused"));
    }
    if (request.header("Authorization") != "Bearer " + m_token.toUtf8()) {
        return error(401, QStringLiteral("You are not logged in."));
    }
    // Split the path as sent, so an id holding an encoded "/" stays one segment.
    QList<QByteArray> rawSegments = request.path.split('/');
    if (!rawSegments.isEmpty() && rawSegments.first().isEmpty()) {
        rawSegments.removeFirst();
    }
    QStringList segments;
    for (const auto& segment : rawSegments) {
        segments.push_back(QUrl::fromPercentEncoding(segment));
    }
    const QByteArray& method = request.method;
    const auto is = [&](std::initializer_list<const char*> expected) {
        if (static_cast<std::size_t>(segments.size()) != expected.size()) {
            return false;
        }
        qsizetype i = 0;
        for (const char* part : expected) {
            if (part[0] != '*' && segments[i] != QLatin1String(part)) {
                return false;
            }
            ++i;
        }
        return true;
    };

    if (method == "GET" && is({"api", "users", "me"})) {
        return jsonResponse(QJsonObject{{QStringLiteral("login"), m_me.login},
                                        {QStringLiteral("fullName"), m_me.fullName},
                                        {QStringLiteral("avatarUrl"), m_me.avatarUrl},
                                        {QStringLiteral("id"), m_me.id},
                                        {QStringLiteral("$type"), QStringLiteral("Me")}});
    }
    if (method == "GET" && is({"api", "admin", "projects"})) {
        return projects(request);
    }
    if (method == "GET" && is({"api", "admin", "projects", "*", "timeTrackingSettings"})) {
        return timeTrackingSettings(segments[3]);
    }
    if (method == "GET" && is({"api", "admin", "customFieldSettings", "bundles", "state"})) {
        return stateBundles(request);
    }
    if (method == "GET" && is({"api", "admin", "customFieldSettings", "bundles", "user"})) {
        return userBundles(request);
    }
    if (method == "GET" && is({"api", "issues"})) {
        return searchIssues(request);
    }
    if (method == "GET" && is({"api", "workItems"})) {
        return listWorkItems(request);
    }
    if (method == "POST" && is({"api", "issues", "*", "timeTracking", "workItems"})) {
        return addWorkItemFrom(segments[2], request);
    }
    if (method == "DELETE" && is({"api", "issues", "*", "timeTracking", "workItems", "*"})) {
        return deleteWorkItem(segments[2], segments[5]);
    }
    return error(404, QStringLiteral("Not found"));
}

FakeResponse FakeYouTrackServer::projects(const FakeRequest& request) const {
    QJsonArray out;
    for (const auto& p : page(m_projects, request)) {
        out.push_back(QJsonObject{{QStringLiteral("id"), p.id},
                                  {QStringLiteral("shortName"), p.shortName},
                                  {QStringLiteral("name"), p.name},
                                  {QStringLiteral("$type"), QStringLiteral("Project")}});
    }
    return jsonResponse(out);
}

FakeResponse FakeYouTrackServer::timeTrackingSettings(const QString& projectId) const {
    auto it = std::find_if(m_projects.begin(), m_projects.end(),
                           [&](const Project& p) { return p.id == projectId; });
    if (it == m_projects.end()) {
        return error(404, QStringLiteral("Entity with id ") + projectId + QStringLiteral(" not found"));
    }
    if (it->settingsStatus != 0) {
        return error(it->settingsStatus, QStringLiteral("Forbidden"));
    }
    QJsonArray types;
    for (const auto& type : it->workItemTypes) {
        types.push_back(QJsonObject{{QStringLiteral("id"), type.id},
                                    {QStringLiteral("name"), type.name},
                                    {QStringLiteral("$type"), QStringLiteral("WorkItemType")}});
    }
    return jsonResponse(
        QJsonObject{{QStringLiteral("enabled"), it->timeTrackingEnabled},
                    {QStringLiteral("workItemTypes"), types},
                    {QStringLiteral("$type"), QStringLiteral("ProjectTimeTrackingSettings")}});
}

FakeResponse FakeYouTrackServer::stateBundles(const FakeRequest& request) const {
    QJsonArray out;
    for (const auto& bundle : page(m_stateBundles, request)) {
        QJsonArray values;
        for (const auto& name : bundle) {
            values.push_back(QJsonObject{{QStringLiteral("name"), name},
                                         {QStringLiteral("$type"), QStringLiteral("StateBundleElement")}});
        }
        out.push_back(QJsonObject{{QStringLiteral("values"), values},
                                  {QStringLiteral("$type"), QStringLiteral("StateBundle")}});
    }
    return jsonResponse(out);
}

FakeResponse FakeYouTrackServer::userBundles(const FakeRequest& request) const {
    QJsonArray out;
    for (const auto& bundle : page(m_userBundles, request)) {
        QJsonArray groups;
        for (const auto& projectId : bundle.teamProjectIds) {
            QJsonObject group{{QStringLiteral("$type"), QStringLiteral("UserGroup")}};
            const auto p =
                projectId ? std::find_if(m_projects.begin(), m_projects.end(),
                                         [&](const Project& candidate) { return candidate.id == *projectId; })
                          : m_projects.end();
            if (p != m_projects.end()) {
                group.insert(QStringLiteral("teamForProject"),
                             QJsonObject{{QStringLiteral("id"), p->id},
                                         {QStringLiteral("shortName"), p->shortName},
                                         {QStringLiteral("name"), p->name},
                                         {QStringLiteral("$type"), QStringLiteral("Project")}});
            } else {
                group.insert(QStringLiteral("teamForProject"), QJsonValue::Null);
            }
            groups.push_back(group);
        }
        QJsonArray users;
        for (const auto& login : bundle.logins) {
            if (const User* user = userByLogin(login)) {
                users.push_back(QJsonObject{{QStringLiteral("id"), user->id},
                                            {QStringLiteral("login"), user->login},
                                            {QStringLiteral("fullName"), user->fullName},
                                            {QStringLiteral("avatarUrl"), user->avatarUrl},
                                            {QStringLiteral("$type"), QStringLiteral("User")}});
            }
        }
        out.push_back(QJsonObject{{QStringLiteral("groups"), groups},
                                  {QStringLiteral("aggregatedUsers"), users},
                                  {QStringLiteral("$type"), QStringLiteral("UserBundle")}});
    }
    return jsonResponse(out);
}

// The subset of the query language the connector writes: "project: X",
// "summary: {text}", "State: {name}" (with "Unresolved"), "Assignee: login". Values
// are one word or a {braced} text; anything else is a query error (400), as on the
// real server. Empty when the query is malformed.
std::optional<bool> FakeYouTrackServer::matches(const Issue& issue, const QString& query) const {
    qsizetype i = 0;
    bool all = true;
    while (true) {
        while (i < query.size() && query[i].isSpace()) {
            ++i;
        }
        if (i >= query.size()) {
            break;
        }
        const qsizetype colon = query.indexOf(QLatin1Char(':'), i);
        if (colon < 0) {
            return std::nullopt;
        }
        const QString attribute = query.mid(i, colon - i).trimmed().toLower();
        i = colon + 1;
        while (i < query.size() && query[i] == QLatin1Char(' ')) {
            ++i;
        }
        QString value;
        if (i < query.size() && query[i] == QLatin1Char('{')) {
            const qsizetype close = query.indexOf(QLatin1Char('}'), i + 1);
            if (close < 0) {
                return std::nullopt;
            }
            value = query.mid(i + 1, close - i - 1);
            i = close + 1;
        } else {
            const qsizetype start = i;
            while (i < query.size() && !query[i].isSpace()) {
                ++i;
            }
            value = query.mid(start, i - start);
        }
        if (value.isEmpty()) {
            return std::nullopt;
        }
        if (attribute == QLatin1String("project")) {
            auto p = std::find_if(m_projects.begin(), m_projects.end(),
                                  [&](const Project& candidate) { return candidate.id == issue.projectId; });
            all = all && p != m_projects.end() && p->shortName.compare(value, Qt::CaseInsensitive) == 0;
        } else if (attribute == QLatin1String("summary")) {
            all = all && issue.summary.contains(value, Qt::CaseInsensitive);
        } else if (attribute == QLatin1String("state")) {
            if (value.compare(QLatin1String("Unresolved"), Qt::CaseInsensitive) == 0) {
                all = all && !m_resolvedStates.contains(issue.state);
            } else {
                all = all && issue.state.compare(value, Qt::CaseInsensitive) == 0;
            }
        } else if (attribute == QLatin1String("assignee")) {
            const QString login = value == QLatin1String("me") ? m_me.login : value;
            all = all && issue.assigneeLogin == login;
        } else {
            return std::nullopt;
        }
    }
    return all;
}

QJsonObject FakeYouTrackServer::issueJson(const Issue& issue, bool fieldValues) const {
    QJsonObject state{{QStringLiteral("name"), QStringLiteral("State")},
                      {QStringLiteral("$type"), QStringLiteral("StateIssueCustomField")}};
    QJsonObject spent{{QStringLiteral("name"), QStringLiteral("Spent time")},
                      {QStringLiteral("$type"), QStringLiteral("PeriodIssueCustomField")}};
    QJsonObject assignee{{QStringLiteral("name"), QStringLiteral("Assignee")},
                         {QStringLiteral("$type"), QStringLiteral("SingleUserIssueCustomField")}};
    if (fieldValues) {
        state.insert(
            QStringLiteral("value"),
            issue.state.isEmpty()
                ? QJsonValue(QJsonValue::Null)
                : QJsonValue(QJsonObject{{QStringLiteral("id"), stateId(issue.state)},
                                         {QStringLiteral("name"), issue.state},
                                         {QStringLiteral("$type"), QStringLiteral("StateBundleElement")}}));
        const qint64 minutes = spentMinutes(issue.id);
        spent.insert(QStringLiteral("value"),
                     minutes == 0
                         ? QJsonValue(QJsonValue::Null)
                         : QJsonValue(QJsonObject{{QStringLiteral("id"), QStringLiteral("period")},
                                                  {QStringLiteral("presentation"), presentation(minutes)},
                                                  {QStringLiteral("$type"), QStringLiteral("PeriodValue")}}));
        const User* user = issue.assigneeLogin.isEmpty() ? nullptr : userByLogin(issue.assigneeLogin);
        assignee.insert(QStringLiteral("value"),
                        user ? QJsonValue(QJsonObject{{QStringLiteral("id"), user->id},
                                                      {QStringLiteral("name"), user->fullName},
                                                      {QStringLiteral("avatarUrl"), user->avatarUrl},
                                                      {QStringLiteral("$type"), QStringLiteral("User")}})
                             : QJsonValue(QJsonValue::Null));
    }
    return QJsonObject{{QStringLiteral("id"), issue.id},
                       {QStringLiteral("idReadable"), issue.idReadable},
                       {QStringLiteral("summary"), issue.summary},
                       {QStringLiteral("wikifiedDescription"), issue.description},
                       {QStringLiteral("customFields"), QJsonArray{state, spent, assignee}},
                       {QStringLiteral("$type"), QStringLiteral("Issue")}};
}

FakeResponse FakeYouTrackServer::searchIssues(const FakeRequest& request) const {
    const QString query = decodedQueryValue(request, QStringLiteral("query"));
    std::vector<const Issue*> found;
    for (const auto& issue : m_issues) {
        const auto match = matches(issue, query);
        if (!match) {
            return error(400, QStringLiteral("Cannot parse search expression: ") + query);
        }
        if (*match) {
            found.push_back(&issue);
        }
    }
    QJsonArray out;
    for (const Issue* issue : page(found, request)) {
        out.push_back(issueJson(*issue, true));
    }
    return jsonResponse(out);
}

QJsonObject FakeYouTrackServer::workItemJson(const WorkItem& item) const {
    auto issue =
        std::find_if(m_issues.begin(), m_issues.end(), [&](const Issue& i) { return i.id == item.issueId; });
    const QString text = item.text.value_or(QString());
    QJsonObject json{
        {QStringLiteral("id"), item.id},
        {QStringLiteral("duration"), QJsonObject{{QStringLiteral("minutes"), item.minutes},
                                                 {QStringLiteral("presentation"), presentation(item.minutes)},
                                                 {QStringLiteral("$type"), QStringLiteral("DurationValue")}}},
        {QStringLiteral("issue"),
         issue == m_issues.end() ? QJsonValue(QJsonValue::Null) : QJsonValue(issueJson(*issue, false))},
        {QStringLiteral("text"), item.text ? QJsonValue(*item.text) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("textPreview"),
         text.isEmpty() ? QString() : QStringLiteral("<p>") + text + QStringLiteral("</p>")},
        {QStringLiteral("date"), item.date},
        {QStringLiteral("$type"), QStringLiteral("IssueWorkItem")}};
    if (item.created) {
        json.insert(QStringLiteral("created"), *item.created);
    }
    const User* author = userByLogin(item.authorLogin);
    json.insert(QStringLiteral("author"),
                author ? QJsonValue(QJsonObject{{QStringLiteral("id"), author->id},
                                                {QStringLiteral("login"), author->login},
                                                {QStringLiteral("fullName"), author->fullName},
                                                {QStringLiteral("$type"), QStringLiteral("User")}})
                       : QJsonValue(QJsonValue::Null));
    if (item.typeId) {
        json.insert(QStringLiteral("type"),
                    QJsonObject{{QStringLiteral("id"), *item.typeId},
                                {QStringLiteral("$type"), QStringLiteral("WorkItemType")}});
    }
    return json;
}

FakeResponse FakeYouTrackServer::listWorkItems(const FakeRequest& request) const {
    bool startOk = true;
    bool endOk = true;
    const QString startText = decodedQueryValue(request, QStringLiteral("start"));
    const QString endText = decodedQueryValue(request, QStringLiteral("end"));
    const qint64 start =
        startText.isEmpty() ? std::numeric_limits<qint64>::min() : startText.toLongLong(&startOk);
    const qint64 end = endText.isEmpty() ? std::numeric_limits<qint64>::max() : endText.toLongLong(&endOk);
    if (!startOk || !endOk) {
        return error(400, QStringLiteral("Invalid date"));
    }
    QString author = decodedQueryValue(request, QStringLiteral("author"));
    if (author == QLatin1String("me")) {
        author = m_me.login;
    }
    const QString query = decodedQueryValue(request, QStringLiteral("query")).trimmed();
    QString issueReadable;
    if (!query.isEmpty()) {
        static const QString attribute = QStringLiteral("issue id:");
        if (!query.startsWith(attribute, Qt::CaseInsensitive) ||
            (issueReadable = query.mid(attribute.size()).trimmed()).isEmpty() ||
            issueReadable.contains(' ')) {
            return error(400, QStringLiteral("Cannot parse search expression: ") + query);
        }
    }
    const auto ofIssue = [&](const WorkItem& item) {
        if (issueReadable.isEmpty()) {
            return true;
        }
        return std::any_of(m_issues.begin(), m_issues.end(), [&](const Issue& target) {
            return target.id == item.issueId &&
                   target.idReadable.compare(issueReadable, Qt::CaseInsensitive) == 0;
        });
    };
    std::vector<const WorkItem*> found;
    for (const auto& item : m_workItems) {
        if (!m_http.isListed(item.listedFrom)) {
            continue;
        }
        if (m_workItemFiltersIgnored || (item.date >= start && item.date <= end &&
                                         (author.isEmpty() || item.authorLogin == author) && ofIssue(item))) {
            found.push_back(&item);
        }
    }
    QJsonArray out;
    for (const WorkItem* item : page(found, request)) {
        out.push_back(workItemJson(*item));
    }
    return jsonResponse(out);
}

FakeResponse FakeYouTrackServer::addWorkItemFrom(const QString& issueId, const FakeRequest& request) {
    if (!issue(issueId)) {
        return error(404, QStringLiteral("Issue not found"));
    }
    if (!request.header("Content-Type").startsWith("application/json")) {
        return error(415, QStringLiteral("Unsupported media type"));
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        return error(400, QStringLiteral("Malformed body"));
    }
    const QJsonObject body = document.object();
    const QJsonValue minutes =
        body.value(QStringLiteral("duration")).toObject().value(QStringLiteral("minutes"));
    if (!minutes.isDouble() || minutes.toDouble() != static_cast<double>(minutes.toInteger()) ||
        minutes.toInteger() <= 0) {
        return error(400, QStringLiteral("Duration is required"));
    }
    WorkItem item;
    item.id = QStringLiteral("wi-%1").arg(m_nextWorkItem++);
    item.issueId = issueId;
    item.authorLogin = m_me.login;
    item.minutes = minutes.toInteger();
    item.date = m_now;
    item.created = m_http.stampNow().toMSecsSinceEpoch();
    item.listedFrom = m_http.listedFromNow();
    if (body.contains(QStringLiteral("text"))) {
        if (!body.value(QStringLiteral("text")).isString()) {
            return error(400, QStringLiteral("Text must be a string"));
        }
        item.text = body.value(QStringLiteral("text")).toString();
    }
    if (body.contains(QStringLiteral("type"))) {
        const QString typeId =
            body.value(QStringLiteral("type")).toObject().value(QStringLiteral("id")).toString();
        const Issue* target = issue(issueId);
        auto p = std::find_if(m_projects.begin(), m_projects.end(),
                              [&](const Project& candidate) { return candidate.id == target->projectId; });
        const bool known =
            p != m_projects.end() && std::any_of(p->workItemTypes.begin(), p->workItemTypes.end(),
                                                 [&](const WorkItemType& type) { return type.id == typeId; });
        if (!known) {
            return error(400, QStringLiteral("Unknown work item type"));
        }
        item.typeId = typeId;
    }
    m_workItems.push_back(item);
    return jsonResponse(workItemJson(item));
}

FakeResponse FakeYouTrackServer::deleteWorkItem(const QString& issueId, const QString& itemId) {
    auto it = std::find_if(m_workItems.begin(), m_workItems.end(), [&](const WorkItem& item) {
        return item.id == itemId && item.issueId == issueId;
    });
    if (it == m_workItems.end()) {
        return error(404, QStringLiteral("Work item not found"));
    }
    m_workItems.erase(it);
    return FakeResponse::empty(200);
}

const FakeYouTrackServer::User* FakeYouTrackServer::userByLogin(const QString& login) const {
    auto it =
        std::find_if(m_users.begin(), m_users.end(), [&](const User& user) { return user.login == login; });
    return it == m_users.end() ? nullptr : &*it;
}

qint64 FakeYouTrackServer::spentMinutes(const QString& issueId) const {
    qint64 total = 0;
    for (const auto& item : m_workItems) {
        if (item.issueId == issueId) {
            total += item.minutes;
        }
    }
    return total;
}

} // namespace velmora::test
