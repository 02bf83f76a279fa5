#pragma once

#include "core/model/User.h"

#include <QString>
#include <QUrl>

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <functional>
#include <optional>

namespace velmora {

// A task of the tracker. Compared and hashed by every field: two tasks with the same
// id but another spent time are different values.
//
// Coded form: "id", "reference", "name", "description", "state", "spentTime",
// "assignee", "externalUrl" (the URL as text); absent optionals are left out.
struct Issue {
    // A task state. The state whose id is "Unresolved" stands for every task that is
    // not resolved, not for a state of the tracker.
    struct State {
        QString id;
        QString name;

        static constexpr char unresolvedId[] = "Unresolved";

        // The sentinel as the Jira and YouTrack connectors put it first in a state list.
        static State unresolved() {
            return State{QStringLiteral("Unresolved"), QStringLiteral("Unresolved")};
        }
        // By id alone: a state with this id and another name still means "unresolved".
        bool isUnresolved() const { return id == QLatin1String(unresolvedId); }

        friend bool operator==(const State&, const State&) = default;
    };

    QString id;
    // The human-readable key (a Jira issue key, say).
    std::optional<QString> reference;
    QString name;
    // As the tracker renders it; may be HTML.
    std::optional<QString> description;
    std::optional<State> state;
    // Time already spent, as display text prepared by the connector.
    std::optional<QString> spentTime;
    std::optional<User> assignee;
    // The task's page in the tracker's web interface.
    std::optional<QUrl> externalUrl;

    friend bool operator==(const Issue&, const Issue&) = default;
};

std::size_t qHash(const Issue::State& state, std::size_t seed = 0);
std::size_t qHash(const Issue& issue, std::size_t seed = 0);

void to_json(nlohmann::json& json, const Issue::State& state);
void to_json(nlohmann::ordered_json& json, const Issue::State& state);
void from_json(const nlohmann::json& json, Issue::State& state);
void from_json(const nlohmann::ordered_json& json, Issue::State& state);

void to_json(nlohmann::json& json, const Issue& issue);
void to_json(nlohmann::ordered_json& json, const Issue& issue);
void from_json(const nlohmann::json& json, Issue& issue);
void from_json(const nlohmann::ordered_json& json, Issue& issue);

} // namespace velmora

template <> struct std::hash<velmora::Issue::State> {
    std::size_t operator()(const velmora::Issue::State& state) const { return velmora::qHash(state); }
};

template <> struct std::hash<velmora::Issue> {
    std::size_t operator()(const velmora::Issue& issue) const { return velmora::qHash(issue); }
};
