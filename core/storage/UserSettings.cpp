#include "core/storage/UserSettings.h"

#include "core/model/Logger.h"

namespace velmora {

namespace {
const QString kChangeDefaultAccountAutomatically = QStringLiteral("changeDefaultAccountAutomatically");
const QString kDefaultAccount = QStringLiteral("defaultAccount");
const QString kShowUnresolvedTasksByDefault = QStringLiteral("showUnresolvedTasksByDefault");
const QString kShowMyTasksByDefault = QStringLiteral("showMyTasksByDefault");
const QString kPersistProjectFilters = QStringLiteral("persistProjectFilters");
const QString kStopTimeTrackingWhenClosed = QStringLiteral("stopTimeTrackingWhenClosed");
const QString kStopTimeTrackingWhenSwitching = QStringLiteral("stopTimeTrackingWhenSwitching");
} // namespace

UserSettings::UserSettings(QObject* parent)
    : QObject(parent), m_open([] { return std::make_unique<QSettings>(); }), m_settings(m_open()) {}

UserSettings::UserSettings(const QString& filePath, QObject* parent)
    : QObject(parent),
      m_open([filePath] { return std::make_unique<QSettings>(filePath, QSettings::NativeFormat); }),
      m_settings(m_open()) {}

UserSettings::~UserSettings() = default;

UserSettings& UserSettings::shared() {
    // Deliberately never destroyed: views and managers may still read it while the
    // application object goes away.
    static auto* instance = new UserSettings();
    return *instance;
}

bool UserSettings::readBool(const QString& key, bool fallback) const {
    const QVariant value = m_settings->value(key);
    if (!value.isValid()) {
        return fallback;
    }
    return value.toBool();
}

bool UserSettings::write(const QString& key, const QVariant& value, const QVariant& fallback) {
    const QVariant previous = m_settings->value(key);
    const QVariant stored = previous.isValid() ? previous : fallback;
    const bool changed = stored.toString() != value.toString();
    m_settings->setValue(key, value);
    // Stored at once, so a crash right after a change does not lose it.
    m_settings->sync();
    if (m_settings->status() == QSettings::NoError) {
        return changed;
    }
    // The file keeps the old value, so this run does too: what is read and announced
    // is what the next start will find.
    logError(Logger::dataManager(),
             QStringLiteral("[UserSettings] The setting \"%1\" could not be stored in %2")
                 .arg(key, m_settings->fileName()));
    if (previous.isValid()) {
        m_settings->setValue(key, previous);
    } else {
        m_settings->remove(key);
    }
    m_settings->sync();
    // A settings object keeps the first error it met for good; a fresh one tells the
    // next write's outcome apart.
    m_settings = m_open();
    return false;
}

#define VELMORA_BOOL_SETTING(getter, setter, key, fallback)                                                  \
    bool UserSettings::getter() const {                                                                      \
        return readBool(key, fallback);                                                                      \
    }                                                                                                        \
    void UserSettings::setter(bool value) {                                                                  \
        if (write(key, value, fallback)) {                                                                   \
            emit getter##Changed(value);                                                                     \
            emit settingChanged(key);                                                                        \
        }                                                                                                    \
    }

VELMORA_BOOL_SETTING(changeDefaultAccountAutomatically, setChangeDefaultAccountAutomatically,
                     kChangeDefaultAccountAutomatically, true)
VELMORA_BOOL_SETTING(showUnresolvedTasksByDefault, setShowUnresolvedTasksByDefault,
                     kShowUnresolvedTasksByDefault, true)
VELMORA_BOOL_SETTING(showMyTasksByDefault, setShowMyTasksByDefault, kShowMyTasksByDefault, true)
VELMORA_BOOL_SETTING(persistProjectFilters, setPersistProjectFilters, kPersistProjectFilters, true)
VELMORA_BOOL_SETTING(stopTimeTrackingWhenClosed, setStopTimeTrackingWhenClosed, kStopTimeTrackingWhenClosed,
                     true)
VELMORA_BOOL_SETTING(stopTimeTrackingWhenSwitching, setStopTimeTrackingWhenSwitching,
                     kStopTimeTrackingWhenSwitching, true)

#undef VELMORA_BOOL_SETTING

QString UserSettings::defaultAccount() const {
    return m_settings->value(kDefaultAccount, QString()).toString();
}

void UserSettings::setDefaultAccount(const QString& value) {
    if (write(kDefaultAccount, value, QString())) {
        emit defaultAccountChanged(value);
        emit settingChanged(kDefaultAccount);
    }
}

} // namespace velmora
