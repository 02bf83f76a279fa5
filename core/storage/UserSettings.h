#pragma once

#include <QObject>
#include <QSettings>
#include <QString>

#include <functional>
#include <memory>

namespace velmora {

// The user's preferences, kept in the native per-user settings store under keys
// named exactly like the properties. A key that holds nothing reads as its default;
// every write is stored at once and announced by the property's change signal (the
// settings pages bind to them), but only when the value really changed and was stored.
class UserSettings : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool changeDefaultAccountAutomatically READ changeDefaultAccountAutomatically WRITE
                   setChangeDefaultAccountAutomatically NOTIFY changeDefaultAccountAutomaticallyChanged)
    Q_PROPERTY(
        QString defaultAccount READ defaultAccount WRITE setDefaultAccount NOTIFY defaultAccountChanged)
    Q_PROPERTY(bool showUnresolvedTasksByDefault READ showUnresolvedTasksByDefault WRITE
                   setShowUnresolvedTasksByDefault NOTIFY showUnresolvedTasksByDefaultChanged)
    Q_PROPERTY(bool showMyTasksByDefault READ showMyTasksByDefault WRITE setShowMyTasksByDefault NOTIFY
                   showMyTasksByDefaultChanged)
    Q_PROPERTY(bool persistProjectFilters READ persistProjectFilters WRITE setPersistProjectFilters NOTIFY
                   persistProjectFiltersChanged)
    Q_PROPERTY(bool stopTimeTrackingWhenClosed READ stopTimeTrackingWhenClosed WRITE
                   setStopTimeTrackingWhenClosed NOTIFY stopTimeTrackingWhenClosedChanged)
    Q_PROPERTY(bool stopTimeTrackingWhenSwitching READ stopTimeTrackingWhenSwitching WRITE
                   setStopTimeTrackingWhenSwitching NOTIFY stopTimeTrackingWhenSwitchingChanged)

public:
    // The application's own store (organisation and application name of the running
    // application, native format). Reads nothing until a setting is asked for.
    explicit UserSettings(QObject* parent = nullptr);
    // A store in the given file, for tests and tools.
    explicit UserSettings(const QString& filePath, QObject* parent = nullptr);
    ~UserSettings() override;

    // The process's one instance, made on first use and kept until the end.
    static UserSettings& shared();

    bool changeDefaultAccountAutomatically() const;
    void setChangeDefaultAccountAutomatically(bool value);
    QString defaultAccount() const;
    void setDefaultAccount(const QString& value);
    bool showUnresolvedTasksByDefault() const;
    void setShowUnresolvedTasksByDefault(bool value);
    bool showMyTasksByDefault() const;
    void setShowMyTasksByDefault(bool value);
    bool persistProjectFilters() const;
    void setPersistProjectFilters(bool value);
    bool stopTimeTrackingWhenClosed() const;
    void setStopTimeTrackingWhenClosed(bool value);
    bool stopTimeTrackingWhenSwitching() const;
    void setStopTimeTrackingWhenSwitching(bool value);

signals:
    void changeDefaultAccountAutomaticallyChanged(bool value);
    void defaultAccountChanged(const QString& value);
    void showUnresolvedTasksByDefaultChanged(bool value);
    void showMyTasksByDefaultChanged(bool value);
    void persistProjectFiltersChanged(bool value);
    void stopTimeTrackingWhenClosedChanged(bool value);
    void stopTimeTrackingWhenSwitchingChanged(bool value);
    // After any of the above, with the setting's key.
    void settingChanged(const QString& key);

private:
    bool readBool(const QString& key, bool fallback) const;
    // Stores and syncs; true when the stored value changed. A value that could not be
    // stored is logged, taken back and reported as no change.
    bool write(const QString& key, const QVariant& value, const QVariant& fallback);
    // Before the first write over a file the store could not parse: copies it aside
    // and starts afresh. False when it could not be set aside (nothing may be written).
    bool setAsideUnreadableFile();

    std::function<std::unique_ptr<QSettings>()> m_open;
    std::unique_ptr<QSettings> m_settings;
    // Whether the file was found readable (or set aside) once already.
    bool m_fileChecked = false;
};

} // namespace velmora
