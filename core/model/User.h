#pragma once

#include <QString>

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <functional>
#include <optional>

namespace velmora {

// A user of the tracker (an assignee, say). Coded form: "id", "name", "avatar"
// (left out when absent).
struct User {
    QString id;
    QString name;
    // The address of the avatar image; absent is not the same as empty.
    std::optional<QString> avatar;

    friend bool operator==(const User&, const User&) = default;
};

std::size_t qHash(const User& user, std::size_t seed = 0);

void to_json(nlohmann::json& json, const User& user);
void to_json(nlohmann::ordered_json& json, const User& user);
void from_json(const nlohmann::json& json, User& user);
void from_json(const nlohmann::ordered_json& json, User& user);

} // namespace velmora

template <> struct std::hash<velmora::User> {
    std::size_t operator()(const velmora::User& user) const { return velmora::qHash(user); }
};
