// How fast a tracker page turns into its wire records, side by side in one run:
//
//   WireRecords      what the HTTP client does: JsonDecoder straight into the records
//   ThroughTree      the same records through the tree (parse with the key rule, then
//                    decode), the road every record without a reader of its own takes
//   NlohmannParse    nlohmann's plain parse of the same text, nothing decoded
//   QJsonHandDecode  QJsonDocument's parse and a hand decode into the same records
//
// over two real pages: a Jira search page (search/jql, 100 issues with rendered
// descriptions and assignees) and an Asana task page (100 tasks, snake_case keys, ISO
// dates), both full of non-ASCII text.
#include "BenchMain.h"
#include "core/net/JsonDecoder.h"
#include "core/net/JsonKeys.h"
#include "trackers/asana/AsanaDTOs.h"
#include "trackers/jira/JiraDTOs.h"

#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <stdexcept>
#include <string>

namespace {

using namespace velmora;

constexpr int itemsPerPage = 100;

const char* const people[] = {"Zoë Ångström", "Łukasz Żółć", "Søren Kierkegård", "井上 陽水", "Renée Müller"};

QByteArray jiraPage() {
    nlohmann::json issues = nlohmann::json::array();
    for (int i = 0; i < itemsPerPage; ++i) {
        const std::string person = people[i % 5];
        nlohmann::json assignee =
            i % 4 == 0
                ? nlohmann::json(nullptr)
                : nlohmann::json{{"self", "https://example.atlassian.net/rest/api/3/user?accountId=5b10"},
                                 {"accountId", "5b10ac8d82e05b22cc7d4ef" + std::to_string(i % 10)},
                                 {"displayName", person},
                                 {"active", true},
                                 {"timeZone", "Europe/Berlin"},
                                 {"avatarUrls",
                                  {{"16x16", "https://avatar.example/" + std::to_string(i) + "/16.png"},
                                   {"24x24", "https://avatar.example/" + std::to_string(i) + "/24.png"},
                                   {"32x32", "https://avatar.example/" + std::to_string(i) + "/32.png"},
                                   {"48x48", "https://avatar.example/" + std::to_string(i) + "/48.png"}}}};
        issues.push_back(
            {{"expand", "renderedFields,names,schema,operations"},
             {"id", std::to_string(10000 + i)},
             {"self", "https://example.atlassian.net/rest/api/3/issue/" + std::to_string(10000 + i)},
             {"key", "PRJ-" + std::to_string(i)},
             {"fields",
              {{"summary",
                "Überprüfung der Anmeldung – Schritt " + std::to_string(i) + " für " + person + " ✓"},
               {"status", {{"id", std::to_string(1 + i % 4)}, {"name", i % 2 ? "In Arbeit" : "À faire"}}},
               {"timespent", i % 3 ? nlohmann::json(i * 900) : nlohmann::json(nullptr)},
               {"assignee", assignee},
               {"description",
                {{"type", "doc"},
                 {"version", 1},
                 {"content",
                  {{{"type", "paragraph"}, {"content", {{{"type", "text"}, {"text", "Schritte…"}}}}}}}}}}},
             {"renderedFields",
              {{"timespent", i % 3 ? nlohmann::json(std::to_string(i / 4) + "h") : nlohmann::json(nullptr)},
               {"description",
                "<p>Wenn man sich mit „Übermäßig langen“ Namen anmeldet, "
                "erscheint ein Fehler: <code>Ошибка входа</code> — 認証に失敗しました。</p>"
                "<ul><li>Schritt 1: Seite öffnen</li><li>Schritt 2: Name eingeben 😀</li></ul>"}}}});
    }
    const nlohmann::json page{{"issues", issues}, {"nextPageToken", "CAEaAggD"}, {"isLast", false}};
    return QByteArray::fromStdString(page.dump());
}

QByteArray asanaPage() {
    nlohmann::json tasks = nlohmann::json::array();
    for (int i = 0; i < itemsPerPage; ++i) {
        const std::string person = people[(i + 2) % 5];
        tasks.push_back(
            {{"gid", std::to_string(1200000000000000 + i)},
             {"actual_time_minutes", i % 3 ? nlohmann::json(i * 15) : nlohmann::json(nullptr)},
             {"assignee", i % 5 == 0 ? nlohmann::json(nullptr)
                                     : nlohmann::json{{"gid", std::to_string(1100000000000 + i % 7)},
                                                      {"name", person},
                                                      {"resource_type", "user"},
                                                      {"photo",
                                                       {{"image_21x21", "https://s3.example/21.png"},
                                                        {"image_27x27", "https://s3.example/27.png"},
                                                        {"image_36x36", "https://s3.example/36.png"},
                                                        {"image_60x60", "https://s3.example/60.png"},
                                                        {"image_128x128", "https://s3.example/128.png"}}}}},
             {"html_notes", "<body>Prüfe die Übersetzung der Startseite: «Bienvenue à bord», "
                            "„Willkommen an Bord“, 欢迎光临 — und die Emojis 🚀✨.</body>"},
             {"memberships",
              {{{"project", {{"gid", "1199"}, {"name", "Relaunch"}}},
                {"section",
                 {{"gid", std::to_string(1300 + i % 3)}, {"name", i % 2 ? "Erledigt ✔" : "In Prüfung"}}}}}},
             {"name", "Aufgabe " + std::to_string(i) + ": Größenänderung für " + person},
             {"permalink_url", "https://app.asana.com/0/1199/" + std::to_string(1200000000000000 + i)},
             {"modified_at",
              "2024-03-0" + std::to_string(1 + i % 9) + "T10:1" + std::to_string(i % 10) + ":00.123Z"},
             {"resource_type", "task"}});
    }
    const nlohmann::json page{{"data", tasks}};
    return QByteArray::fromStdString(page.dump());
}

const QByteArray& jira() {
    static const QByteArray data = jiraPage();
    return data;
}

const QByteArray& asana() {
    static const QByteArray data = asanaPage();
    return data;
}

// --- the hand decode over QJsonDocument, as strict as the records -------------------------

[[noreturn]] void bad(const char* what) {
    throw std::runtime_error(what);
}

QJsonObject object(const QJsonValue& value) {
    if (!value.isObject()) {
        bad("expected an object");
    }
    return value.toObject();
}

QJsonValue required(const QJsonObject& o, QLatin1StringView key) {
    const QJsonValue value = o.value(key);
    if (value.isUndefined() || value.isNull()) {
        bad("missing");
    }
    return value;
}

QString text(const QJsonValue& value) {
    if (!value.isString()) {
        bad("expected text");
    }
    return value.toString();
}

std::optional<QString> optionalText(const QJsonObject& o, QLatin1StringView key) {
    const QJsonValue value = o.value(key);
    return value.isUndefined() || value.isNull() ? std::nullopt : std::optional<QString>(text(value));
}

std::optional<std::int64_t> optionalInteger(const QJsonObject& o, QLatin1StringView key) {
    const QJsonValue value = o.value(key);
    if (value.isUndefined() || value.isNull()) {
        return std::nullopt;
    }
    if (!value.isDouble()) {
        bad("expected a number");
    }
    const double number = value.toDouble();
    if (std::trunc(number) != number) {
        bad("expected a whole number");
    }
    return static_cast<std::int64_t>(number);
}

JiraSearchDTO handDecodeJira(const QByteArray& data) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError) {
        bad("not JSON");
    }
    const QJsonObject root = object(document.object());
    JiraSearchDTO page;
    const QJsonValue issues = required(root, QLatin1StringView("issues"));
    if (!issues.isArray()) {
        bad("expected a list");
    }
    for (const QJsonValue& item : issues.toArray()) {
        const QJsonObject issue = object(item);
        JiraTaskDTO task;
        task.id = text(required(issue, QLatin1StringView("id")));
        task.key = text(required(issue, QLatin1StringView("key")));
        const QJsonObject fields = object(required(issue, QLatin1StringView("fields")));
        task.fields.summary = text(required(fields, QLatin1StringView("summary")));
        const QJsonObject status = object(required(fields, QLatin1StringView("status")));
        task.fields.status = {text(required(status, QLatin1StringView("id"))),
                              text(required(status, QLatin1StringView("name")))};
        task.fields.timespent = optionalInteger(fields, QLatin1StringView("timespent"));
        const QJsonValue assignee = fields.value(QLatin1StringView("assignee"));
        if (!assignee.isUndefined() && !assignee.isNull()) {
            const QJsonObject a = object(assignee);
            task.fields.assignee = JiraTaskDTO::Fields::Assignee{
                text(required(a, QLatin1StringView("accountId"))),
                text(required(a, QLatin1StringView("displayName"))),
                {text(required(object(required(a, QLatin1StringView("avatarUrls"))),
                               QLatin1StringView("48x48")))}};
        }
        const QJsonObject rendered = object(required(issue, QLatin1StringView("renderedFields")));
        task.renderedFields.timespent = optionalText(rendered, QLatin1StringView("timespent"));
        task.renderedFields.description = optionalText(rendered, QLatin1StringView("description"));
        page.values.push_back(std::move(task));
    }
    page.nextPageToken = optionalText(root, QLatin1StringView("nextPageToken"));
    const QJsonValue isLast = root.value(QLatin1StringView("isLast"));
    if (isLast.isBool()) {
        page.isLast = isLast.toBool();
    }
    return page;
}

AsanaResponseDTO<std::vector<AsanaTaskDTO>> handDecodeAsana(const QByteArray& data) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError) {
        bad("not JSON");
    }
    const QJsonValue list = required(object(document.object()), QLatin1StringView("data"));
    if (!list.isArray()) {
        bad("expected a list");
    }
    AsanaResponseDTO<std::vector<AsanaTaskDTO>> page;
    for (const QJsonValue& item : list.toArray()) {
        const QJsonObject t = object(item);
        AsanaTaskDTO task;
        task.gid = text(required(t, QLatin1StringView("gid")));
        task.actualTimeMinutes = optionalInteger(t, QLatin1StringView("actual_time_minutes"));
        const QJsonValue assignee = t.value(QLatin1StringView("assignee"));
        if (!assignee.isUndefined() && !assignee.isNull()) {
            const QJsonObject a = object(assignee);
            AsanaTaskDTO::Assignee who{text(required(a, QLatin1StringView("gid"))),
                                       text(required(a, QLatin1StringView("name"))),
                                       {}};
            const QJsonValue photo = a.value(QLatin1StringView("photo"));
            if (!photo.isUndefined() && !photo.isNull()) {
                who.photo = AsanaPhotoDTO{text(required(object(photo), QLatin1StringView("image_60x60")))};
            }
            task.assignee = std::move(who);
        }
        task.htmlNotes = text(required(t, QLatin1StringView("html_notes")));
        const QJsonValue memberships = required(t, QLatin1StringView("memberships"));
        if (!memberships.isArray()) {
            bad("expected a list");
        }
        for (const QJsonValue& m : memberships.toArray()) {
            AsanaTaskDTO::Membership membership;
            const QJsonValue section = object(m).value(QLatin1StringView("section"));
            if (!section.isUndefined() && !section.isNull()) {
                const QJsonObject s = object(section);
                membership.section =
                    AsanaTaskDTO::Membership::Section{text(required(s, QLatin1StringView("gid"))),
                                                      text(required(s, QLatin1StringView("name")))};
            }
            task.memberships.push_back(std::move(membership));
        }
        task.name = text(required(t, QLatin1StringView("name")));
        task.permalinkUrl = text(required(t, QLatin1StringView("permalink_url")));
        const auto modified = parseIso8601WithFractionalSeconds(
            text(required(t, QLatin1StringView("modified_at"))).toStdString());
        if (!modified) {
            bad("not a date");
        }
        task.modifiedAt = *modified;
        page.data.push_back(std::move(task));
    }
    return page;
}

// --- the roads -------------------------------------------------------------------------------

template <typename Record>
void wireRecords(benchmark::State& state, const QByteArray& data, DateDecodingStrategy dates) {
    const JsonDecoder decoder(dates);
    for (auto _ : state) {
        auto result = decoder.decode<Record>(data);
        if (!result.ok()) {
            state.SkipWithError(qPrintable(result.error()));
            break;
        }
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * data.size());
}

template <typename Record>
void throughTree(benchmark::State& state, const QByteArray& data, DateDecodingStrategy dates) {
    const JsonDecoder decoder(dates);
    for (auto _ : state) {
        auto result = decoder.decodeTree<Record>(decoder.parse(data));
        if (!result.ok()) {
            state.SkipWithError(qPrintable(result.error()));
            break;
        }
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * data.size());
}

void nlohmannParse(benchmark::State& state, const QByteArray& data) {
    for (auto _ : state) {
        auto json = nlohmann::json::parse(data.cbegin(), data.cend());
        benchmark::DoNotOptimize(json);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * data.size());
}

template <typename Decode>
void qJsonHandDecode(benchmark::State& state, const QByteArray& data, Decode decode) {
    for (auto _ : state) {
        auto page = decode(data);
        benchmark::DoNotOptimize(page);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * data.size());
}

void BM_JiraPage_WireRecords(benchmark::State& state) {
    wireRecords<JiraSearchDTO>(state, jira(), DateDecodingStrategy::SecondsSince1970);
}
void BM_JiraPage_ThroughTree(benchmark::State& state) {
    throughTree<JiraSearchDTO>(state, jira(), DateDecodingStrategy::SecondsSince1970);
}
void BM_JiraPage_NlohmannParse(benchmark::State& state) {
    nlohmannParse(state, jira());
}
void BM_JiraPage_QJsonHandDecode(benchmark::State& state) {
    qJsonHandDecode(state, jira(), handDecodeJira);
}

using AsanaTaskPage = AsanaResponseDTO<std::vector<AsanaTaskDTO>>;
void BM_AsanaPage_WireRecords(benchmark::State& state) {
    wireRecords<AsanaTaskPage>(state, asana(), DateDecodingStrategy::Iso8601WithFractionalSeconds);
}
void BM_AsanaPage_ThroughTree(benchmark::State& state) {
    throughTree<AsanaTaskPage>(state, asana(), DateDecodingStrategy::Iso8601WithFractionalSeconds);
}
void BM_AsanaPage_NlohmannParse(benchmark::State& state) {
    nlohmannParse(state, asana());
}
void BM_AsanaPage_QJsonHandDecode(benchmark::State& state) {
    qJsonHandDecode(state, asana(), handDecodeAsana);
}

// Each side many times over, in a random order with the others, the medians compared: run one
// after the other, a spell of noise fell on one side of a ratio alone.
constexpr int repetitions = 15;
BENCHMARK(BM_JiraPage_WireRecords)->Unit(benchmark::kMicrosecond)->Repetitions(repetitions)->MinTime(0.1);
BENCHMARK(BM_JiraPage_ThroughTree)->Unit(benchmark::kMicrosecond)->Repetitions(repetitions)->MinTime(0.1);
BENCHMARK(BM_JiraPage_NlohmannParse)->Unit(benchmark::kMicrosecond)->Repetitions(repetitions)->MinTime(0.1);
BENCHMARK(BM_JiraPage_QJsonHandDecode)->Unit(benchmark::kMicrosecond)->Repetitions(repetitions)->MinTime(0.1);
BENCHMARK(BM_AsanaPage_WireRecords)->Unit(benchmark::kMicrosecond)->Repetitions(repetitions)->MinTime(0.1);
BENCHMARK(BM_AsanaPage_ThroughTree)->Unit(benchmark::kMicrosecond)->Repetitions(repetitions)->MinTime(0.1);
BENCHMARK(BM_AsanaPage_NlohmannParse)->Unit(benchmark::kMicrosecond)->Repetitions(repetitions)->MinTime(0.1);
BENCHMARK(BM_AsanaPage_QJsonHandDecode)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(repetitions)
    ->MinTime(0.1);

} // namespace

int main(int argc, char** argv) {
    velmora::bench::Bounds bounds;
    // The records straight from the text must stay well ahead of Qt's document with a
    // hand decode; falling back to the tree for every record would not.
    bounds.cpuTimeRatio("Jira page: wire records / QJsonDocument + hand decode", "BM_JiraPage_WireRecords",
                        "BM_JiraPage_QJsonHandDecode", 0.85);
    bounds.cpuTimeRatio("Asana page: wire records / QJsonDocument + hand decode", "BM_AsanaPage_WireRecords",
                        "BM_AsanaPage_QJsonHandDecode", 0.85);
    return velmora::bench::runInterleaved(argc, argv, bounds);
}
