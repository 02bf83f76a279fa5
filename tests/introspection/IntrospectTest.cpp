#include "introspection/Introspect.h"
#include "introspection/DatePicker.h"
#include "introspection/IntrospectionStore.h"
#include "introspection/PickerWithMenuStyle.h"
#include "introspection/RunningQtVersion.h"
#include "introspection/ScrollView.h"
#include "introspection/TabView.h"
#include "introspection/TextEditor.h"
#include "introspection/ToggleWithCheckboxStyle.h"
#include "introspection/ToggleWithSwitchStyle.h"
#include "introspection/View.h"
#include "introspection/Window.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollArea>
#include <QTabWidget>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <memory>

using namespace velmora::introspection;

namespace {

// A composite of our own: a plain widget whose layout holds the parts it is made of.
struct Composite : QWidget {
    explicit Composite(QWidget* parent = nullptr) : QWidget(parent), layout(new QVBoxLayout(this)) {}
    template <typename W> W* add(W* part) {
        layout->addWidget(part);
        return part;
    }
    QVBoxLayout* layout;
};

template <typename V> std::vector<PlatformViewVersionPredicate<V>> fromQt64() {
    return {PlatformViewVersionPredicate<V>::forQtOnwards(V::qt6_4())};
}

template <typename V> struct Recorder {
    std::vector<typename V::Entity*> calls;
    std::function<void(typename V::Entity*)> customize() {
        return [this](typename V::Entity* entity) { calls.push_back(entity); };
    }
};

TEST(IntrospectTest, FindsRealQtWidgetsInsideComposites) {
    Composite composite;
    auto* scrollArea = composite.add(new QScrollArea);
    auto* editor = composite.add(new QPlainTextEdit);
    auto* combo = composite.add(new QComboBox);
    auto* date = composite.add(new QDateEdit);
    auto* tabs = composite.add(new QTabWidget);

    Recorder<ScrollViewType> scroll;
    Recorder<TextEditorType> text;
    Recorder<PickerWithMenuStyleType> menu;
    Recorder<DatePickerType> dates;
    Recorder<TabViewType> tab;
    introspect(&composite, scrollView(), fromQt64<ScrollViewType>(), scroll.customize());
    introspect(&composite, textEditor(), fromQt64<TextEditorType>(), text.customize());
    introspect(&composite, picker(PickerWithMenuStyleType::Style::menu), fromQt64<PickerWithMenuStyleType>(),
               menu.customize());
    introspect(&composite, datePicker(), fromQt64<DatePickerType>(), dates.customize());
    introspect(&composite, tabView(), fromQt64<TabViewType>(), tab.customize());

    EXPECT_EQ(scroll.calls, std::vector<QAbstractScrollArea*>{scrollArea});
    EXPECT_EQ(text.calls, std::vector<QPlainTextEdit*>{editor});
    EXPECT_EQ(menu.calls, std::vector<QComboBox*>{combo});
    EXPECT_EQ(dates.calls, std::vector<QDateEdit*>{date});
    EXPECT_EQ(tab.calls, std::vector<QTabWidget*>{tabs});
}

TEST(IntrospectTest, SwitchesAndCheckBoxesAreToldApartByTheSwitchMark) {
    Composite composite;
    auto* toggleSwitch = composite.add(new QCheckBox);
    markAsSwitch(toggleSwitch);
    auto* checkbox = composite.add(new QCheckBox);

    Recorder<ToggleWithSwitchStyleType> switches;
    Recorder<ToggleWithCheckboxStyleType> checkboxes;
    introspect(&composite, toggle(ToggleWithSwitchStyleType::Style::switch_),
               fromQt64<ToggleWithSwitchStyleType>(), switches.customize());
    introspect(&composite, toggle(ToggleWithCheckboxStyleType::Style::checkbox),
               fromQt64<ToggleWithCheckboxStyleType>(), checkboxes.customize());
    EXPECT_EQ(switches.calls, std::vector<QCheckBox*>{toggleSwitch});
    EXPECT_EQ(checkboxes.calls, std::vector<QCheckBox*>{checkbox});

    // A switch that contains the composite is found as an ancestor; a plain box is not.
    QCheckBox outerSwitch;
    markAsSwitch(&outerSwitch);
    auto* inner = new Composite(&outerSwitch);
    Recorder<ToggleWithSwitchStyleType> outer;
    introspect(inner, toggle(ToggleWithSwitchStyleType::Style::switch_),
               fromQt64<ToggleWithSwitchStyleType>(), IntrospectionScope::ancestor(), outer.customize());
    EXPECT_EQ(outer.calls, std::vector<QCheckBox*>{&outerSwitch});
    QCheckBox outerBox;
    auto* innerOfBox = new Composite(&outerBox);
    Recorder<ToggleWithSwitchStyleType> none;
    introspect(innerOfBox, toggle(ToggleWithSwitchStyleType::Style::switch_),
               fromQt64<ToggleWithSwitchStyleType>(), IntrospectionScope::ancestor(), none.customize());
    EXPECT_TRUE(none.calls.empty());
}

TEST(IntrospectTest, TheOuterMatchIsFoundBeforeAnInnerOne) {
    Composite composite;
    auto* outer = composite.add(new QScrollArea);
    auto* inner = new QPlainTextEdit; // a scroll area too
    outer->setWidget(inner);
    Recorder<ScrollViewType> scroll;
    introspect(&composite, scrollView(), fromQt64<ScrollViewType>(), scroll.customize());
    EXPECT_EQ(scroll.calls, std::vector<QAbstractScrollArea*>{outer});
}

TEST(IntrospectTest, MarkersAndAnchorsAreNeverReturned) {
    Composite empty;
    Recorder<ViewType> plain;
    IntrospectionView* view =
        introspect(&empty, velmora::introspection::view(), fromQt64<ViewType>(), plain.customize());
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(plain.calls.empty()); // only our own helper widgets are inside

    auto* label = empty.add(new QWidget);
    view->contentUpdated();
    EXPECT_EQ(plain.calls, std::vector<QWidget*>{label});
}

TEST(IntrospectTest, AnEmptyScopeFindsNothing) {
    Composite composite;
    composite.add(new QScrollArea);
    Recorder<ScrollViewType> scroll;
    IntrospectionView* view = introspect(&composite, scrollView(), fromQt64<ScrollViewType>(),
                                         IntrospectionScope{}, scroll.customize());
    ASSERT_NE(view, nullptr);
    view->contentUpdated();
    EXPECT_TRUE(scroll.calls.empty());
}

TEST(IntrospectTest, TheReceiverSearchRunsBeforeTheAncestorSearch) {
    QScrollArea container;
    auto* composite = new Composite;
    container.setWidget(composite);
    auto* inside = composite->add(new QScrollArea);
    Recorder<ScrollViewType> scroll;
    const auto both = IntrospectionScope::receiver() | IntrospectionScope::ancestor();
    IntrospectionView* view =
        introspect(composite, scrollView(), fromQt64<ScrollViewType>(), both, scroll.customize());
    ASSERT_EQ(scroll.calls, std::vector<QAbstractScrollArea*>{inside});

    delete inside;
    view->contentUpdated();
    EXPECT_EQ(scroll.calls.back(), &container);

    Recorder<ScrollViewType> ancestorOnly;
    introspect(composite, scrollView(), fromQt64<ScrollViewType>(), IntrospectionScope::ancestor(),
               ancestorOnly.customize());
    EXPECT_EQ(ancestorOnly.calls, std::vector<QAbstractScrollArea*>{&container});
}

TEST(IntrospectTest, ATargetIsFoundWhenShownAndAgainAfterAnUpdateReplacedIt) {
    Composite composite;
    Recorder<TextEditorType> text;
    IntrospectionView* view =
        introspect(&composite, textEditor(), fromQt64<TextEditorType>(), text.customize());
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(text.calls.empty());
    EXPECT_TRUE(view->hasHandler());

    // Added after the introspection was placed, found when the composite is shown.
    auto* first = composite.add(new QPlainTextEdit);
    composite.show();
    ASSERT_EQ(text.calls, std::vector<QPlainTextEdit*>{first});
    EXPECT_FALSE(view->hasHandler());

    view->contentUpdated(); // the same target, customised again
    EXPECT_EQ(text.calls.back(), first);

    delete first;
    auto* second = composite.add(new QPlainTextEdit);
    view->contentUpdated(); // the freed one is never handed out: searched for anew
    EXPECT_EQ(text.calls.back(), second);
    EXPECT_EQ(text.calls.size(), 3u);

    composite.hide();
    composite.show(); // the one-shot search is spent
    EXPECT_EQ(text.calls.size(), 3u);
}

TEST(IntrospectTest, APredicateThatExcludesTheRunningQtFindsNothingAndCallsNothing) {
    RunningQtVersion::Override running(QVersionNumber(6, 3, 1));
    Composite composite;
    composite.add(new QScrollArea);
    const int childrenBefore = int(composite.children().size());
    Recorder<ScrollViewType> scroll;
    EXPECT_EQ(introspect(&composite, scrollView(), fromQt64<ScrollViewType>(), scroll.customize()), nullptr);
    EXPECT_EQ(introspect(&composite, scrollView(), {}, scroll.customize()), nullptr);
    composite.show();
    EXPECT_TRUE(scroll.calls.empty());
    EXPECT_EQ(int(composite.children().size()), childrenBefore);
}

TEST(IntrospectTest, TheWindowIsReachedThroughAnyWidgetNearby) {
    QWidget window;
    auto* composite = new Composite(&window);
    composite->add(new QWidget);
    Recorder<WindowType> found;
    introspect(composite, velmora::introspection::window(), fromQt64<WindowType>(), found.customize());
    EXPECT_EQ(found.calls, std::vector<QWidget*>{&window});
}

TEST(IntrospectionStoreTest, EntriesLeaveWithTheirWidgets) {
    const std::size_t before = IntrospectionStore::size();
    QPointer<IntrospectionView> view;
    {
        Composite composite;
        Recorder<ScrollViewType> scroll;
        view = introspect(&composite, scrollView(), fromQt64<ScrollViewType>(), scroll.customize());
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(IntrospectionStore::size(), before + 1);
        EXPECT_NE(IntrospectionStore::anchor(view->id()), nullptr);
    }
    EXPECT_TRUE(view.isNull());
    EXPECT_EQ(IntrospectionStore::size(), before);

    // A plain widget that no introspection marked has no anchor.
    QWidget plain;
    EXPECT_EQ(PlatformEntity::anchorEntity(&plain), nullptr);
}

} // namespace
