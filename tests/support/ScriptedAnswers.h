#pragma once

#include "tests/support/FakeHttpsServer.h"

#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace velmora::test {

// Answers a stateful fake tracker gives instead of its simulation: one-off answers to
// the next matching request, and a standing handler. Checked first, in that order.
class ScriptedAnswers {
public:
    using Matcher = std::function<bool(const FakeRequest&)>;
    using Handler = std::function<std::optional<FakeResponse>(const FakeRequest&)>;

    // The next request that `match` accepts gets `response`.
    void once(Matcher match, FakeResponse response) {
        m_once.emplace_back(std::move(match), std::move(response));
    }
    // Every request that `handler` answers (a non-empty result) is answered by it.
    void always(Handler handler) { m_handler = std::move(handler); }

    std::optional<FakeResponse> answer(const FakeRequest& request) {
        for (auto it = m_once.begin(); it != m_once.end(); ++it) {
            if (it->first(request)) {
                FakeResponse response = std::move(it->second);
                m_once.erase(it);
                return response;
            }
        }
        if (m_handler) {
            return m_handler(request);
        }
        return std::nullopt;
    }

private:
    std::vector<std::pair<Matcher, FakeResponse>> m_once;
    Handler m_handler;
};

} // namespace velmora::test
