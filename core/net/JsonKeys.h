#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace velmora {

// The decoder's key rule: a snake_case key becomes camelCase. Leading and trailing
// underscores stay; the part between is split at underscores (runs of them count as
// one); a key without an inner underscore stays as it is; otherwise the first word is
// lower-cased and each further word capitalised (first letter upper, rest lower):
// "created_at" -> "createdAt", "_links" -> "_links", "user_ID" -> "userId",
// "accountId" -> "accountId".
std::string camelCaseFromSnakeCase(std::string_view key);

// The deepest nesting of lists and objects that a decoded answer may have. No tracker
// answer comes anywhere near it; a deeper one (a broken or hostile server) is refused
// rather than walked, so a body can never exhaust the stack.
inline constexpr int maxJsonNesting = 512;

// Applies the rule to every object key of the tree, at every depth. When two keys of
// one object become the same, the one met first (in the object's key order) is kept.
// Throws std::runtime_error, leaving the tree half converted, when it is nested deeper
// than `maxJsonNesting`.
void convertKeysFromSnakeCase(nlohmann::json& json);

// Parses JSON text and applies the key rule while the tree is built, with the same
// outcome as parsing and then calling convertKeysFromSnakeCase (also for keys that
// become one, and for nesting beyond `maxJsonNesting`), at little more than the cost
// of the parse alone. Throws nlohmann's parse error on text that is not JSON.
nlohmann::json parseWithKeyRule(const char* first, const char* last);

} // namespace velmora
