#include "core/net/QueryItems.h"

#include <gtest/gtest.h>

using namespace velmora;

TEST(QueryItems, MergeLaysTheRequestOverTheDefaults) {
    const QueryItems defaults{{"completed", "false"}, {"limit", "50"}};
    EXPECT_EQ(mergeQueryItems({{"completed", "true"}, {"n", "1"}}, defaults),
              (QueryItems{{"completed", "true"}, {"limit", "50"}, {"n", "1"}}));
    EXPECT_EQ(mergeQueryItems({}, defaults), defaults);
    // The later of two equal names wins, at the place of the default.
    EXPECT_EQ(mergeQueryItems({{"completed", "a"}, {"completed", "b"}}, defaults),
              (QueryItems{{"completed", "b"}, {"limit", "50"}}));
    // Only the first of equal defaults is updated; an empty value replaces like any other.
    EXPECT_EQ(mergeQueryItems({{"x", ""}}, {{"x", "1"}, {"x", "2"}}), (QueryItems{{"x", ""}, {"x", "2"}}));
    // Canonically equivalent names are one name: "é" precomposed and decomposed.
    EXPECT_EQ(
        mergeQueryItems({{QString::fromUtf8("e\xCC\x81"), "new"}}, {{QString::fromUtf8("\xC3\xA9"), "old"}}),
        (QueryItems{{QString::fromUtf8("\xC3\xA9"), "new"}}));
    // Names compare with case.
    EXPECT_EQ(mergeQueryItems({{"Limit", "1"}}, {{"limit", "50"}}).size(), 2u);
}

TEST(QueryItems, NonEmptyDropsEmptyValuesOnly) {
    EXPECT_EQ(nonEmptyQueryItems({{"limit", "50"}, {"offset", ""}}), (QueryItems{{"limit", "50"}}));
    EXPECT_TRUE(nonEmptyQueryItems({{"a", ""}, {"b", ""}}).empty());
    EXPECT_EQ(nonEmptyQueryItems({{"", "v"}, {"a", "1"}, {"a", "1"}}),
              (QueryItems{{"", "v"}, {"a", "1"}, {"a", "1"}}));
}

TEST(QueryItems, EncodesNamesAndValuesFully) {
    EXPECT_EQ(encodedQuery({{"q", "a+b&c=d e/f?"}, {"empty", ""}, {"ü", "~x-y_z."}}),
              "q=a%2Bb%26c%3Dd%20e%2Ff%3F&empty=&%C3%BC=~x-y_z.");
    EXPECT_EQ(encodedQuery({}), "");
}
