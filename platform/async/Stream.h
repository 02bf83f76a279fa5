#pragma once

#include "platform/async/Cancellable.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace velmora {

// A stream of values that never fails and never ends on its own (form values,
// validation outcomes, state changes). Delivery is synchronous, on the thread that
// sends. Subscribing returns a Cancellable that ends the subscription.
template <typename T>
class Stream {
public:
    using Observer = std::function<void(const T&)>;
    using SubscribeFn = std::function<Cancellable(Observer)>;

    explicit Stream(SubscribeFn subscribe) : m_subscribe(std::move(subscribe)) {}

    Cancellable subscribe(Observer observer) const { return m_subscribe(std::move(observer)); }

    template <typename F, typename U = std::decay_t<std::invoke_result_t<F, const T&>>>
    Stream<U> map(F f) const {
        auto up = *this;
        return Stream<U>([up, f = std::move(f)](typename Stream<U>::Observer observer) {
            return up.subscribe([f, observer = std::move(observer)](const T& v) { observer(f(v)); });
        });
    }

    Stream filter(std::function<bool(const T&)> keep) const {
        auto up = *this;
        return Stream([up, keep = std::move(keep)](Observer observer) {
            return up.subscribe([keep, observer = std::move(observer)](const T& v) {
                if (keep(v)) {
                    observer(v);
                }
            });
        });
    }

    // Skips the first `count` values of each subscription.
    Stream dropFirst(int count = 1) const {
        auto up = *this;
        return Stream([up, count](Observer observer) {
            auto seen = std::make_shared<int>(0);
            return up.subscribe([seen, count, observer = std::move(observer)](const T& v) {
                if (*seen < count) {
                    ++*seen;
                    return;
                }
                observer(v);
            });
        });
    }

    // Passes a value only when it differs from the one passed before it.
    Stream removeDuplicates() const {
        auto up = *this;
        return Stream([up](Observer observer) {
            auto last = std::make_shared<std::optional<T>>();
            return up.subscribe([last, observer = std::move(observer)](const T& v) {
                if (*last && **last == v) {
                    return;
                }
                *last = v;
                observer(v);
            });
        });
    }

    // Values of both streams, as each arrives.
    static Stream merge(const Stream& a, const Stream& b) {
        return Stream([a, b](Observer observer) {
            auto shared = std::make_shared<Observer>(std::move(observer));
            auto first = std::make_shared<Cancellable>(a.subscribe([shared](const T& v) { (*shared)(v); }));
            auto second = std::make_shared<Cancellable>(b.subscribe([shared](const T& v) { (*shared)(v); }));
            return Cancellable([first, second] {
                first->cancel();
                second->cancel();
            });
        });
    }

private:
    SubscribeFn m_subscribe;
};

namespace detail {
// The observer list behind both subjects. Sending works on a copy of the list, so
// observers may subscribe or cancel while a value is being delivered.
template <typename T>
class ObserverList {
public:
    using Observer = std::function<void(const T&)>;

    Cancellable add(Observer observer) {
        const auto id = ++m_nextId;
        m_observers->emplace(id, std::make_shared<Observer>(std::move(observer)));
        std::weak_ptr<Map> weak = m_observers;
        return Cancellable([weak, id] {
            if (auto map = weak.lock()) {
                map->erase(id);
            }
        });
    }

    void send(const T& value) const {
        std::vector<std::pair<unsigned long, std::shared_ptr<Observer>>> snapshot(m_observers->begin(),
                                                                                   m_observers->end());
        for (auto& [id, observer] : snapshot) {
            // One cancelled during this delivery is not called any more.
            if (m_observers->count(id)) {
                (*observer)(value);
            }
        }
    }

    std::size_t count() const { return m_observers->size(); }

private:
    using Map = std::map<unsigned long, std::shared_ptr<Observer>>;
    std::shared_ptr<Map> m_observers = std::make_shared<Map>();
    unsigned long m_nextId = 0;
};
} // namespace detail

// Hands each sent value to the observers subscribed at that moment.
template <typename T>
class PassthroughSubject {
public:
    void send(const T& value) { m_state->send(value); }
    Cancellable subscribe(std::function<void(const T&)> observer) { return m_state->add(std::move(observer)); }
    std::size_t observerCount() const { return m_state->count(); }

    // A stream over this subject; it stays usable after the subject is gone (it
    // then simply delivers nothing more).
    Stream<T> stream() const {
        std::weak_ptr<detail::ObserverList<T>> weak = m_state;
        return Stream<T>([weak](typename Stream<T>::Observer observer) {
            if (auto s = weak.lock()) {
                return s->add(std::move(observer));
            }
            return Cancellable();
        });
    }

private:
    std::shared_ptr<detail::ObserverList<T>> m_state = std::make_shared<detail::ObserverList<T>>();
};

// Holds a current value; a new observer receives it at once, then every value
// sent afterwards (also one equal to the current).
template <typename T>
class CurrentValueSubject {
public:
    explicit CurrentValueSubject(T initial) : m_state(std::make_shared<State>(std::move(initial))) {}

    const T& value() const { return m_state->value; }
    void send(T value) {
        m_state->value = std::move(value);
        m_state->observers.send(m_state->value);
    }
    Cancellable subscribe(std::function<void(const T&)> observer) { return stream().subscribe(std::move(observer)); }

    Stream<T> stream() const {
        std::weak_ptr<State> weak = m_state;
        return Stream<T>([weak](typename Stream<T>::Observer observer) {
            auto s = weak.lock();
            if (!s) {
                return Cancellable();
            }
            auto first = std::make_shared<typename Stream<T>::Observer>(std::move(observer));
            auto token = s->observers.add([first](const T& v) { (*first)(v); });
            (*first)(s->value);
            return token;
        });
    }

private:
    struct State {
        explicit State(T v) : value(std::move(v)) {}
        T value;
        detail::ObserverList<T> observers;
    };
    std::shared_ptr<State> m_state;
};

} // namespace velmora
