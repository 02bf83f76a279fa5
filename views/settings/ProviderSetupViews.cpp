#include "views/settings/ProviderSetupViews.h"

#include "views/settings/AsanaProviderView.h"
#include "views/settings/JiraProviderView.h"
#include "views/settings/YouTrackProviderView.h"

namespace velmora {

ProviderSetupView* ProviderSetupViews::create(ProviderType type, Action onSave, Action onCancel,
                                              QWidget* parent) {
    switch (type) {
    case ProviderType::jira:
        return new JiraProviderView(new JiraProviderViewModel(std::move(onSave)), {}, std::move(onCancel),
                                    parent);
    case ProviderType::asana:
        return new AsanaProviderView(new AsanaProviderViewModel(std::move(onSave)), {}, std::move(onCancel),
                                     parent);
    case ProviderType::youTrack:
        break;
    }
    return new YouTrackProviderView(new YouTrackProviderViewModel(std::move(onSave)), {}, std::move(onCancel),
                                    parent);
}

ProviderSetupView* ProviderSetupViews::edit(const AnyProvider& provider, Action onSave, Action onDelete,
                                            QWidget* parent) {
    return std::visit(
        [&](const auto& account) -> ProviderSetupView* {
            using P = std::decay_t<decltype(account)>;
            if constexpr (std::is_same_v<P, JiraProvider>) {
                return new JiraProviderView(new JiraProviderViewModel(account, std::move(onSave)),
                                            std::move(onDelete), {}, parent);
            } else if constexpr (std::is_same_v<P, AsanaProvider>) {
                return new AsanaProviderView(new AsanaProviderViewModel(account, std::move(onSave)),
                                             std::move(onDelete), {}, parent);
            } else {
                return new YouTrackProviderView(new YouTrackProviderViewModel(account, std::move(onSave)),
                                                std::move(onDelete), {}, parent);
            }
        },
        provider);
}

} // namespace velmora
