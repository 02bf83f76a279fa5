#pragma once

#include "core/model/APIError.h"
#include "core/model/APIPaginator.h"
#include "core/model/AnyPaginator.h"
#include "core/model/ProviderService.h"
#include "platform/async/Publisher.h"

#include <QThread>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace velmora::test {

// One kind of call of the fake service. By default every call is answered at once
// with the scripted value (or error); after hold() calls wait until the test
// completes them, oldest first, on the main thread or on a thread of their own (as a
// network reply would arrive).
template <typename T> class ScriptedCall {
public:
    using ResultType = Result<T, APIError>;

    struct Pending {
        std::function<void(ResultType)> sink;
        bool cancelled = false;
        bool finished = false;
    };

    void answer(T value) {
        m_answer = ResultType::success(std::move(value));
        m_held = false;
    }
    void answerError(APIError error) {
        m_answer = ResultType::failure(std::move(error));
        m_held = false;
    }
    void hold() { m_held = true; }

    // Publishers made (each call of the service's operation makes one).
    int calls() const { return m_calls; }
    // The threads on which the operation was called.
    const std::vector<QThread*>& callThreads() const { return m_threads; }
    // Held calls still waiting (not cancelled).
    int waiting() const {
        int count = 0;
        for (const auto& pending : m_pending) {
            count += !pending->cancelled && !pending->finished;
        }
        return count;
    }
    int cancellations() const {
        int count = 0;
        for (const auto& pending : m_pending) {
            count += pending->cancelled;
        }
        return count;
    }

    // Finishes the oldest waiting call.
    void complete(T value) { finish(ResultType::success(std::move(value)), false); }
    void fail(APIError error) { finish(ResultType::failure(std::move(error)), false); }
    void completeOnThread(T value) { finish(ResultType::success(std::move(value)), true); }
    void failOnThread(APIError error) { finish(ResultType::failure(std::move(error)), true); }

    Publisher<T, APIError> publisher() {
        ++m_calls;
        m_threads.push_back(QThread::currentThread());
        const bool held = m_held;
        const ResultType answer = m_answer;
        auto* self = this;
        return Publisher<T, APIError>::create([self, held, answer](std::function<void(ResultType)> sink) {
            if (!held) {
                sink(answer);
                return std::function<void()>();
            }
            auto pending = std::make_shared<Pending>();
            pending->sink = std::move(sink);
            self->m_pending.push_back(pending);
            return std::function<void()>([pending] { pending->cancelled = true; });
        });
    }

private:
    void finish(ResultType result, bool onThread) {
        for (auto& pending : m_pending) {
            if (pending->cancelled || pending->finished) {
                continue;
            }
            pending->finished = true;
            auto sink = pending->sink;
            if (onThread) {
                std::thread([sink, result] { sink(result); }).join();
            } else {
                sink(result);
            }
            return;
        }
        ADD_FAILURE() << "No call is waiting to be finished";
    }

    ResultType m_answer = ResultType::failure(APIError::unknown());
    bool m_held = false;
    int m_calls = 0;
    std::vector<QThread*> m_threads;
    std::vector<std::shared_ptr<Pending>> m_pending;
};

// A task query as the fake service received it.
struct TaskQuery {
    Project project;
    std::optional<QString> search;
    std::optional<Issue::State> state;
    std::optional<User> assignee;
};

// One page of the fake task list: the items from `skip` on, and the query's total.
struct FakeTaskPage {
    std::vector<Issue> items;
    std::int64_t skip = 0;
    std::int64_t total = 0;
};

struct FakeTaskPageConfig {
    using ResponseType = FakeTaskPage;
    using ItemType = Issue;
    using SkipType = std::int64_t;

    std::int64_t pageSize = 20;
    std::int64_t initialSkip = 0;

    bool isLastPage(const FakeTaskPage& page) const {
        return page.skip + static_cast<std::int64_t>(page.items.size()) >= page.total;
    }
    std::int64_t calculateNextSkip(std::int64_t skip, const FakeTaskPage& page) const {
        return skip + static_cast<std::int64_t>(page.items.size());
    }
    std::vector<Issue> extractItems(const FakeTaskPage& page) const { return page.items; }
};

// A tracker service for tests of the state objects: every operation is scripted
// (see ScriptedCall); task queries page through `tasks` (or what `tasksFor` gives
// for a query) in pages of `pageSize`, answered at once or, with `holdPages`, when
// the test completes each page request.
class FakeProviderService : public ProviderService {
public:
    ScriptedCall<ProviderUser> user;
    ScriptedCall<std::vector<Project>> projects;
    ScriptedCall<std::vector<Issue::State>> states;
    ScriptedCall<std::vector<User>> assignees;
    ScriptedCall<std::vector<WorkEntry>> workEntries;
    ScriptedCall<Void> deletes;

    std::vector<Issue> tasks;
    std::function<std::vector<Issue>(const TaskQuery&)> tasksFor;
    std::int64_t pageSize = 20;
    bool holdPages = false;

    // Every fetchTasks call, every interval asked for, every entry deleted.
    std::vector<TaskQuery> taskQueries;
    std::vector<DateInterval> workEntryIntervals;
    std::vector<WorkEntry> deletedEntries;
    std::vector<Issue> ownEntryTasks;

    struct PageRequest {
        std::size_t query; // index into taskQueries
        std::int64_t skip;
        std::shared_ptr<ScriptedCall<FakeTaskPage>::Pending> pending;
    };
    // Every page asked for, answered or still waiting.
    std::vector<PageRequest> pageRequests;

    // Answers a held page request with its slice of the query's tasks, or an error.
    void completePage(std::size_t request);
    void failPage(std::size_t request, APIError error);
    // Page requests that still wait.
    std::size_t waitingPages() const;

    Publisher<ProviderUser, APIError> fetchUser() override { return user.publisher(); }
    Publisher<std::vector<Project>, APIError> fetchProjects() override { return projects.publisher(); }
    Publisher<std::vector<Issue::State>, APIError> fetchStates(const Project&) override {
        return states.publisher();
    }
    Publisher<std::vector<User>, APIError> fetchAssignees(const Project&) override {
        return assignees.publisher();
    }
    AnyPaginator<Issue> fetchTasks(const Project& project, const std::optional<QString>& search,
                                   const std::optional<Issue::State>& state,
                                   const std::optional<User>& assignee) override;
    Publisher<std::vector<WorkEntry>, APIError> fetchWorkEntries(const DateInterval& interval) override {
        workEntryIntervals.push_back(interval);
        return workEntries.publisher();
    }
    // Answered by `workEntries` too; every task asked for is kept.
    Publisher<std::vector<WorkEntry>, APIError> fetchOwnWorkEntries(const Issue& task,
                                                                    const DateInterval& interval) override {
        ownEntryTasks.push_back(task);
        workEntryIntervals.push_back(interval);
        return workEntries.publisher();
    }
    Publisher<Void, APIError> deleteWorkEntry(const WorkEntry& entry) override {
        deletedEntries.push_back(entry);
        return deletes.publisher();
    }

private:
    FakeTaskPage page(std::size_t query, std::int64_t skip, std::int64_t size) const;
};

} // namespace velmora::test
