#pragma once

#include "core/model/AnyProvider.h"
#include "core/model/ProviderType.h"

#include <functional>

class QWidget;

namespace velmora {

class ProviderSetupView;

// Makes the setup view of a tracker as each host needs it.
class ProviderSetupViews {
public:
    using Action = std::function<void()>;

    ProviderSetupViews() = delete;

    // A new account of `type`: no delete action.
    static ProviderSetupView* create(ProviderType type, Action onSave, Action onCancel,
                                     QWidget* parent = nullptr);
    // The stored `provider`: no cancel action.
    static ProviderSetupView* edit(const AnyProvider& provider, Action onSave, Action onDelete,
                                   QWidget* parent = nullptr);
};

} // namespace velmora
