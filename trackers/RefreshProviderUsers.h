#pragma once

#include "core/model/AnyProvider.h"
#include "core/model/ProviderService.h"
#include "trackers/BackgroundJob.h"

#include <QString>

#include <functional>
#include <memory>

namespace velmora {

// Refreshes what the app knows of every account's owner (name, avatar): asks each
// account's tracker for the account's own user and stores it with the account.
//
// A run opens its own connection to the account store on the thread it runs on, so it
// never touches the main thread's; what it stores reaches the main thread through the
// store's change signal. Accounts are handled one after the other, by name, whatever
// their state. One account's failure is logged ("[RefreshProviderUsers] An error
// occurred while refreshing user: <error>.") and the others go on; the run ends with
// "[RefreshProviderUsers] Provider user refresh ended." Both lines go to the
// "Background Task" log.
class RefreshProviderUsers : public BackgroundJob {
public:
    using ServiceMaker = std::function<std::shared_ptr<ProviderService>(const AnyProvider&)>;

    static inline const QString jobKey = QStringLiteral("refresh-provider-users");
    static constexpr double jobInterval = 600;

    // On the app's account store, with the service factory.
    RefreshProviderUsers();
    // On the account store at `storePath`, with services from `makeService`.
    RefreshProviderUsers(QString storePath, ServiceMaker makeService);

    QString key() const override { return jobKey; }
    double interval() const override { return jobInterval; }

    void run() override;

private:
    QString m_storePath;
    ServiceMaker m_makeService;
};

} // namespace velmora
