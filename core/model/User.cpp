#include "core/model/User.h"

#include "core/model/Coding.h"
#include "core/model/Hashing.h"

namespace velmora {

namespace {
template <typename Json> void encode(Json& json, const User& user) {
    json = Json::object();
    json["id"] = coding::text(user.id);
    json["name"] = coding::text(user.name);
    if (user.avatar) {
        json["avatar"] = coding::text(*user.avatar);
    }
}

template <typename Json> void decode(const Json& json, User& user) {
    user = User{coding::requiredText(json, "id"), coding::requiredText(json, "name"),
                coding::optionalText(json, "avatar")};
}
} // namespace

std::size_t qHash(const User& user, std::size_t seed) {
    return HashBuilder(seed).add(user.id).add(user.name).add(user.avatar).result();
}

VELMORA_JSON_CODING(User)

} // namespace velmora
