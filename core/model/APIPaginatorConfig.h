#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace velmora {

// The paging of one tracker list, as the connector describes it.
//
// `Skip` is the position of a page: an integer offset, or an optional cursor or
// date where the tracker hands out cursors (an empty cursor is still a position).
template <typename Response, typename Item, typename Skip> struct APIPaginatorConfig {
    using ResponseType = Response;
    using ItemType = Item;
    using SkipType = Skip;

    // Items asked for per page; handed to the page loader with every request.
    std::int64_t pageSize = 0;
    // The position of the first page.
    Skip initialSkip{};
    // True when the page just read is the last one.
    std::function<bool(const Response& page)> isLastPage;
    // The position of the page after `page`, which was read at `skip`.
    std::function<Skip(const Skip& skip, const Response& page)> calculateNextSkip;
    // The items of a page, already in the form the caller wants.
    std::function<std::vector<Item>(const Response& page)> extractItems;
};

} // namespace velmora
