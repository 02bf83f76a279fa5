#include "introspection/PlatformViewVersionPredicate.h"
#include "introspection/RunningQtVersion.h"
#include "introspection/ScrollView.h"
#include "introspection/TextEditor.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace velmora::introspection;

namespace {

using Condition = PlatformVersionCondition;
using ScrollPredicate = PlatformViewVersionPredicate<ScrollViewType>;

TEST(QtVersionTest, ClassesTheRunningQtAgainstEachRelease) {
    RunningQtVersion::Override running(QVersionNumber(6, 5, 3));
    EXPECT_EQ(QtVersion::qt6_4().condition(), Condition::Past);
    EXPECT_EQ(QtVersion::qt6_5().condition(), Condition::Current);
    EXPECT_EQ(QtVersion::qt6_6().condition(), Condition::Future);
    EXPECT_TRUE(QtVersion::qt6_2().isCurrentOrPast());
    EXPECT_FALSE(QtVersion::qt6_8().isCurrentOrPast());
    EXPECT_FALSE(QtVersion::qt6_4().isCurrent());
}

TEST(QtVersionTest, ANewerQtThanEveryKnownReleaseFindsThemAllPast) {
    RunningQtVersion::Override running(QVersionNumber(7, 0, 0));
    EXPECT_EQ(QtVersion::qt6_8().condition(), Condition::Past);
    EXPECT_FALSE(ScrollPredicate::forQt({ScrollViewType::qt6_7(), ScrollViewType::qt6_8()}).selector());
    EXPECT_TRUE(ScrollPredicate::forQtOnwards(ScrollViewType::qt6_4()).selector());
}

TEST(QtVersionTest, TheLibraryVersionIsUsedWithoutAnOverride) {
    EXPECT_EQ(RunningQtVersion::get(), QVersionNumber::fromString(QString::fromLatin1(qVersion())));
}

TEST(PlatformViewVersionPredicateTest, AListServesOnlyItsCurrentRelease) {
    RunningQtVersion::Override running(QVersionNumber(6, 4, 2));
    EXPECT_TRUE(ScrollPredicate::forQt({ScrollViewType::qt6_2(), ScrollViewType::qt6_4()}).selector());
    EXPECT_FALSE(ScrollPredicate::forQt({ScrollViewType::qt6_2(), ScrollViewType::qt6_3()}).selector());
    EXPECT_FALSE(ScrollPredicate::forQt({ScrollViewType::qt6_5(), ScrollViewType::qt6_6()}).selector());
    EXPECT_FALSE(ScrollPredicate::forQt({}).selector());
}

TEST(PlatformViewVersionPredicateTest, ARangeServesItsLowerBoundAndEveryLaterRelease) {
    {
        RunningQtVersion::Override running(QVersionNumber(6, 8, 1));
        EXPECT_TRUE(
            PlatformViewVersionPredicate<TextEditorType>::forQtOnwards(TextEditorType::qt6_4()).selector());
    }
    RunningQtVersion::Override running(QVersionNumber(6, 3, 0));
    EXPECT_FALSE(
        PlatformViewVersionPredicate<TextEditorType>::forQtOnwards(TextEditorType::qt6_4()).selector());
}

TEST(PlatformViewVersionPredicateTest, TheFirstCurrentEntryWins) {
    RunningQtVersion::Override running(QVersionNumber(6, 4, 0));
    int used = 0;
    auto marked = [&used](int mark) {
        return ScrollViewType::Version(QtVersion::qt6_4(),
                                       IntrospectionSelector<QAbstractScrollArea>().replacingReceiverSelector(
                                           [&used, mark](IntrospectionView*) {
                                               used = mark;
                                               return nullptr;
                                           }));
    };
    auto predicate = ScrollPredicate::forQt({ScrollViewType::qt6_3(), marked(1), marked(2)});
    ASSERT_TRUE(predicate.selector());
    predicate.selector()->receiverSelector(nullptr);
    EXPECT_EQ(used, 1);
}

TEST(PlatformViewVersionTest, AnUnavailableEntryWarnsWithItsDeclaringPlaceAndNeverMatches) {
    const QString warning = unavailableWarning(QStringLiteral("/src/introspection/ScrollView.h"), 42);
    EXPECT_TRUE(
        warning.section(QLatin1Char('\n'), 0, 0).endsWith(QStringLiteral("ScrollView.h:42 as unavailable.")));
    EXPECT_TRUE(warning.endsWith(QStringLiteral("`ScrollView.h:42`+should+be+marked+unavailable")));

    std::fflush(stdout);
    auto entry = ScrollViewType::Version::unavailable();
    EXPECT_FALSE(entry.version());
    EXPECT_FALSE(entry.isCurrentOrPast());
    EXPECT_FALSE(ScrollPredicate::forQt({entry}).selector());
}

} // namespace
