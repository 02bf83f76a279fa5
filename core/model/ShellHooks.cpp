#include "core/model/ShellHooks.h"

#include <atomic>

namespace velmora {

namespace {
class SilentShellHooks final : public ShellHooks {
public:
    std::optional<AnyProvider> currentProvider() const override { return std::nullopt; }
    void switchToProvider(const QUuid&, bool) override {}
    void selectDefaultProvider(bool) override {}
    void providerDeleted(const AnyProvider&) override {}
    void rebuildMainMenu() override {}
};

SilentShellHooks& silent() {
    static SilentShellHooks hooks;
    return hooks;
}

std::atomic<ShellHooks*> installed{nullptr};
} // namespace

ShellHooks& ShellHooks::instance() {
    ShellHooks* hooks = installed.load();
    return hooks ? *hooks : silent();
}

ShellHooks* ShellHooks::setInstance(ShellHooks* hooks) {
    return installed.exchange(hooks);
}

} // namespace velmora
