#include "platform/async/Stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace velmora;

TEST(PassthroughSubject, DeliversToCurrentObserversOnly) {
    PassthroughSubject<int> subject;
    subject.send(1);
    std::vector<int> seen;
    auto token = subject.subscribe([&](const int& v) { seen.push_back(v); });
    subject.send(2);
    token.cancel();
    subject.send(3);
    EXPECT_EQ(seen, (std::vector<int>{2}));
    EXPECT_EQ(subject.observerCount(), 0u);
}

TEST(PassthroughSubject, AnObserverMayCancelAnotherDuringDelivery) {
    PassthroughSubject<int> subject;
    Cancellable second;
    int firstCalls = 0, secondCalls = 0;
    auto first = subject.subscribe([&](const int&) {
        ++firstCalls;
        second.cancel();
    });
    second = subject.subscribe([&](const int&) { ++secondCalls; });
    subject.send(1);
    EXPECT_EQ(firstCalls, 1);
    EXPECT_EQ(secondCalls, 0);
}

TEST(CurrentValueSubject, NewObserverGetsTheCurrentValueThenEverySend) {
    CurrentValueSubject<std::string> subject("a");
    subject.send("b");
    std::vector<std::string> seen;
    auto token = subject.subscribe([&](const std::string& v) { seen.push_back(v); });
    subject.send("b");
    subject.send("c");
    EXPECT_EQ(seen, (std::vector<std::string>{"b", "b", "c"}));
    EXPECT_EQ(subject.value(), "c");
}

TEST(Stream, OperatorsComposeOverASubject) {
    CurrentValueSubject<int> a(0);
    PassthroughSubject<int> b;
    std::vector<std::string> seen;
    auto merged = Stream<int>::merge(a.stream(), b.stream())
                      .dropFirst()
                      .filter([](const int& v) { return v >= 0; })
                      .removeDuplicates()
                      .map([](const int& v) { return std::to_string(v); });
    auto token = merged.subscribe([&](const std::string& v) { seen.push_back(v); });
    a.send(1);
    b.send(1);
    b.send(-5);
    a.send(2);
    EXPECT_EQ(seen, (std::vector<std::string>{"1", "2"}));
    token.cancel();
    a.send(3);
    EXPECT_EQ(seen.size(), 2u);
}

TEST(Stream, OutlivesItsSubject) {
    auto subject = std::make_unique<PassthroughSubject<int>>();
    auto stream = subject->stream();
    subject.reset();
    int calls = 0;
    auto token = stream.subscribe([&](const int&) { ++calls; });
    EXPECT_FALSE(token.isActive());
    EXPECT_EQ(calls, 0);
}
