#pragma once

#include "core/model/AnyProvider.h"

#include <QObject>
#include <QPointer>
#include <QUuid>

#include <optional>

namespace velmora {

class ProviderStore;

// The one stored account a view is about (the main window's current account), kept up
// to date like FetchProviders: a change of its row (a new name, another state) reaches
// the view through `providerChanged`. None while no id is set, when the account was
// deleted (until the shell moves the window on) or when its row cannot be read.
// Main thread only.
class FetchProvider : public QObject {
    Q_OBJECT
public:
    explicit FetchProvider(QObject* parent = nullptr);
    explicit FetchProvider(ProviderStore& store, QObject* parent = nullptr);

    std::optional<QUuid> providerId() const { return m_providerId; }
    // Takes effect at once.
    void setProviderId(std::optional<QUuid> id);

    const std::optional<AnyProvider>& provider() const { return m_provider; }

    void refresh();

signals:
    void providerChanged();

private:
    QPointer<ProviderStore> m_store;
    std::optional<QUuid> m_providerId;
    std::optional<AnyProvider> m_provider;
};

} // namespace velmora
