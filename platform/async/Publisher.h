#pragma once

#include "platform/async/Cancellable.h"
#include "platform/async/Result.h"
#include "platform/async/Subscription.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace velmora {

template <typename T, typename E>
class Publisher;

namespace detail {
template <typename P>
struct IsPublisher : std::false_type {};
template <typename T, typename E>
struct IsPublisher<Publisher<T, E>> : std::true_type {};

template <typename R>
struct ResultTraits;
template <typename T, typename E>
struct ResultTraits<Result<T, E>> {
    using Value = T;
    using Error = E;
};
} // namespace detail

// A cold, single-shot asynchronous operation: nothing runs until it is subscribed,
// and each subscription runs it anew and completes exactly once with a value or an
// error, unless it is cancelled first (then it completes never).
//
// Operators build a new publisher around this one; a chain shares one Subscription,
// so cancelling the chain reaches whichever stage is running.
template <typename T, typename E>
class Publisher {
public:
    using Output = T;
    using Failure = E;
    using ResultType = Result<T, E>;
    using Sink = std::function<void(ResultType)>;
    using Start = std::function<void(const SubscriptionPtr&, Sink)>;

    explicit Publisher(Start start) : m_start(std::move(start)) {}

    // --- making publishers -------------------------------------------------

    static Publisher just(T value) {
        return Publisher([value = std::move(value)](const SubscriptionPtr&, Sink sink) {
            sink(ResultType::success(value));
        });
    }

    static Publisher fail(E error) {
        return Publisher([error = std::move(error)](const SubscriptionPtr&, Sink sink) {
            sink(ResultType::failure(error));
        });
    }

    // `body` starts the work and calls the sink once; it may return a hook that
    // undoes the work when the chain is cancelled before it finished.
    static Publisher create(std::function<std::function<void()>(Sink)> body) {
        return Publisher([body = std::move(body)](const SubscriptionPtr& sub, Sink sink) {
            struct Guard {
                std::mutex mutex;
                bool finished = false;
                Subscription::HookId hook = 0;
            };
            auto guard = std::make_shared<Guard>();
            std::weak_ptr<Subscription> weakSub = sub;
            auto cancelHook = body([sink = std::move(sink), guard, weakSub](ResultType r) {
                Subscription::HookId hook;
                {
                    std::lock_guard lock(guard->mutex);
                    guard->finished = true;
                    hook = guard->hook;
                }
                if (auto s = weakSub.lock(); s && hook) {
                    s->removeHook(hook);
                }
                sink(std::move(r));
            });
            if (!cancelHook) {
                return;
            }
            {
                std::lock_guard lock(guard->mutex);
                // Work that already finished (synchronously) has nothing left to undo.
                if (guard->finished) {
                    return;
                }
            }
            // Not under the lock: a hook may finish the work synchronously (an aborted
            // reply reports at once), which calls the sink above.
            const auto id = sub->onCancel(std::move(cancelHook));
            bool finishedMeanwhile;
            {
                std::lock_guard lock(guard->mutex);
                guard->hook = id;
                finishedMeanwhile = guard->finished;
            }
            if (finishedMeanwhile && id) {
                sub->removeHook(id);
            }
        });
    }

    // Builds the publisher only when it is subscribed.
    static Publisher deferred(std::function<Publisher()> make) {
        return Publisher([make = std::move(make)](const SubscriptionPtr& sub, Sink sink) {
            make().start(sub, std::move(sink));
        });
    }

    // --- subscribing ---------------------------------------------------------

    Cancellable subscribe(std::function<void(ResultType)> onResult) const {
        auto sub = std::make_shared<Subscription>();
        // The chain only holds its subscription weakly; a detached one is kept alive by
        // the final delivery itself until the outcome arrives (or the work is dropped).
        struct KeepAlive {
            std::mutex mutex;
            bool delivered = false;
            SubscriptionPtr subscription;
        };
        auto keep = std::make_shared<KeepAlive>();
        start(sub, [onResult = std::move(onResult), keep](ResultType r) {
            SubscriptionPtr holdUntilDelivered;
            {
                std::lock_guard lock(keep->mutex);
                keep->delivered = true;
                holdUntilDelivered = std::move(keep->subscription);
            }
            onResult(std::move(r));
        });
        return Cancellable([sub] { sub->cancel(); },
                           [sub, keep] {
                               std::lock_guard lock(keep->mutex);
                               if (!keep->delivered) {
                                   keep->subscription = sub;
                               }
                           });
    }

    Cancellable sink(std::function<void(T)> onValue, std::function<void(E)> onError) const {
        return subscribe([onValue = std::move(onValue), onError = std::move(onError)](ResultType r) {
            if (r.ok()) {
                if (onValue) {
                    onValue(std::move(r).value());
                }
            } else if (onError) {
                onError(r.error());
            }
        });
    }

    // Runs this publisher as one stage of an existing chain. The sink is called at
    // most once and never after the chain was cancelled.
    void start(const SubscriptionPtr& sub, Sink sink) const {
        if (sub->isCancelled()) {
            return;
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        std::weak_ptr<Subscription> weakSub = sub;
        m_start(sub, [sink = std::move(sink), done, weakSub](ResultType r) {
            auto s = weakSub.lock();
            if (!s || s->isCancelled() || done->exchange(true)) {
                return;
            }
            sink(std::move(r));
        });
    }

    // --- operators -----------------------------------------------------------

    template <typename F, typename U = std::invoke_result_t<F, T>>
    Publisher<U, E> map(F f) const {
        auto up = *this;
        return Publisher<U, E>([up, f = std::move(f)](const SubscriptionPtr& sub, auto sink) {
            up.start(sub, [f, sink = std::move(sink)](ResultType r) {
                if (r.ok()) {
                    sink(Result<U, E>::success(f(std::move(r).value())));
                } else {
                    sink(Result<U, E>::failure(r.error()));
                }
            });
        });
    }

    // `f` turns the value into a Result of another type (a decode that may fail).
    template <typename F, typename R = std::invoke_result_t<F, T>,
              typename U = typename detail::ResultTraits<R>::Value>
    Publisher<U, E> tryMap(F f) const {
        static_assert(std::is_same_v<typename detail::ResultTraits<R>::Error, E>);
        auto up = *this;
        return Publisher<U, E>([up, f = std::move(f)](const SubscriptionPtr& sub, auto sink) {
            up.start(sub, [f, sink = std::move(sink)](ResultType r) {
                if (r.ok()) {
                    sink(f(std::move(r).value()));
                } else {
                    sink(Result<U, E>::failure(r.error()));
                }
            });
        });
    }

    template <typename F, typename P = std::invoke_result_t<F, T>, typename U = typename P::Output>
    Publisher<U, E> flatMap(F f) const {
        static_assert(detail::IsPublisher<P>::value && std::is_same_v<typename P::Failure, E>);
        auto up = *this;
        return Publisher<U, E>([up, f = std::move(f)](const SubscriptionPtr& sub, auto sink) {
            std::weak_ptr<Subscription> weakSub = sub;
            up.start(sub, [f, sink = std::move(sink), weakSub](ResultType r) {
                if (!r.ok()) {
                    sink(Result<U, E>::failure(r.error()));
                    return;
                }
                if (auto s = weakSub.lock()) {
                    f(std::move(r).value()).start(s, std::move(sink));
                }
            });
        });
    }

    // Replaces an error with the outcome of another publisher of the same output.
    template <typename F>
    Publisher catchError(F f) const {
        auto up = *this;
        return Publisher([up, f = std::move(f)](const SubscriptionPtr& sub, Sink sink) {
            std::weak_ptr<Subscription> weakSub = sub;
            up.start(sub, [f, sink = std::move(sink), weakSub](ResultType r) {
                if (r.ok()) {
                    sink(std::move(r));
                    return;
                }
                if (auto s = weakSub.lock()) {
                    Publisher next = f(r.error());
                    next.start(s, std::move(sink));
                }
            });
        });
    }

    template <typename F, typename E2 = std::invoke_result_t<F, E>>
    Publisher<T, E2> mapError(F f) const {
        auto up = *this;
        return Publisher<T, E2>([up, f = std::move(f)](const SubscriptionPtr& sub, auto sink) {
            up.start(sub, [f, sink = std::move(sink)](ResultType r) {
                if (r.ok()) {
                    sink(Result<T, E2>::success(std::move(r).value()));
                } else {
                    sink(Result<T, E2>::failure(f(r.error())));
                }
            });
        });
    }

    // Side effects on the way through; the outcome passes unchanged.
    Publisher handleEvents(std::function<void(const T&)> onValue, std::function<void(const E&)> onError = {},
                           std::function<void()> onCancel = {}) const {
        auto up = *this;
        return Publisher([up, onValue = std::move(onValue), onError = std::move(onError),
                          onCancel = std::move(onCancel)](const SubscriptionPtr& sub, Sink sink) {
            Subscription::HookId hook = 0;
            if (onCancel) {
                hook = sub->onCancel(onCancel);
            }
            std::weak_ptr<Subscription> weakSub = sub;
            up.start(sub, [onValue, onError, sink = std::move(sink), weakSub, hook](ResultType r) {
                if (auto s = weakSub.lock(); s && hook) {
                    s->removeHook(hook);
                }
                if (r.ok()) {
                    if (onValue) {
                        onValue(r.value());
                    }
                } else if (onError) {
                    onError(r.error());
                }
                sink(std::move(r));
            });
        });
    }

    // Delivers the outcome on `context`'s thread through its event loop, always
    // queued: a completion never runs inside the call that caused it. When the
    // context is gone by then, nothing is delivered.
    Publisher receiveOn(QObject* context) const {
        auto up = *this;
        QPointer<QObject> ctx(context);
        return Publisher([up, ctx](const SubscriptionPtr& sub, Sink sink) {
            up.start(sub, [ctx, sink = std::move(sink)](ResultType r) {
                if (!ctx) {
                    return;
                }
                QMetaObject::invokeMethod(
                    ctx.data(), [sink, r = std::move(r)]() mutable { sink(std::move(r)); }, Qt::QueuedConnection);
            });
        });
    }

    // Delivers on the application's main (GUI) thread.
    Publisher receiveOnMain() const { return receiveOn(QCoreApplication::instance()); }

    // Erases nothing but reads well at the end of a chain.
    Publisher eraseToAnyPublisher() const { return *this; }

private:
    Start m_start;
};

// Runs all publishers, at most `maxConcurrent` at a time (0: all at once), and
// yields their values in the order of the input. The first error fails the whole
// and cancels the rest.
template <typename T, typename E>
Publisher<std::vector<T>, E> whenAll(std::vector<Publisher<T, E>> publishers, std::size_t maxConcurrent = 0) {
    using Out = Result<std::vector<T>, E>;
    return Publisher<std::vector<T>, E>([publishers = std::move(publishers), maxConcurrent](
                                            const SubscriptionPtr& sub, std::function<void(Out)> sink) {
        struct State {
            std::vector<Publisher<T, E>> publishers;
            std::vector<std::optional<T>> values;
            std::size_t nextToStart = 0;
            std::size_t finished = 0;
            bool failed = false;
            std::function<void(Out)> sink;
            std::vector<SubscriptionPtr> children;
            std::mutex mutex;
        };
        auto state = std::make_shared<State>();
        state->publishers = publishers;
        state->values.resize(publishers.size());
        state->sink = std::move(sink);
        if (publishers.empty()) {
            state->sink(Out::success({}));
            return;
        }
        // Children get their own subscriptions so that one failure can stop the others.
        for (std::size_t i = 0; i < publishers.size(); ++i) {
            state->children.push_back(std::make_shared<Subscription>());
        }
        std::weak_ptr<State> weakState = state;
        sub->onCancel([weakState] {
            if (auto s = weakState.lock()) {
                for (auto& c : s->children) {
                    c->cancel();
                }
            }
        });

        auto launch = std::make_shared<std::function<void()>>();
        std::weak_ptr<std::function<void()>> weakSelf = launch;
        *launch = [state, weakSelf]() {
            std::size_t index;
            {
                std::lock_guard lock(state->mutex);
                if (state->failed || state->nextToStart >= state->publishers.size()) {
                    return;
                }
                index = state->nextToStart++;
            }
            auto weakLaunch = weakSelf;
            state->publishers[index].start(state->children[index], [state, index, weakLaunch](Result<T, E> r) {
                bool complete = false;
                bool failNow = false;
                {
                    std::lock_guard lock(state->mutex);
                    if (state->failed) {
                        return;
                    }
                    if (r.ok()) {
                        state->values[index] = std::move(r).value();
                        complete = ++state->finished == state->publishers.size();
                    } else {
                        state->failed = true;
                        failNow = true;
                    }
                }
                if (failNow) {
                    for (std::size_t i = 0; i < state->children.size(); ++i) {
                        if (i != index) {
                            state->children[i]->cancel();
                        }
                    }
                    state->sink(Out::failure(r.error()));
                    return;
                }
                if (complete) {
                    std::vector<T> out;
                    out.reserve(state->values.size());
                    for (auto& v : state->values) {
                        out.push_back(std::move(*v));
                    }
                    state->sink(Out::success(std::move(out)));
                    return;
                }
                if (auto l = weakLaunch.lock()) {
                    (*l)();
                }
            });
        };
        const std::size_t first =
            maxConcurrent == 0 ? publishers.size() : std::min(maxConcurrent, publishers.size());
        // The launcher is kept alive by the subscription until the chain ends.
        sub->onCancel([launch] {});
        for (std::size_t i = 0; i < first; ++i) {
            (*launch)();
        }
    });
}

} // namespace velmora
