#pragma once

#include "core/model/ShellHooks.h"

#include <QUuid>

#include <optional>
#include <utility>
#include <vector>

namespace velmora::test {

// A window manager for tests of core: it records what core asked and lets the test
// set the current account. Installing it (the constructor does) makes it the
// process-wide hooks until it is destroyed, when the previous hooks return.
//
//     test::FakeShellHooks shell;
//     shell.current = someAccount;
//     manager.deleteProvider(id);
//     EXPECT_EQ(shell.deleted.size(), 1u);
//
// Header-only, so test executables that do not link core need nothing for it.
class FakeShellHooks : public ShellHooks {
public:
    FakeShellHooks() : m_previous(ShellHooks::setInstance(this)) {}
    ~FakeShellHooks() override { ShellHooks::setInstance(m_previous); }
    FakeShellHooks(const FakeShellHooks&) = delete;
    FakeShellHooks& operator=(const FakeShellHooks&) = delete;

    std::optional<AnyProvider> currentProvider() const override { return current; }
    void switchToProvider(const QUuid& id, bool force) override { switches.emplace_back(id, force); }
    void selectDefaultProvider(bool showWindow) override { defaultSelections.push_back(showWindow); }
    void providerDeleted(const AnyProvider& provider) override { deleted.push_back(provider); }
    void rebuildMainMenu() override { ++menuRebuilds; }

    // What `currentProvider()` answers.
    std::optional<AnyProvider> current;

    // Every call, in order: (id, force) of each switch, the show-window flag of each
    // selection, each deleted account, the number of menu rebuilds.
    std::vector<std::pair<QUuid, bool>> switches;
    std::vector<bool> defaultSelections;
    std::vector<AnyProvider> deleted;
    int menuRebuilds = 0;

private:
    ShellHooks* m_previous;
};

} // namespace velmora::test
