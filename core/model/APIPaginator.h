#pragma once

#include "core/model/APIError.h"
#include "core/model/Paginator.h"
#include "platform/async/Publisher.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace velmora {

// Walks the pages of one tracker list with a paging configuration and a page
// loader that the connector supplies.
//
// Page by page: `fetchFirst()` yields the first page's items, each `fetchNext()` the
// next page's, while `hasMorePages()` holds; `fetchNext()` with no known next page
// fails at once with `noMorePages` and sends nothing. A failed page changes nothing,
// so the next `fetchNext()` asks for the same page again. `reset()` forgets the
// position. Whole list: `fetchAll()` reads every page, strictly one after another,
// and yields them as one list; a failing page fails the whole read.
//
// The page loader is called when a fetch is called (for `fetchAll()`, later pages
// when the page before arrived); its request runs when the fetch is subscribed.
//
// A paginator has identity: copies share one state, and every fetch keeps that
// state alive until it completes. The state is guarded, so `hasMorePages()` may be
// read on the main thread while a page arrives on another; the paginator does not
// order overlapping fetches itself (two `fetchNext()` before the first completes ask
// for the same page).
template <typename Config>
requires PaginatorConfig<Config>
class APIPaginator {
public:
    using ItemType = typename Config::ItemType;
    using ResponseType = typename Config::ResponseType;
    using SkipType = typename Config::SkipType;
    using Items = std::vector<ItemType>;
    using ItemsPublisher = Publisher<Items, APIError>;
    using PageLoader =
        std::function<Publisher<ResponseType, APIError>(std::int64_t pageSize, const SkipType& skip)>;

    APIPaginator(Config config, PageLoader fetchPage)
        : m_state(std::make_shared<State>(std::move(config), std::move(fetchPage))) {}

    // A next page is known (also one at an empty cursor).
    bool hasMorePages() const {
        std::lock_guard lock(m_state->mutex);
        return m_state->latestSkip.has_value();
    }

    // The position `fetchNext()` would read; none when no next page is known.
    std::optional<SkipType> latestSkip() const {
        std::lock_guard lock(m_state->mutex);
        return m_state->latestSkip;
    }

    // Every item that `fetchAll()` gathered on this paginator (page-by-page reading
    // adds nothing here).
    Items accumulatedResults() const {
        std::lock_guard lock(m_state->mutex);
        return m_state->accumulated;
    }

    ItemsPublisher fetchFirst() {
        const SkipType skip = m_state->config.initialSkip;
        return readPage(m_state, skip);
    }

    ItemsPublisher fetchNext() {
        std::optional<SkipType> skip = latestSkip();
        if (!skip) {
            return ItemsPublisher::fail(APIError::noMorePages());
        }
        return readPage(m_state, *skip);
    }

    void reset() {
        std::lock_guard lock(m_state->mutex);
        m_state->latestSkip.reset();
    }

    // Yields the items of this read's own pages only: a second `fetchAll()` on the
    // same paginator does not repeat the first one's items.
    ItemsPublisher fetchAll() {
        auto state = m_state;
        const SkipType skip = state->config.initialSkip;
        auto firstPage = state->fetchPage(state->config.pageSize, skip);
        return ItemsPublisher(
            [state, firstPage, skip](const SubscriptionPtr& sub, typename ItemsPublisher::Sink sink) {
                gather(state, firstPage, skip, std::make_shared<Items>()).start(sub, std::move(sink));
            });
    }

private:
    struct State {
        State(Config c, PageLoader loader) : config(std::move(c)), fetchPage(std::move(loader)) {}
        const Config config;
        const PageLoader fetchPage;
        std::mutex mutex;
        Items accumulated;
        std::optional<SkipType> latestSkip;
    };

    // One page of page-by-page reading: the position moves on before the items are
    // yielded, so a caller that reads `hasMorePages()` on delivery sees the new state.
    static ItemsPublisher readPage(const std::shared_ptr<State>& state, const SkipType& skip) {
        return state->fetchPage(state->config.pageSize, skip).map([state, skip](ResponseType page) {
            std::optional<SkipType> next;
            if (!state->config.isLastPage(page)) {
                next = state->config.calculateNextSkip(skip, page);
            }
            {
                std::lock_guard lock(state->mutex);
                state->latestSkip = std::move(next);
            }
            return Items(state->config.extractItems(page));
        });
    }

    static ItemsPublisher gather(std::shared_ptr<State> state, Publisher<ResponseType, APIError> page,
                                 SkipType skip, std::shared_ptr<Items> run) {
        return page.flatMap([state, skip, run](ResponseType response) {
            Items items = state->config.extractItems(response);
            {
                std::lock_guard lock(state->mutex);
                state->accumulated.insert(state->accumulated.end(), items.begin(), items.end());
            }
            run->insert(run->end(), std::make_move_iterator(items.begin()),
                        std::make_move_iterator(items.end()));
            if (state->config.isLastPage(response)) {
                return ItemsPublisher::just(*run);
            }
            SkipType next = state->config.calculateNextSkip(skip, response);
            auto nextPage = state->fetchPage(state->config.pageSize, next);
            return gather(state, std::move(nextPage), std::move(next), run);
        });
    }

    std::shared_ptr<State> m_state;
};

} // namespace velmora
