#pragma once

#include "core/model/ProviderService.h"
#include "core/model/YouTrackProvider.h"
#include "views/settings/ProviderSetupViewModel.h"

#include <functional>
#include <memory>

namespace velmora {

// The state of the YouTrack setup form: name, base URL and permanent token. "OK" asks
// the instance for the token's owner and stores the account with that user and the
// token; editing without "Change credentials" stores the name alone, with no request.
class YouTrackProviderViewModel : public ProviderSetupViewModel {
    Q_OBJECT
public:
    // Makes the service that checks a token against the account's base URL.
    using ServiceMaker = std::function<std::shared_ptr<ProviderService>(const YouTrackProvider& provider,
                                                                        const QString& token)>;

    // A new account.
    explicit YouTrackProviderViewModel(Action onSave = {}, QObject* parent = nullptr);
    // An existing account; its stored token is never read into the form.
    YouTrackProviderViewModel(const YouTrackProvider& provider, Action onSave = {},
                              QObject* parent = nullptr);
    ~YouTrackProviderViewModel() override;

    TextField& baseUrl() { return *m_baseUrl; }
    const ValidationContainer& baseUrlValidation() const { return *m_baseUrlValidation; }
    TextField& token() { return *m_token; }
    const ValidationContainer& tokenValidation() const { return *m_tokenValidation; }

    const YouTrackProvider& model() const { return m_model; }
    bool isExisting() const override { return m_model.id().has_value(); }
    bool addressIsTyped() const override { return true; }

    // The user has committed the base URL (left the field, pressed Return): it is
    // brought to the stored form.
    void commitBaseUrl();

    // The stored form of a base URL as typed or pasted: an https address keeps its
    // host, port and path (a page of the instance is cut back to the instance) and
    // loses the scheme; text without a scheme stays as typed (trailing "/" dropped);
    // an address of another scheme stays as typed, for the field's rule to refuse.
    static QString normalizedBaseUrl(const QString& text);

    void save();
    void confirm() override { save(); }

    // Tests reach their fake instance through this; null: the real service.
    static void setServiceMaker(ServiceMaker maker);

protected:
    void credentialsModeChanged(bool on) override;

private:
    YouTrackProvider m_model;
    std::unique_ptr<TextField> m_baseUrl;
    std::unique_ptr<TextField> m_token;
    std::optional<ValidationContainer> m_baseUrlValidation;
    std::optional<ValidationContainer> m_tokenValidation;
    Cancellable m_userCancellable;
};

} // namespace velmora
