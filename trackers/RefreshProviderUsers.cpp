#include "trackers/RefreshProviderUsers.h"

#include "core/model/Logger.h"
#include "platform/store/ProviderStore.h"
#include "trackers/ServiceFactory.h"

#include <QEventLoop>
#include <QMetaObject>
#include <QPointer>

#include <mutex>
#include <optional>

namespace velmora {

namespace {

const QString logPrefix = QStringLiteral("[RefreshProviderUsers] ");

// Waits, spinning this thread's event loop, for the service's user. The outcome may
// arrive on another thread (a token refresh finishes on the main thread).
Result<ProviderUser, APIError> fetchUserAsync(ProviderService& service) {
    struct Outcome {
        std::mutex mutex;
        std::optional<Result<ProviderUser, APIError>> result;
    };
    auto outcome = std::make_shared<Outcome>();
    QEventLoop loop;
    QPointer<QEventLoop> waiting(&loop);
    Cancellable subscription =
        service.fetchUser().subscribe([outcome, waiting](Result<ProviderUser, APIError> r) {
            {
                std::lock_guard lock(outcome->mutex);
                outcome->result = std::move(r);
            }
            // Queued, so the loop is told even when this runs on another thread; a loop
            // that has not started yet finds the outcome below and does not wait.
            if (waiting) {
                QMetaObject::invokeMethod(waiting, "quit", Qt::QueuedConnection);
            }
        });
    for (;;) {
        {
            std::lock_guard lock(outcome->mutex);
            if (outcome->result) {
                return *outcome->result;
            }
        }
        loop.exec();
    }
}

} // namespace

RefreshProviderUsers::RefreshProviderUsers()
    : RefreshProviderUsers(ProviderStore::defaultPath(), [](const AnyProvider& provider) {
          return ServiceFactory::makeService(provider);
      }) {}

RefreshProviderUsers::RefreshProviderUsers(QString storePath, ServiceMaker makeService)
    : m_storePath(std::move(storePath)), m_makeService(std::move(makeService)) {}

void RefreshProviderUsers::run() {
    // This thread's own connection; it closes with the run.
    ProviderStore store(m_storePath);
    auto rows = store.fetchProviders();
    if (!rows.ok()) {
        logError(Logger::dataManager(),
                 QStringLiteral("[ProviderManager] An error occurred while fetching providers: ") +
                     rows.error().description);
    }
    const std::vector<AnyProvider> providers =
        rows.ok() ? providersFromEntities(rows.value()) : std::vector<AnyProvider>();

    for (const AnyProvider& provider : providers) {
        const auto id = providerId(provider);
        auto service = m_makeService(provider);
        if (!id || !service) {
            continue;
        }
        const auto user = fetchUserAsync(*service);
        if (!user.ok()) {
            logError(Logger::backgroundTask(),
                     logPrefix + QStringLiteral("An error occurred while refreshing user: ") +
                         user.error().description() + QLatin1Char('.'));
            continue;
        }
        const ProviderUser& owner = user.value();
        auto stored = store.setUser(*id, ProviderUserEntity{owner.externalId, owner.avatar, owner.name});
        if (!stored.ok()) {
            logError(Logger::dataManager(),
                     QStringLiteral("[ProviderManager] An error occurred while setting provider user: ") +
                         stored.error().description);
        }
    }
    qCInfo(Logger::backgroundTask()).noquote() << logPrefix + QStringLiteral("Provider user refresh ended.");
}

} // namespace velmora
