#include "core/net/JsonKeys.h"

#include <QString>

#include <algorithm>
#include <iterator>
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

} // namespace velmora
