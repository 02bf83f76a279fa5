#pragma once

#include "core/model/APIError.h"
#include "platform/async/Publisher.h"

#include <concepts>
#include <cstdint>
#include <vector>

namespace velmora {

// How one tracker list is paged: the page record, the item it yields and the
// position of a page (an offset, a cursor, a date...).
template <typename C>
concept PaginatorConfig = requires(const C& config, const typename C::ResponseType& page,
                                   const typename C::SkipType& skip) {
    typename C::ResponseType;
    typename C::ItemType;
    typename C::SkipType;
    { config.pageSize } -> std::convertible_to<std::int64_t>;
    { config.initialSkip } -> std::convertible_to<typename C::SkipType>;
    { config.isLastPage(page) } -> std::convertible_to<bool>;
    { config.calculateNextSkip(skip, page) } -> std::convertible_to<typename C::SkipType>;
    { config.extractItems(page) } -> std::convertible_to<std::vector<typename C::ItemType>>;
};

// Something that reads a list page by page: `fetchFirst()`, then `fetchNext()`
// while `hasMorePages()`; or all of it at once with `fetchAll()`.
template <typename P>
concept Paginator = requires(P& paginator, const P& constPaginator) {
    typename P::ItemType;
    { constPaginator.hasMorePages() } -> std::convertible_to<bool>;
    { paginator.fetchFirst() } -> std::same_as<Publisher<std::vector<typename P::ItemType>, APIError>>;
    { paginator.fetchNext() } -> std::same_as<Publisher<std::vector<typename P::ItemType>, APIError>>;
    paginator.reset();
    { paginator.fetchAll() } -> std::same_as<Publisher<std::vector<typename P::ItemType>, APIError>>;
};

} // namespace velmora
