#pragma once

#include "core/model/APIError.h"
#include "core/model/ProviderProtocol.h"
#include "core/model/ProviderType.h"
#include "core/storage/ProviderManager.h"
#include "platform/async/Cancellable.h"
#include "validation/CompositeValidator.h"
#include "validation/FormField.h"
#include "validation/FormManager.h"
#include "validation/ValidationContainer.h"

#include <QObject>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace velmora {

// What the setup forms of the three trackers share: the name field and its rule, the
// form manager, the create and edit modes, the flags the view shows (alerts, progress)
// and the bookkeeping of running requests. The tracker's model adds its parameter,
// its credentials and the requests that check them.
//
// Saving runs to its end before the host hears of it: `onSave` runs only after the
// account and its credentials were stored; a store or keyring failure is shown
// (`saveError`) and leaves the form open with its values.
class ProviderSetupViewModel : public QObject {
    Q_OBJECT
public:
    using Action = std::function<void()>;
    using TextField = FormField<QString, CompositeValidator>;

    // A choice of the tracker (a Jira site, an Asana workspace): its id and its name.
    struct Choice {
        QString id;
        QString name;
    };

    ~ProviderSetupViewModel() override;

    ProviderType type() const { return m_type; }

    FormManager& manager() { return m_manager; }
    TextField& name() { return *m_name; }
    const ValidationContainer& nameValidation() const { return *m_nameValidation; }

    // The account's name as stored when the form opened (empty for a new account).
    const QString& storedName() const { return m_storedName; }

    // The account being edited already exists (it has an id).
    virtual bool isExisting() const = 0;

    bool changeCredentials() const { return m_changeCredentials; }
    // Runs the tracker's credentials rule after every assignment.
    void setChangeCredentials(bool value);

    bool badCredentials() const { return m_badCredentials; }
    // Clearing the flag also forgets the failure that raised it.
    void setBadCredentials(bool value);
    // Why the credentials could not be checked, while `badCredentials` is up; absent
    // when nothing more is known than that they could not.
    const std::optional<APIError>& failure() const { return m_failure; }
    // Whether the user typed the address the requests go to (YouTrack), rather than
    // the tracker's own sign-in reaching a fixed one.
    virtual bool addressIsTyped() const { return false; }

    // True while any request of the form runs, and while the account is being stored.
    bool networkRequestInProgress() const { return m_running > 0; }

    // Why the last save could not be stored, as the user is told it; empty when it
    // could. Cleared by the view when the user closes the alert.
    const QString& saveError() const { return m_saveError; }
    void setSaveError(const QString& message);

    // Whether the main button is "Authorize" (true) or "OK".
    virtual bool showsAuthorize() const { return false; }
    // "Authorize": starts the tracker's sign-in in the browser.
    virtual void authorize() {}
    // "OK".
    virtual void confirm() = 0;

    // The tracker's choices for the picker (Jira, Asana); empty for YouTrack.
    virtual std::vector<Choice> choices() const { return {}; }
    // The field that the picker or the credential fields edit; null for none.
    virtual TextField* parameterField() { return nullptr; }
    virtual std::optional<ValidationContainer> parameterValidation() const { return std::nullopt; }

    // Whether the form waits for the tracker's credentials from the browser sign-in.
    bool awaitingCredentials() const { return m_awaitingCredentials; }

    // What opens an address in the browser (the desktop's, unless set), and whether it could.
    using BrowserOpener = std::function<bool(const QUrl&)>;
    void setBrowserOpener(BrowserOpener open) { m_openBrowser = std::move(open); }
    // The sign-in address no browser could be opened at, for the user to open by hand; empty
    // otherwise.
    const QUrl& unopenedAddress() const { return m_unopenedAddress; }

    // The user message of a failed store.
    static QString saveErrorMessage(const ProviderManagerError& error);

signals:
    void changeCredentialsChanged(bool value);
    void badCredentialsChanged(bool value);
    void networkRequestInProgressChanged(bool value);
    void saveErrorChanged(const QString& message);
    // The main button or the picker's choices may have changed.
    void choicesChanged();
    void unopenedAddressChanged(const QUrl& address);

protected:
    ProviderSetupViewModel(ProviderType type, const QString& name, Action onSave, QObject* parent);

    // The tracker's part of `setChangeCredentials`.
    virtual void credentialsModeChanged(bool on) = 0;

    // Sets the initial mode without running the rule (the fields start as they are).
    void initialiseChangeCredentials(bool value) { m_changeCredentials = value; }

    // Registers a field's validator with the form and keeps it following the field's
    // value, so the form's validity is known with or without a view on screen.
    ValidationContainer follow(TextField& field);

    // Keeps a running request in its slot (one per kind; a new one replaces the old);
    // `release` empties the slot once the request has delivered.
    void track(Cancellable& slot, Cancellable subscription);
    void release(Cancellable& slot);

    void setAwaitingCredentials(bool value) { m_awaitingCredentials = value; }
    // Opens `address` in the browser; where none opens, the address is kept for the user.
    void openInBrowser(const QUrl& address);
    // The sign-in came back: the address kept for the user is done with.
    void forgetUnopenedAddress();

    // A request that checks the credentials failed: raises `badCredentials` with why.
    void checkFailed(const APIError& error);

    // Stores the account (and the credentials when given) and yields the stored
    // account; on failure shows why and yields none.
    template <ProviderProtocol P>
    std::optional<P> store(const P& provider, const std::optional<typename P::Credentials>& credentials) {
        auto saved = ProviderManager::shared().save(provider, credentials);
        if (!saved.ok()) {
            setSaveError(saveErrorMessage(saved.error()));
            return std::nullopt;
        }
        setSaveError(QString());
        return std::move(saved).value();
    }

    // Runs the host's save action; the host may end this model in it, so callers
    // touch nothing of theirs afterwards.
    void finishSave();

private:
    void setRunning(int running);
    // Empties the parameter when the tracker's choices no longer hold it.
    void dropUnlistedChoice();

    const ProviderType m_type;
    FormManager m_manager;
    std::unique_ptr<TextField> m_name;
    QString m_storedName;
    std::optional<ValidationContainer> m_nameValidation;
    std::vector<Cancellable> m_following;
    Action m_onSave;
    bool m_changeCredentials = false;
    bool m_badCredentials = false;
    std::optional<APIError> m_failure;
    bool m_awaitingCredentials = false;
    BrowserOpener m_openBrowser;
    QUrl m_unopenedAddress;
    int m_running = 0;
    QString m_saveError;
};

} // namespace velmora
