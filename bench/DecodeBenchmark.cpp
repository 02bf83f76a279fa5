// How fast a page of tracker records turns into wire records: JSON parsing, the
// snake_case key rule over the whole tree, and strict decoding with dates.
#include "core/net/JsonDecoder.h"

#include <benchmark/benchmark.h>

#include <QByteArray>

#include <cstdlib>
#include <optional>
#include <vector>

namespace {

using namespace velmora;

struct AssigneeDTO {
    QString accountId;
    QString displayName;
    std::optional<QString> avatarUrl;
};
void from_json(const nlohmann::json& j, AssigneeDTO& v) {
    wire::field(j, "accountId", v.accountId);
    wire::field(j, "displayName", v.displayName);
    wire::field(j, "avatarUrl", v.avatarUrl);
}

struct RecordDTO {
    QString id;
    QString key;
    QString summary;
    std::optional<QString> description;
    std::int64_t timeSpentSeconds = 0;
    double progress = 0;
    bool resolved = false;
    QDateTime createdAt;
    std::optional<AssigneeDTO> assignee;
    std::vector<QString> labels;
};
void from_json(const nlohmann::json& j, RecordDTO& v) {
    wire::field(j, "id", v.id);
    wire::field(j, "key", v.key);
    wire::field(j, "summary", v.summary);
    wire::field(j, "description", v.description);
    wire::field(j, "timeSpentSeconds", v.timeSpentSeconds);
    wire::field(j, "progress", v.progress);
    wire::field(j, "resolved", v.resolved);
    wire::field(j, "createdAt", v.createdAt);
    wire::field(j, "assignee", v.assignee);
    wire::field(j, "labels", v.labels);
}

struct PageDTO {
    std::int64_t startAt = 0;
    std::int64_t maxResults = 0;
    std::int64_t total = 0;
    bool isLast = false;
    std::vector<RecordDTO> values;
};
void from_json(const nlohmann::json& j, PageDTO& v) {
    wire::field(j, "startAt", v.startAt);
    wire::field(j, "maxResults", v.maxResults);
    wire::field(j, "total", v.total);
    wire::field(j, "isLast", v.isLast);
    wire::field(j, "values", v.values);
}

// A page of about `bytes` bytes of records with snake_case keys.
QByteArray makePage(std::size_t bytes) {
    nlohmann::json values = nlohmann::json::array();
    std::size_t size = 0;
    for (int i = 0; size < bytes; ++i) {
        nlohmann::json record{
            {"id", std::to_string(10000 + i)},
            {"key", "PRJ-" + std::to_string(i)},
            {"summary", "Make the thing number " + std::to_string(i) + " work with the other things"},
            {"description", i % 3 ? nlohmann::json("A longer text that explains what the task is about, "
                                                   "with enough words to look like a real description.")
                                  : nlohmann::json(nullptr)},
            {"time_spent_seconds", i * 60},
            {"progress", (i % 100) / 100.0},
            {"resolved", i % 2 == 0},
            {"created_at", 1700000000.0 + i * 3600.5},
            {"assignee",
             {{"account_id", "5b10ac8d82e05b22cc7d4ef" + std::to_string(i % 10)},
              {"display_name", "Person " + std::to_string(i % 10)},
              {"avatar_url", "https://avatars.example/" + std::to_string(i % 10) + "/48.png"}}},
            {"labels", {"backend", "team_" + std::to_string(i % 5)}},
            {"custom_field_10020", {{"unused_value", i}}},
        };
        size += record.dump().size() + 1;
        values.push_back(std::move(record));
    }
    const nlohmann::json page{{"start_at", 0},
                              {"max_results", values.size()},
                              {"total", values.size()},
                              {"is_last", true},
                              {"values", values}};
    return QByteArray::fromStdString(page.dump());
}

const QByteArray& page() {
    static const QByteArray data = makePage(1 << 20);
    return data;
}

void BM_DecodePage(benchmark::State& state) {
    const JsonDecoder decoder(DateDecodingStrategy::SecondsSince1970);
    const QByteArray& data = page();
    for (auto _ : state) {
        auto result = decoder.decode<PageDTO>(data);
        if (!result.ok()) {
            state.SkipWithError(qPrintable(result.error()));
            break;
        }
        benchmark::DoNotOptimize(result.value().values.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * data.size());
}
BENCHMARK(BM_DecodePage)->Unit(benchmark::kMillisecond);

void BM_ParseOnly(benchmark::State& state) {
    const QByteArray& data = page();
    for (auto _ : state) {
        auto json = nlohmann::json::parse(data.cbegin(), data.cend());
        benchmark::DoNotOptimize(json);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * data.size());
}
BENCHMARK(BM_ParseOnly)->Unit(benchmark::kMillisecond);

void BM_KeyRuleOnly(benchmark::State& state) {
    const auto parsed = nlohmann::json::parse(page().cbegin(), page().cend());
    for (auto _ : state) {
        state.PauseTiming();
        auto json = parsed;
        state.ResumeTiming();
        convertKeysFromSnakeCase(json);
        benchmark::DoNotOptimize(json);
    }
}
BENCHMARK(BM_KeyRuleOnly)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
