#include "core/model/Issue.h"

#include "core/model/Coding.h"
#include "core/model/Hashing.h"

#include <nlohmann/json.hpp>

namespace velmora {

namespace {
template <typename Json> void encode(Json& json, const Issue::State& state) {
    json = Json::object();
    json["id"] = coding::text(state.id);
    json["name"] = coding::text(state.name);
}

template <typename Json> void decode(const Json& json, Issue::State& state) {
    state = Issue::State{coding::requiredText(json, "id"), coding::requiredText(json, "name")};
}

template <typename Json> void encode(Json& json, const Issue& issue) {
    json = Json::object();
    json["id"] = coding::text(issue.id);
    if (issue.reference) {
        json["reference"] = coding::text(*issue.reference);
    }
    json["name"] = coding::text(issue.name);
    if (issue.description) {
        json["description"] = coding::text(*issue.description);
    }
    if (issue.state) {
        json["state"] = *issue.state;
    }
    if (issue.spentTime) {
        json["spentTime"] = coding::text(*issue.spentTime);
    }
    if (issue.assignee) {
        json["assignee"] = *issue.assignee;
    }
    if (issue.externalUrl) {
        json["externalUrl"] = coding::text(issue.externalUrl->toString(QUrl::FullyEncoded));
    }
}

template <typename Json> void decode(const Json& json, Issue& issue) {
    Issue result;
    result.id = coding::requiredText(json, "id");
    result.reference = coding::optionalText(json, "reference");
    result.name = coding::requiredText(json, "name");
    result.description = coding::optionalText(json, "description");
    if (const Json* state = coding::optional(json, "state")) {
        result.state = state->template get<Issue::State>();
    }
    result.spentTime = coding::optionalText(json, "spentTime");
    if (const Json* assignee = coding::optional(json, "assignee")) {
        result.assignee = assignee->template get<User>();
    }
    if (const auto url = coding::optionalText(json, "externalUrl")) {
        const QUrl parsed(*url, QUrl::StrictMode);
        // A text that is no URL fails the record, like any value of the wrong kind.
        if (url->isEmpty() || !parsed.isValid()) {
            throw CodingError("Invalid URL for \"externalUrl\"");
        }
        result.externalUrl = parsed;
    }
    issue = std::move(result);
}
} // namespace

std::size_t qHash(const Issue::State& state, std::size_t seed) {
    return HashBuilder(seed).add(state.id).add(state.name).result();
}

std::size_t qHash(const Issue& issue, std::size_t seed) {
    return HashBuilder(seed)
        .add(issue.id)
        .add(issue.reference)
        .add(issue.name)
        .add(issue.description)
        .add(issue.state)
        .add(issue.spentTime)
        .add(issue.assignee)
        .add(issue.externalUrl)
        .result();
}

VELMORA_JSON_CODING(Issue::State)

VELMORA_JSON_CODING(Issue)

} // namespace velmora
