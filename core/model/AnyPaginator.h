#pragma once

#include "core/model/APIError.h"
#include "core/model/Paginator.h"
#include "platform/async/Publisher.h"

#include <concepts>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace velmora {

// A paginator of `Item` whatever its tracker and paging: the task list holds one
// without knowing which tracker it reads. It keeps the wrapped paginator alive and
// forwards every call to it; copies share it.
template <typename Item> class AnyPaginator {
public:
    using ItemType = Item;
    using Items = std::vector<Item>;
    using ItemsPublisher = Publisher<Items, APIError>;

    template <typename P>
    requires Paginator<P> && std::same_as<typename P::ItemType, Item> &&
        (!std::same_as<std::remove_cvref_t<P>, AnyPaginator>)explicit AnyPaginator(P paginator) {
        auto held = std::make_shared<P>(std::move(paginator));
        m_hasMorePages = [held] { return static_cast<bool>(std::as_const(*held).hasMorePages()); };
        m_fetchFirst = [held] { return held->fetchFirst(); };
        m_fetchNext = [held] { return held->fetchNext(); };
        m_reset = [held] { held->reset(); };
        m_fetchAll = [held] { return held->fetchAll(); };
    }

    bool hasMorePages() const { return m_hasMorePages(); }
    ItemsPublisher fetchFirst() { return m_fetchFirst(); }
    ItemsPublisher fetchNext() { return m_fetchNext(); }
    void reset() { m_reset(); }
    ItemsPublisher fetchAll() { return m_fetchAll(); }

private:
    std::function<bool()> m_hasMorePages;
    std::function<ItemsPublisher()> m_fetchFirst;
    std::function<ItemsPublisher()> m_fetchNext;
    std::function<void()> m_reset;
    std::function<ItemsPublisher()> m_fetchAll;
};

} // namespace velmora
