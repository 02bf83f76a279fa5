#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

namespace velmora::introspection {

// A lazy depth-first, pre-order walk: every element comes before its descendants, and an
// element's descendants before its next sibling. An element's children are asked for only
// when the walk hands that element out, so a caller that stops early never reads the rest.
template <typename T, typename Children> class PreorderWalk {
public:
    PreorderWalk(std::vector<T> roots, Children children) : children_(std::move(children)) {
        levels_.push_back({std::move(roots), 0});
    }

    std::optional<T> next() {
        while (!levels_.empty()) {
            Level& level = levels_.back();
            if (level.index < level.items.size()) {
                T item = level.items[level.index++];
                levels_.push_back({children_(item), 0});
                return item;
            }
            levels_.pop_back();
        }
        return std::nullopt;
    }

private:
    struct Level {
        std::vector<T> items;
        std::size_t index;
    };
    Children children_;
    std::vector<Level> levels_;
};

template <typename T, typename Children>
PreorderWalk<T, Children> recursivePreorder(std::vector<T> roots, Children children) {
    return PreorderWalk<T, Children>(std::move(roots), std::move(children));
}

} // namespace velmora::introspection
