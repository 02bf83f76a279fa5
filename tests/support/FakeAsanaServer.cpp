#include "tests/support/FakeAsanaServer.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimeZone>

#include <algorithm>
#include <deque>

namespace velmora::test {

namespace {

const QString apiPrefix = QStringLiteral("/api/1.0/");

FakeResponse jsonResponse(const QJsonObject& object, int status = 200) {
    return FakeResponse::json(QJsonDocument(object).toJson(QJsonDocument::Compact), status);
}

FakeResponse asanaError(int status, const QString& message) {
    return jsonResponse(QJsonObject{{"errors", QJsonArray{QJsonObject{{"message", message}}}}}, status);
}

FakeResponse data(const QJsonValue& value, int status = 200) {
    return jsonResponse(QJsonObject{{"data", value}}, status);
}

QString bearerToken(const FakeRequest& request) {
    const QByteArray header = request.header("Authorization");
    if (!header.startsWith("Bearer ")) {
        return QString();
    }
    return QString::fromUtf8(header.mid(7));
}

// The selected fields of "opt_fields", blanks around the commas ignored.
QStringList optFields(const FakeRequest& request) {
    QStringList fields;
    for (const QString& field : request.queryValue(QStringLiteral("opt_fields")).split(QLatin1Char(','))) {
        const QString trimmed = field.trimmed();
        if (!trimmed.isEmpty()) {
            fields << trimmed;
        }
    }
    return fields;
}

// Whether `field` or a member of it ("assignee" for "assignee.name") was asked for.
bool wants(const QStringList& fields, const QString& field) {
    for (const QString& f : fields) {
        if (f == field || f.startsWith(field + QLatin1Char('.'))) {
            return true;
        }
    }
    return false;
}

std::optional<QDateTime> parseMoment(const QString& text) {
    const QDateTime moment = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!moment.isValid()) {
        return std::nullopt;
    }
    return moment;
}

// Arrival times of recent requests, to tell how many were answered side by side.
struct Arrivals {
    QElapsedTimer clock;
    std::deque<qint64> times;
};

} // namespace

FakeAsanaServer::FakeAsanaServer() {
    m_workspaces.push_back({QStringLiteral("w1"), QStringLiteral("Workspace"), true});
    m_users.push_back({QStringLiteral("u1"), QStringLiteral("Una User"),
                       QStringLiteral("https://s3.example.test/u1_60x60.png")});
    m_tokens[QStringLiteral("token-1")] = QStringLiteral("u1");
    auto arrivals = std::make_shared<Arrivals>();
    arrivals->clock.start();
    m_http.onAny([this, arrivals](const FakeRequest& request) {
        if (m_latencyMs > 0) {
            const qint64 now = arrivals->clock.elapsed();
            // A request still counts as answered while less than the latency has passed
            // since it came (a little less, for timer slack).
            const qint64 window = std::max<qint64>(1, m_latencyMs * 9 / 10);
            while (!arrivals->times.empty() && arrivals->times.front() <= now - window) {
                arrivals->times.pop_front();
            }
            arrivals->times.push_back(now);
            m_peak = std::max(m_peak, static_cast<int>(arrivals->times.size()));
        }
        FakeResponse response = handle(request);
        const bool waits =
            m_latencyMs > 0 && (m_latencyMethod.isEmpty() || request.method == m_latencyMethod);
        return waits ? response.withDelay(m_latencyMs) : response;
    });
}

void FakeAsanaServer::setPremium(const QString& workspaceGid, bool premium) {
    for (auto& w : m_workspaces) {
        if (w.gid == workspaceGid) {
            w.premium = premium;
        }
    }
}

QString FakeAsanaServer::addEntry(Entry entry) {
    if (entry.gid.isEmpty()) {
        entry.gid = QString::number(m_nextEntry++);
    }
    m_entries.push_back(entry);
    return entry.gid;
}

QString FakeAsanaServer::asanaTime(const QDateTime& time) {
    return time.toTimeZone(QTimeZone::utc()).toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
}

const FakeAsanaServer::User* FakeAsanaServer::user(const QString& gid) const {
    const auto it = std::find_if(m_users.begin(), m_users.end(), [&](const User& u) { return u.gid == gid; });
    return it == m_users.end() ? nullptr : &*it;
}

const FakeAsanaServer::Workspace* FakeAsanaServer::workspace(const QString& gid) const {
    const auto it = std::find_if(m_workspaces.begin(), m_workspaces.end(),
                                 [&](const Workspace& w) { return w.gid == gid; });
    return it == m_workspaces.end() ? nullptr : &*it;
}

const FakeAsanaServer::Task* FakeAsanaServer::task(const QString& gid) const {
    const auto it = std::find_if(m_tasks.begin(), m_tasks.end(), [&](const Task& t) { return t.gid == gid; });
    return it == m_tasks.end() ? nullptr : &*it;
}

void FakeAsanaServer::addTrackedTime(const QString& taskGid, std::int64_t minutes) {
    for (auto& t : m_tasks) {
        if (t.gid == taskGid) {
            const std::int64_t tracked = t.actualTimeMinutes.value_or(0) + minutes;
            t.actualTimeMinutes = tracked > 0 ? std::optional<std::int64_t>(tracked) : std::nullopt;
            t.modifiedAt = m_http.now();
        }
    }
}

QJsonObject FakeAsanaServer::userJson(const User& user, const QStringList& fields, bool full) const {
    QJsonObject json{{"gid", user.gid}, {"resource_type", "user"}};
    if (full || wants(fields, QStringLiteral("name"))) {
        json["name"] = user.name;
    }
    if (full || wants(fields, QStringLiteral("photo"))) {
        if (user.photo) {
            json["photo"] = QJsonObject{{"image_21x21", *user.photo + QStringLiteral("?21")},
                                        {"image_60x60", *user.photo},
                                        {"image_128x128", *user.photo + QStringLiteral("?128")}};
        } else {
            json["photo"] = QJsonValue::Null;
        }
    }
    return json;
}

FakeResponse FakeAsanaServer::page(const FakeRequest& request, const std::vector<QJsonObject>& all) const {
    bool ok = true;
    int limit = 100;
    if (request.hasQueryItem(QStringLiteral("limit"))) {
        limit = request.queryValue(QStringLiteral("limit")).toInt(&ok);
        if (!ok || limit < 1 || limit > 100) {
            return asanaError(400, QStringLiteral("limit: Must be between 1 and 100"));
        }
    }
    int start = 0;
    if (request.hasQueryItem(QStringLiteral("offset"))) {
        const QString offset = request.queryValue(QStringLiteral("offset"));
        if (!offset.startsWith(QStringLiteral("off-")) || (start = offset.mid(4).toInt(&ok), !ok) ||
            start < 0) {
            return asanaError(400, QStringLiteral("offset: Your pagination token is invalid."));
        }
    }
    QJsonArray items;
    for (int i = start; i < static_cast<int>(all.size()) && i < start + limit; ++i) {
        items.append(all[static_cast<std::size_t>(i)]);
    }
    QJsonValue next = QJsonValue::Null;
    if (start + limit < static_cast<int>(all.size())) {
        const QString offset = QStringLiteral("off-%1").arg(start + limit);
        const QString path = request.decodedPath().mid(apiPrefix.size() - 1) +
                             QStringLiteral("?limit=%1&offset=%2").arg(limit).arg(offset);
        next = QJsonObject{{"offset", offset},
                           {"path", path},
                           {"uri", QStringLiteral("https://%1/api/1.0%2").arg(hostAndPort(), path)}};
    }
    return jsonResponse(QJsonObject{{"data", items}, {"next_page", next}});
}

FakeResponse FakeAsanaServer::handle(const FakeRequest& request) {
    if (auto scripted = m_scripted.answer(request)) {
        return *scripted;
    }
    const auto token = m_tokens.find(bearerToken(request));
    if (token == m_tokens.end()) {
        return asanaError(401, QStringLiteral("Not Authorized"));
    }
    const QString rawPath = QString::fromUtf8(request.path);
    if (!rawPath.startsWith(apiPrefix)) {
        return asanaError(404, QStringLiteral("Unknown object"));
    }
    QStringList segments;
    for (const QString& segment : rawPath.mid(apiPrefix.size()).split(QLatin1Char('/'))) {
        segments << QUrl::fromPercentEncoding(segment.toUtf8());
    }
    return route(request, segments, token->second);
}

FakeResponse FakeAsanaServer::route(const FakeRequest& request, const QStringList& s,
                                    const QString& userGid) {
    const QByteArray& method = request.method;
    const QStringList fields = optFields(request);
    const auto notFound = asanaError(404, QStringLiteral("Unknown object"));

    if (method == "GET" && s == QStringList{"users", "me"}) {
        const User* me = user(userGid);
        return me ? data(userJson(*me, fields, true)) : notFound;
    }
    if (method == "GET" && s == QStringList{"workspaces"}) {
        std::vector<QJsonObject> all;
        for (const auto& w : m_workspaces) {
            all.push_back(QJsonObject{{"gid", w.gid}, {"name", w.name}, {"resource_type", "workspace"}});
        }
        return page(request, all);
    }
    if (method == "GET" && s.size() == 3 && s[0] == "workspaces" && s[2] == "projects") {
        if (!workspace(s[1])) {
            return notFound;
        }
        std::vector<QJsonObject> all;
        for (const auto& p : m_projects) {
            if (p.workspaceGid != s[1]) {
                continue;
            }
            QJsonObject json{{"gid", p.gid}, {"resource_type", "project"}, {"name", p.name}};
            if (wants(fields, QStringLiteral("custom_field_settings"))) {
                QJsonArray settings;
                int n = 0;
                for (const auto& created : p.customFields) {
                    ++n;
                    QJsonObject field{{"gid", QStringLiteral("%1-cf%2").arg(p.gid).arg(n)}};
                    if (wants(fields,
                              QStringLiteral("custom_field_settings.custom_field.asana_created_field"))) {
                        field["asana_created_field"] = created ? QJsonValue(*created) : QJsonValue::Null;
                    }
                    settings.append(QJsonObject{{"gid", QStringLiteral("%1-cfs%2").arg(p.gid).arg(n)},
                                                {"custom_field", field}});
                }
                json["custom_field_settings"] = settings;
            }
            all.push_back(json);
        }
        return page(request, all);
    }
    if (method == "GET" && s.size() == 3 && s[0] == "projects" && s[2] == "sections") {
        std::vector<QJsonObject> all;
        for (const auto& section : m_sections) {
            if (section.projectGid == s[1]) {
                all.push_back(
                    QJsonObject{{"gid", section.gid}, {"name", section.name}, {"resource_type", "section"}});
            }
        }
        return page(request, all);
    }
    if (method == "GET" && s.size() == 3 && s[0] == "teams" && s[2] == "users") {
        const auto team =
            std::find_if(m_teams.begin(), m_teams.end(), [&](const Team& t) { return t.gid == s[1]; });
        if (team == m_teams.end()) {
            return notFound;
        }
        std::vector<QJsonObject> all;
        for (const auto& gid : team->userGids) {
            if (const User* u = user(gid)) {
                all.push_back(userJson(*u, fields, false));
            }
        }
        return page(request, all);
    }
    if (method == "GET" && s == QStringList{"memberships"}) {
        const QString parent = request.queryValue(QStringLiteral("parent"));
        if (parent.isEmpty()) {
            return asanaError(400, QStringLiteral("parent: Missing input"));
        }
        std::vector<QJsonObject> all;
        for (const auto& m : m_memberships) {
            if (m.projectGid == parent) {
                all.push_back(
                    QJsonObject{{"gid", m.gid},
                                {"resource_type", "membership"},
                                {"parent", QJsonObject{{"gid", m.projectGid}, {"resource_type", "project"}}},
                                {"member", QJsonObject{{"gid", m.memberGid},
                                                       {"name", m.memberName},
                                                       {"resource_type", m.resourceType}}}});
            }
        }
        return page(request, all);
    }
    if (method == "GET" && s.size() == 4 && s[0] == "workspaces" && s[2] == "tasks" && s[3] == "search") {
        return search(request, s[1], userGid);
    }
    if (s.size() == 3 && s[0] == "tasks" && s[2] == "time_tracking_entries") {
        const Task* t = task(s[1]);
        if (!t) {
            return notFound;
        }
        const Workspace* w = workspace(t->workspaceGid);
        if (w && !w->premium) {
            return asanaError(402, QStringLiteral("Time tracking is a premium feature."));
        }
        if (method == "POST") {
            return bookEntry(request, t->gid, userGid);
        }
        if (method == "GET") {
            std::vector<QJsonObject> all;
            for (const auto& e : m_entries) {
                if (e.taskGid != t->gid || !m_http.isListed(e.listedFrom)) {
                    continue;
                }
                QJsonObject json{{"gid", e.gid}, {"resource_type", "time_tracking_entry"}};
                if (wants(fields, QStringLiteral("entered_on"))) {
                    json["entered_on"] = e.enteredOn.toString(QStringLiteral("yyyy-MM-dd"));
                }
                if (wants(fields, QStringLiteral("duration_minutes"))) {
                    json["duration_minutes"] = static_cast<qint64>(e.durationMinutes);
                }
                if (wants(fields, QStringLiteral("created_by"))) {
                    const User* author = user(e.createdByGid);
                    json["created_by"] = QJsonObject{{"gid", e.createdByGid},
                                                     {"name", author ? author->name : QString()},
                                                     {"resource_type", "user"}};
                }
                if (wants(fields, QStringLiteral("created_at")) && e.createdAt) {
                    json["created_at"] = asanaTime(*e.createdAt);
                }
                all.push_back(json);
            }
            return page(request, all);
        }
    }
    if (method == "GET" && s == QStringList{"time_tracking_entries"} && !entryListUnknown) {
        return listEntries(request, fields);
    }
    if (method == "DELETE" && s.size() == 2 && s[0] == "time_tracking_entries") {
        const auto it =
            std::find_if(m_entries.begin(), m_entries.end(), [&](const Entry& e) { return e.gid == s[1]; });
        if (it == m_entries.end()) {
            return notFound;
        }
        const Task* t = task(it->taskGid);
        const Workspace* w = t ? workspace(t->workspaceGid) : nullptr;
        if (w && !w->premium) {
            return asanaError(402, QStringLiteral("Time tracking is a premium feature."));
        }
        addTrackedTime(it->taskGid, -it->durationMinutes);
        m_entries.erase(it);
        return data(QJsonObject());
    }
    return notFound;
}

FakeResponse FakeAsanaServer::bookEntry(const FakeRequest& request, const QString& taskGid,
                                        const QString& userGid) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return asanaError(400, QStringLiteral("Could not parse request data"));
    }
    const QJsonValue minutes = document.object().value("data").toObject().value("duration_minutes");
    if (!minutes.isDouble() || minutes.toDouble() != static_cast<double>(minutes.toInteger()) ||
        minutes.toInteger() < 1) {
        return asanaError(400, QStringLiteral("duration_minutes: Must be a positive whole number"));
    }
    Entry entry;
    entry.taskGid = taskGid;
    entry.enteredOn = datesByUtcDay     ? m_http.now().toUTC().date()
                      : datesByLocalDay ? m_http.now().toLocalTime().date()
                                        : bookingDay;
    entry.durationMinutes = minutes.toInteger();
    entry.createdByGid = userGid;
    entry.createdAt = m_http.stampNow();
    entry.listedFrom = m_http.listedFromNow();
    const QString gid = addEntry(entry);
    addTrackedTime(taskGid, entry.durationMinutes);
    return data(QJsonObject{{"gid", gid},
                            {"resource_type", "time_tracking_entry"},
                            {"duration_minutes", static_cast<qint64>(entry.durationMinutes)},
                            {"entered_on", entry.enteredOn.toString(QStringLiteral("yyyy-MM-dd"))},
                            {"task", QJsonObject{{"gid", taskGid}, {"resource_type", "task"}}}},
                201);
}

FakeResponse FakeAsanaServer::listEntries(const FakeRequest& request, const QStringList& fields) const {
    const QString taskGid = request.queryValue(QStringLiteral("task"));
    const QString userGid = request.queryValue(QStringLiteral("user"));
    if (taskGid.isEmpty() && userGid.isEmpty()) {
        return asanaError(400, QStringLiteral("Must specify a task, user, project or portfolio"));
    }
    const auto day = [&](const char* name, const QDate& none) {
        const QString text = request.queryValue(QString::fromLatin1(name));
        return text.isEmpty() ? std::optional<QDate>(none)
                              : std::optional<QDate>(QDate::fromString(text, QStringLiteral("yyyy-MM-dd")));
    };
    const auto from = day("entered_on_start_date", QDate(1, 1, 1));
    const auto to = day("entered_on_end_date", QDate(9999, 12, 31));
    if (!from->isValid() || !to->isValid()) {
        return asanaError(400, QStringLiteral("entered_on: Must be a date"));
    }
    if (const Task* t = task(taskGid)) {
        const Workspace* w = workspace(t->workspaceGid);
        if (w && !w->premium) {
            return asanaError(402, QStringLiteral("Time tracking is a premium feature."));
        }
    }
    std::vector<QJsonObject> all;
    for (const auto& e : m_entries) {
        const bool asked = (taskGid.isEmpty() || e.taskGid == taskGid) &&
                           (userGid.isEmpty() || e.createdByGid == userGid) && e.enteredOn >= *from &&
                           e.enteredOn <= *to;
        if ((!asked && !entryListFiltersIgnored) || !m_http.isListed(e.listedFrom)) {
            continue;
        }
        QJsonObject json{{"gid", e.gid}, {"resource_type", "time_tracking_entry"}};
        if (wants(fields, QStringLiteral("entered_on"))) {
            json["entered_on"] = e.enteredOn.toString(QStringLiteral("yyyy-MM-dd"));
        }
        if (wants(fields, QStringLiteral("duration_minutes"))) {
            json["duration_minutes"] = static_cast<qint64>(e.durationMinutes);
        }
        if (wants(fields, QStringLiteral("created_by"))) {
            json["created_by"] = QJsonObject{{"gid", e.createdByGid}, {"resource_type", "user"}};
        }
        if (wants(fields, QStringLiteral("created_at")) && e.createdAt) {
            json["created_at"] = asanaTime(*e.createdAt);
        }
        if (wants(fields, QStringLiteral("task"))) {
            json["task"] = QJsonObject{{"gid", e.taskGid}, {"resource_type", "task"}};
        }
        all.push_back(json);
    }
    return page(request, all);
}

FakeResponse FakeAsanaServer::search(const FakeRequest& request, const QString& workspaceGid,
                                     const QString& userGid) {
    const Workspace* w = workspace(workspaceGid);
    if (!w) {
        return asanaError(404, QStringLiteral("Unknown object"));
    }
    if (!w->premium) {
        return asanaError(402, QStringLiteral("Search is a premium feature."));
    }
    const QStringList fields = optFields(request);
    bool ok = true;
    int limit = 100;
    if (request.hasQueryItem(QStringLiteral("limit"))) {
        limit = request.queryValue(QStringLiteral("limit")).toInt(&ok);
        if (!ok || limit < 1 || limit > 100) {
            return asanaError(400, QStringLiteral("limit: Must be between 1 and 100"));
        }
    }
    std::optional<QDateTime> before;
    std::optional<QDateTime> after;
    for (const auto& [name, bound] : {std::pair{QStringLiteral("modified_at.before"), &before},
                                      std::pair{QStringLiteral("modified_at.after"), &after}}) {
        if (request.hasQueryItem(name)) {
            *bound = parseMoment(request.queryValue(name));
            if (!*bound) {
                return asanaError(400, name + QStringLiteral(": Not a date-time"));
            }
        }
    }
    const QString project = request.queryValue(QStringLiteral("projects.any"));
    const QString text = request.queryValue(QStringLiteral("text"));
    const QString section = request.queryValue(QStringLiteral("sections.all"));
    QString assignee = request.queryValue(QStringLiteral("assignee.any"));
    if (assignee == QStringLiteral("me")) {
        assignee = userGid;
    }
    std::optional<bool> completed;
    if (request.hasQueryItem(QStringLiteral("completed"))) {
        completed = request.queryValue(QStringLiteral("completed")) == QStringLiteral("true");
    }

    std::vector<const Task*> found;
    for (const auto& t : m_tasks) {
        if (t.workspaceGid != workspaceGid || (!project.isEmpty() && t.projectGid != project) ||
            (!text.isEmpty() && !t.name.contains(text, Qt::CaseInsensitive)) ||
            (!section.isEmpty() && t.sectionGid != section) ||
            (!assignee.isEmpty() && t.assigneeGid != assignee) || (completed && t.completed != *completed) ||
            (before && !(t.modifiedAt < *before)) || (after && !(t.modifiedAt > *after))) {
            continue;
        }
        found.push_back(&t);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const Task* a, const Task* b) { return a->modifiedAt > b->modifiedAt; });
    QJsonArray items;
    for (std::size_t i = 0; i < found.size() && i < static_cast<std::size_t>(limit); ++i) {
        const Task& t = *found[i];
        QJsonObject json{{"gid", t.gid}, {"resource_type", "task"}};
        if (wants(fields, QStringLiteral("name"))) {
            json["name"] = t.name;
        }
        if (wants(fields, QStringLiteral("html_notes"))) {
            json["html_notes"] = t.htmlNotes;
        }
        if (wants(fields, QStringLiteral("actual_time_minutes"))) {
            json["actual_time_minutes"] = t.actualTimeMinutes
                                              ? QJsonValue(static_cast<qint64>(*t.actualTimeMinutes))
                                              : QJsonValue::Null;
        }
        if (wants(fields, QStringLiteral("assignee"))) {
            const User* a = t.assigneeGid ? user(*t.assigneeGid) : nullptr;
            QStringList sub;
            for (const QString& f : fields) {
                if (f.startsWith(QStringLiteral("assignee."))) {
                    sub << f.mid(9);
                }
            }
            json["assignee"] = a ? QJsonValue(userJson(*a, sub, false)) : QJsonValue::Null;
        }
        if (wants(fields, QStringLiteral("permalink_url"))) {
            json["permalink_url"] = QStringLiteral("https://app.asana.test/0/%1/%2").arg(t.projectGid, t.gid);
        }
        if (wants(fields, QStringLiteral("memberships"))) {
            QJsonValue sectionJson = QJsonValue::Null;
            if (t.sectionGid) {
                const auto it = std::find_if(m_sections.begin(), m_sections.end(),
                                             [&](const Section& s) { return s.gid == *t.sectionGid; });
                if (it != m_sections.end()) {
                    sectionJson =
                        QJsonObject{{"gid", it->gid}, {"name", it->name}, {"resource_type", "section"}};
                }
            }
            json["memberships"] = QJsonArray{QJsonObject{{"section", sectionJson}}};
        }
        if (wants(fields, QStringLiteral("modified_at"))) {
            json["modified_at"] = asanaTime(t.modifiedAt);
        }
        items.append(json);
    }
    return data(items);
}

} // namespace velmora::test
