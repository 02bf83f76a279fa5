#include "FakeProviderService.h"

#include <algorithm>

namespace velmora::test {

FakeTaskPage FakeProviderService::page(std::size_t query, std::int64_t skip, std::int64_t size) const {
    const std::vector<Issue> filtered = tasksFor ? tasksFor(taskQueries[query]) : std::vector<Issue>();
    const std::vector<Issue>& all = tasksFor ? filtered : tasks;
    FakeTaskPage result;
    result.skip = skip;
    result.total = static_cast<std::int64_t>(all.size());
    const auto begin = std::min<std::int64_t>(skip, result.total);
    const auto end = std::min<std::int64_t>(skip + size, result.total);
    result.items.assign(all.begin() + begin, all.begin() + end);
    return result;
}

AnyPaginator<Issue> FakeProviderService::fetchTasks(const Project& project,
                                                    const std::optional<QString>& search,
                                                    const std::optional<Issue::State>& state,
                                                    const std::optional<User>& assignee) {
    taskQueries.push_back(TaskQuery{project, search, state, assignee});
    const std::size_t query = taskQueries.size() - 1;
    auto* self = this;
    FakeTaskPageConfig config;
    config.pageSize = pageSize;
    APIPaginator<FakeTaskPageConfig> paginator(
        config, [self, query](std::int64_t size, const std::int64_t& skip) {
            using Pending = ScriptedCall<FakeTaskPage>::Pending;
            return Publisher<FakeTaskPage, APIError>::create(
                [self, query, size, skip](std::function<void(Result<FakeTaskPage, APIError>)> sink) {
                    if (!self->holdPages) {
                        self->pageRequests.push_back(PageRequest{query, skip, nullptr});
                        sink(Result<FakeTaskPage, APIError>::success(self->page(query, skip, size)));
                        return std::function<void()>();
                    }
                    auto pending = std::make_shared<Pending>();
                    pending->sink = std::move(sink);
                    self->pageRequests.push_back(PageRequest{query, skip, pending});
                    return std::function<void()>([pending] { pending->cancelled = true; });
                });
        });
    return AnyPaginator<Issue>(std::move(paginator));
}

void FakeProviderService::completePage(std::size_t request) {
    ASSERT_LT(request, pageRequests.size());
    auto& entry = pageRequests[request];
    ASSERT_TRUE(entry.pending) << "That page was answered at once";
    ASSERT_FALSE(entry.pending->finished);
    entry.pending->finished = true;
    entry.pending->sink(Result<FakeTaskPage, APIError>::success(page(entry.query, entry.skip, pageSize)));
}

void FakeProviderService::failPage(std::size_t request, APIError error) {
    ASSERT_LT(request, pageRequests.size());
    auto& entry = pageRequests[request];
    ASSERT_TRUE(entry.pending);
    ASSERT_FALSE(entry.pending->finished);
    entry.pending->finished = true;
    entry.pending->sink(Result<FakeTaskPage, APIError>::failure(std::move(error)));
}

std::size_t FakeProviderService::waitingPages() const {
    return static_cast<std::size_t>(
        std::count_if(pageRequests.begin(), pageRequests.end(), [](const auto& r) {
            return r.pending && !r.pending->finished && !r.pending->cancelled;
        }));
}

} // namespace velmora::test
