#include "core/net/JsonKeys.h"

#include <QString>

#include <algorithm>
#include <deque>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora {

namespace {

bool isAscii(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x80) {
            return false;
        }
    }
    return true;
}

std::string lowered(std::string_view word) {
    if (!isAscii(word)) {
        return QString::fromUtf8(word.data(), static_cast<qsizetype>(word.size())).toLower().toStdString();
    }
    std::string out(word);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string capitalised(std::string_view word) {
    if (!isAscii(word)) {
        const QString lower = QString::fromUtf8(word.data(), static_cast<qsizetype>(word.size())).toLower();
        if (lower.isEmpty()) {
            return {};
        }
        // The first character may be a surrogate pair.
        const qsizetype firstLength = lower.at(0).isHighSurrogate() && lower.size() > 1 ? 2 : 1;
        QString out = lower.left(firstLength).toUpper() + lower.mid(firstLength);
        for (qsizetype i = 1; i < out.size(); ++i) {
            if (out.at(i - 1).isDigit() && out.at(i).isLower()) {
                out[i] = out.at(i).toUpper();
            }
        }
        return out.toStdString();
    }
    // Each word starts with a capital, and a letter right after a digit starts a new
    // word: "60x60" becomes "60X60".
    std::string out = lowered(word);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const bool startsWord = i == 0 || (out[i - 1] >= '0' && out[i - 1] <= '9');
        if (startsWord && out[i] >= 'a' && out[i] <= 'z') {
            out[i] = static_cast<char>(out[i] - 'a' + 'A');
        }
    }
    return out;
}

} // namespace

std::string camelCaseFromSnakeCase(std::string_view key) {
    const auto first = key.find_first_not_of('_');
    if (first == std::string_view::npos) {
        return std::string(key); // empty, or nothing but underscores
    }
    const auto last = key.find_last_not_of('_');
    const std::string_view core = key.substr(first, last - first + 1);
    if (core.find('_') == std::string_view::npos) {
        return std::string(key);
    }
    if (isAscii(core)) {
        // The common case in one pass, by the same rule as the words below: the first
        // word in lower case; every further word, and within it every letter right
        // after a digit, starting with a capital.
        std::string out;
        out.reserve(key.size());
        out.append(key.substr(0, first));
        std::size_t words = 0;
        char previous = '_';
        for (const char raw : core) {
            if (raw == '_') {
                previous = raw;
                continue;
            }
            if (previous == '_') {
                ++words;
            }
            char c = raw >= 'A' && raw <= 'Z' ? static_cast<char>(raw - 'A' + 'a') : raw;
            const bool startsWord = previous == '_' || (previous >= '0' && previous <= '9');
            if (words > 1 && startsWord && c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
            out.push_back(c);
            previous = raw;
        }
        out.append(key.substr(last + 1));
        return out;
    }
    std::vector<std::string_view> words;
    std::size_t start = 0;
    while (start < core.size()) {
        const auto end = core.find('_', start);
        const auto stop = end == std::string_view::npos ? core.size() : end;
        if (stop > start) {
            words.push_back(core.substr(start, stop - start));
        }
        start = stop + 1;
    }
    std::string out(key.substr(0, first));
    for (std::size_t i = 0; i < words.size(); ++i) {
        out += i == 0 ? lowered(words[i]) : capitalised(words[i]);
    }
    out += key.substr(last + 1);
    return out;
}

namespace {

void convertKeys(nlohmann::json& json, int depth) {
    if (!json.is_structured()) {
        return;
    }
    if (depth >= maxJsonNesting) {
        throw std::runtime_error("JSON nested more than " + std::to_string(maxJsonNesting) + " levels deep");
    }
    if (json.is_array()) {
        for (auto& element : json) {
            convertKeys(element, depth + 1);
        }
        return;
    }
    bool renames = false;
    for (auto it = json.begin(); it != json.end(); ++it) {
        convertKeys(it.value(), depth + 1);
        renames = renames || it.key().find('_') != std::string::npos;
    }
    if (!renames) {
        return;
    }
    // Members are renamed in place, moving each one's node rather than rebuilding the
    // object. Of members that end up with one name, the one whose own key comes first
    // in key order keeps it; `renamed` holds the names already taken that way.
    auto& members = json.get_ref<nlohmann::json::object_t&>();
    std::vector<std::string> renamed;
    for (auto it = members.begin(); it != members.end();) {
        const auto next = std::next(it);
        if (it->first.find('_') == std::string::npos) {
            it = next;
            continue;
        }
        std::string name = camelCaseFromSnakeCase(it->first);
        if (name == it->first) {
            it = next;
            continue;
        }
        auto node = members.extract(it);
        const auto existing = members.find(name);
        if (existing == members.end()) {
            node.key() = name;
            members.insert(std::move(node));
            renamed.push_back(std::move(name));
        } else if (std::find(renamed.begin(), renamed.end(), name) == renamed.end() && node.key() < name) {
            // A member that already had this name, but whose key comes after this one's.
            existing->second = std::move(node.mapped());
            renamed.push_back(std::move(name));
        }
        it = next;
    }
}

} // namespace

void convertKeysFromSnakeCase(nlohmann::json& json) {
    convertKeys(json, 0);
}

namespace {

// Builds the tree from parser events, converting each key as it arrives. Values of a
// member that loses a clash of names are built aside and dropped.
class KeyRuleTreeBuilder final : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit KeyRuleTreeBuilder(nlohmann::json& root) : m_root(root) {}

    bool null() override { return put(nullptr); }
    bool boolean(bool value) override { return put(value); }
    bool number_integer(number_integer_t value) override { return put(value); }
    bool number_unsigned(number_unsigned_t value) override { return put(value); }
    bool number_float(number_float_t value, const string_t&) override { return put(value); }
    bool string(string_t& value) override { return put(std::move(value)); }
    bool binary(binary_t& value) override { return put(nlohmann::json::binary(std::move(value))); }

    bool start_object(std::size_t) override { return open(nlohmann::json::value_t::object); }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(nlohmann::json::value_t::array); }
    bool end_array() override { return close(); }

    bool key(string_t& raw) override {
        Level& level = m_levels.back();
        auto& members = level.node->get_ref<nlohmann::json::object_t&>();
        const bool snake = raw.find('_') != std::string::npos;
        std::string name = snake ? camelCaseFromSnakeCase(raw) : raw;
        const auto [it, inserted] = members.emplace(name, nullptr);
        if (inserted) {
            if (name != raw) {
                level.origins.emplace(name, raw);
            }
            m_slot = &it->second;
            return true;
        }
        // Two keys of one object meet under one name: the key that comes first in key
        // order keeps it (the same key twice: the later value, as plain parsing does).
        const auto origin = level.origins.find(name);
        const std::string& holder = origin == level.origins.end() ? name : origin->second;
        if (raw <= holder) {
            level.origins[name] = raw;
            it->second = nullptr;
            m_slot = &it->second;
        } else {
            m_slot = &m_dropped.emplace_back();
        }
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) override {
        // Rethrown as what it is, so callers see the same error plain parsing gives.
        if (const auto* parseError = dynamic_cast<const nlohmann::json::parse_error*>(&error)) {
            throw *parseError;
        }
        throw std::runtime_error(error.what());
    }

private:
    struct Level {
        nlohmann::json* node;
        // Converted names whose member came from another key, and that key.
        std::map<std::string, std::string> origins;
    };

    nlohmann::json* target() {
        if (m_levels.empty()) {
            return &m_root;
        }
        nlohmann::json* node = m_levels.back().node;
        if (node->is_array()) {
            node->push_back(nullptr);
            return &node->back();
        }
        return m_slot;
    }

    template <typename V> bool put(V&& value) {
        *target() = std::forward<V>(value);
        return true;
    }

    bool open(nlohmann::json::value_t kind) {
        if (static_cast<int>(m_levels.size()) >= maxJsonNesting) {
            throw std::runtime_error("JSON nested more than " + std::to_string(maxJsonNesting) +
                                     " levels deep");
        }
        nlohmann::json* node = target();
        *node = nlohmann::json(kind);
        m_levels.push_back(Level{node, {}});
        return true;
    }

    bool close() {
        m_levels.pop_back();
        return true;
    }

    nlohmann::json& m_root;
    std::vector<Level> m_levels;
    nlohmann::json* m_slot = nullptr;
    std::deque<nlohmann::json> m_dropped;
};

} // namespace

nlohmann::json parseWithKeyRule(const char* first, const char* last) {
    nlohmann::json root;
    KeyRuleTreeBuilder builder(root);
    nlohmann::json::sax_parse(first, last, &builder);
    return root;
}

} // namespace velmora
