#include "introspection/Casts.h"
#include "introspection/PreorderWalk.h"
#include "introspection/Weak.h"

#include <QPlainTextEdit>
#include <QScrollArea>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

using namespace velmora::introspection;

namespace {

TEST(PreorderWalkTest, VisitsEachNodeBeforeItsChildrenAndChildrenBeforeTheNextSibling) {
    const std::map<std::string, std::vector<std::string>> tree{{"A", {"B", "C"}}, {"B", {"D", "E"}}};
    std::vector<std::string> asked;
    auto walk = recursivePreorder(std::vector<std::string>{"A"}, [&](const std::string& node) {
        asked.push_back(node);
        auto it = tree.find(node);
        return it == tree.end() ? std::vector<std::string>{} : it->second;
    });
    walk.next(); // the start itself
    std::vector<std::string> order;
    while (auto node = walk.next())
        order.push_back(*node);
    EXPECT_EQ(order, (std::vector<std::string>{"B", "D", "E", "C"}));

    // Stopping after the first element reads no later element's children.
    asked.clear();
    auto lazy = recursivePreorder(std::vector<std::string>{"A"}, [&](const std::string& node) {
        asked.push_back(node);
        auto it = tree.find(node);
        return it == tree.end() ? std::vector<std::string>{} : it->second;
    });
    lazy.next();
    EXPECT_EQ(*lazy.next(), "B");
    EXPECT_EQ(asked, (std::vector<std::string>{"A", "B"}));
}

TEST(PreorderWalkTest, ALeafHasNoDescendants) {
    auto walk = recursivePreorder(std::vector<int>{1}, [](int) { return std::vector<int>{}; });
    walk.next();
    EXPECT_FALSE(walk.next());
}

TEST(WeakTest, ReadsNullOnceItsObjectIsGoneAndFollowsANewOne) {
    auto first = std::make_unique<QObject>();
    Weak<QObject> box(first.get());
    EXPECT_EQ(box.wrappedValue(), first.get());
    first.reset();
    EXPECT_EQ(box.wrappedValue(), nullptr);
    QObject second;
    box.setWrappedValue(&second);
    EXPECT_EQ(box.wrappedValue(), &second);
}

TEST(CastsTest, AConditionalCastToAnotherClassYieldsNull) {
    QScrollArea area;
    EXPECT_EQ(conditionalCast<QPlainTextEdit>(&area), nullptr);
    EXPECT_EQ(conditionalCast<QAbstractScrollArea>(&area), &area);
}

} // namespace
