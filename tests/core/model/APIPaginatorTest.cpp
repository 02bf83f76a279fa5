#include "core/model/APIPaginator.h"
#include "core/model/APIPaginatorConfig.h"
#include "core/model/AnyPaginator.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <numeric>

using namespace velmora;

namespace {

struct Page {
    std::vector<int> items;
};

using OffsetConfig = APIPaginatorConfig<Page, int, std::int64_t>;

// A list of `total` numbers served in pages; records every page asked for and can
// be told to fail a position once.
struct ScriptedList {
    int total = 45;
    std::vector<std::pair<std::int64_t, std::int64_t>> loaderCalls; // (page size, position) per loader call
    std::vector<std::int64_t> requestsRun;                          // positions actually requested
    std::map<std::int64_t, APIError> failOnce;

    Publisher<Page, APIError> load(std::int64_t pageSize, std::int64_t skip) {
        loaderCalls.emplace_back(pageSize, skip);
        return Publisher<Page, APIError>::create([this, pageSize, skip](auto sink) {
            requestsRun.push_back(skip);
            if (auto it = failOnce.find(skip); it != failOnce.end()) {
                const APIError error = it->second;
                failOnce.erase(it);
                sink(Result<Page, APIError>::failure(error));
                return std::function<void()>();
            }
            Page page;
            for (std::int64_t i = skip; i < std::min<std::int64_t>(skip + pageSize, total); ++i) {
                page.items.push_back(static_cast<int>(i));
            }
            sink(Result<Page, APIError>::success(page));
            return std::function<void()>();
        });
    }

    APIPaginator<OffsetConfig> paginator(std::int64_t pageSize = 20) {
        OffsetConfig config;
        config.pageSize = pageSize;
        config.initialSkip = 0;
        config.isLastPage = [pageSize](const Page& page) {
            return static_cast<std::int64_t>(page.items.size()) < pageSize;
        };
        config.calculateNextSkip = [](const std::int64_t& skip, const Page& page) {
            return skip + static_cast<std::int64_t>(page.items.size());
        };
        config.extractItems = [](const Page& page) { return page.items; };
        return APIPaginator<OffsetConfig>(
            config, [this](std::int64_t size, const std::int64_t& skip) { return load(size, skip); });
    }
};

template <typename T> Result<T, APIError> run(const Publisher<T, APIError>& publisher) {
    std::optional<Result<T, APIError>> outcome;
    publisher.subscribe([&](Result<T, APIError> r) { outcome = std::move(r); }).detach();
    EXPECT_TRUE(outcome.has_value()) << "the scripted pages complete synchronously";
    return outcome.value_or(Result<T, APIError>::failure(APIError::unknown()));
}

std::vector<int> range(int from, int to) {
    std::vector<int> v(static_cast<std::size_t>(to - from));
    std::iota(v.begin(), v.end(), from);
    return v;
}

} // namespace

TEST(APIPaginator, ReadsPageByPageUntilTheLastPage) {
    ScriptedList list;
    auto paginator = list.paginator();
    EXPECT_FALSE(paginator.hasMorePages());

    EXPECT_EQ(run(paginator.fetchFirst()).value(), range(0, 20));
    EXPECT_TRUE(paginator.hasMorePages());
    EXPECT_EQ(run(paginator.fetchNext()).value(), range(20, 40));
    EXPECT_EQ(run(paginator.fetchNext()).value(), range(40, 45));
    EXPECT_FALSE(paginator.hasMorePages());

    const auto requestsBefore = list.requestsRun.size();
    EXPECT_EQ(run(paginator.fetchNext()).error(), APIError::noMorePages());
    EXPECT_EQ(list.requestsRun.size(), requestsBefore) << "no request without a next page";
    EXPECT_EQ(list.requestsRun, (std::vector<std::int64_t>{0, 20, 40}));
    EXPECT_TRUE(paginator.accumulatedResults().empty()) << "page-by-page reading gathers nothing";
}

TEST(APIPaginator, FreshPaginatorCannotStartWithNextAndSendsNothingUntilSubscribed) {
    ScriptedList list;
    auto paginator = list.paginator();
    EXPECT_EQ(run(paginator.fetchNext()).error(), APIError::noMorePages());
    EXPECT_TRUE(list.loaderCalls.empty());

    auto first = paginator.fetchFirst();
    EXPECT_EQ(list.loaderCalls.size(), 1u) << "the page loader is called when the fetch is";
    EXPECT_TRUE(list.requestsRun.empty()) << "its request runs only when subscribed";
    run(first);
    EXPECT_EQ(list.requestsRun.size(), 1u);
}

TEST(APIPaginator, AFailedPageKeepsThePositionSoTheSamePageIsAskedAgain) {
    ScriptedList list;
    auto paginator = list.paginator();
    run(paginator.fetchFirst());
    list.failOnce.emplace(20, APIError::rateLimited(5));

    EXPECT_EQ(run(paginator.fetchNext()).error(), APIError::rateLimited(5));
    EXPECT_TRUE(paginator.hasMorePages());
    EXPECT_EQ(paginator.latestSkip(), 20);
    EXPECT_EQ(run(paginator.fetchNext()).value(), range(20, 40));
    EXPECT_EQ(list.requestsRun, (std::vector<std::int64_t>{0, 20, 20}));
}

TEST(APIPaginator, ResetForgetsThePositionAndFirstStartsOver) {
    ScriptedList list;
    auto paginator = list.paginator();
    run(paginator.fetchFirst());
    run(paginator.fetchNext());
    paginator.reset();
    EXPECT_FALSE(paginator.hasMorePages());
    EXPECT_EQ(run(paginator.fetchFirst()).value(), range(0, 20));
    EXPECT_EQ(list.requestsRun.back(), 0);
}

TEST(APIPaginator, FetchAllReadsEveryPageInTurnAndYieldsOneList) {
    ScriptedList list;
    auto paginator = list.paginator();
    auto all = paginator.fetchAll();
    EXPECT_EQ(list.loaderCalls.size(), 1u) << "later pages are built only when the one before arrived";
    EXPECT_EQ(run(all).value(), range(0, 45));
    EXPECT_EQ(list.requestsRun, (std::vector<std::int64_t>{0, 20, 40}));
    EXPECT_FALSE(paginator.hasMorePages()) << "fetchAll leaves the page-by-page position alone";
    EXPECT_EQ(paginator.accumulatedResults(), range(0, 45));

    // A list of exactly two pages asks for an empty third page, which ends it.
    ScriptedList even;
    even.total = 40;
    EXPECT_EQ(run(even.paginator().fetchAll()).value(), range(0, 40));
    EXPECT_EQ(even.requestsRun, (std::vector<std::int64_t>{0, 20, 40}));

    // A second read of the same paginator yields its own pages, not the first read's again.
    EXPECT_EQ(run(paginator.fetchAll()).value(), range(0, 45));
}

TEST(APIPaginator, FetchAllFailsWholeOnAFailedPage) {
    ScriptedList list;
    list.failOnce.emplace(20, APIError::unauthorized());
    auto paginator = list.paginator();
    EXPECT_EQ(run(paginator.fetchAll()).error(), APIError::unauthorized());
    EXPECT_EQ(list.requestsRun, (std::vector<std::int64_t>{0, 20})) << "no page after the failed one";
    EXPECT_EQ(paginator.accumulatedResults(), range(0, 20))
        << "what arrived before the failure stays gathered";
}

TEST(APIPaginator, AnEmptyCursorIsStillANextPage) {
    // Cursor paging: the position is an optional text; the last page has no cursor.
    struct CursorPage {
        std::vector<int> items;
        std::optional<std::optional<QString>> next; // none: last page
    };
    using CursorConfig = APIPaginatorConfig<CursorPage, int, std::optional<QString>>;
    CursorConfig config;
    config.pageSize = 2;
    config.initialSkip = QString("start");
    config.isLastPage = [](const CursorPage& page) { return !page.next.has_value(); };
    config.calculateNextSkip = [](const std::optional<QString>&, const CursorPage& page) {
        return *page.next;
    };
    config.extractItems = [](const CursorPage& page) { return page.items; };

    std::vector<std::optional<QString>> asked;
    APIPaginator<CursorConfig> paginator(config, [&](std::int64_t, const std::optional<QString>& cursor) {
        asked.push_back(cursor);
        CursorPage page;
        if (cursor == QString("start")) {
            page = CursorPage{{1, 2}, std::optional<QString>()}; // next page at an empty cursor
        } else {
            page = CursorPage{{3}, std::nullopt};
        }
        return Publisher<CursorPage, APIError>::just(page);
    });

    EXPECT_EQ(run(paginator.fetchFirst()).value(), (std::vector<int>{1, 2}));
    EXPECT_TRUE(paginator.hasMorePages());
    EXPECT_EQ(run(paginator.fetchNext()).value(), (std::vector<int>{3}));
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_FALSE(asked[1].has_value()) << "the empty cursor is handed to the loader";
    EXPECT_FALSE(paginator.hasMorePages());
}

TEST(APIPaginator, AnyPaginatorForwardsAndKeepsTheListAlive) {
    ScriptedList list;
    std::optional<AnyPaginator<int>> any;
    {
        auto paginator = list.paginator();
        any.emplace(paginator);
    }
    EXPECT_FALSE(any->hasMorePages());
    EXPECT_EQ(run(any->fetchFirst()).value(), range(0, 20));
    EXPECT_TRUE(any->hasMorePages());
    any->reset();
    EXPECT_FALSE(any->hasMorePages());
    EXPECT_EQ(run(any->fetchAll()).value(), range(0, 45));
    EXPECT_EQ(run(any->fetchNext()).error(), APIError::noMorePages());

    // A fetch keeps the paginator's state alive even when every holder is gone.
    Publisher<std::vector<int>, APIError> pending = any->fetchFirst();
    any.reset();
    EXPECT_EQ(run(pending).value(), range(0, 20));
}
