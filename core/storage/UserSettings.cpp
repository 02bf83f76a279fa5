#include "core/storage/UserSettings.h"

#include "core/model/Logger.h"

#include <QDateTime>
#include <QFile>
#include <QStringDecoder>

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

// Qt writes the settings file through a temporary of its own (unnamed where the file system
// allows, else "<file>.XXXXXX"), whose name the app cannot tell from a user's file beside it such
// as "<file>.backup": nothing next to the settings file is removed here.
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

namespace {

// Whether the settings file is one the store can make sense of. The store's own
// reading skips what it does not understand, so a damaged file (random bytes, not
// text at all) reads as some or no settings and would be rewritten from that.
bool settingsFileReadable(const QSettings& settings) {
    if (settings.status() == QSettings::FormatError) {
        return false;
    }
    QFile file(settings.fileName());
    if (!file.exists() || !file.open(QIODevice::ReadOnly)) {
        return true;
    }
    // A settings file is a few lines of text; this bounds what is read.
    constexpr qint64 limit = 1 << 20;
    const QByteArray bytes = file.read(limit + 1);
    if (bytes.size() > limit || bytes.contains('\0')) {
        return false;
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(bytes);
    return !utf8.hasError();
}

} // namespace

bool UserSettings::setAsideUnreadableFile() {
    if (m_fileChecked) {
        return true;
    }
    if (settingsFileReadable(*m_settings)) {
        m_fileChecked = true;
        return true;
    }
    // The store would rewrite the file from the little it made of it: the user's
    // original is copied aside first, and the store starts afresh without it.
    const QString path = m_settings->fileName();
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = path + QStringLiteral(".unreadable-") + stamp;
    for (int n = 2; QFile::exists(aside); ++n) {
        aside = path + QStringLiteral(".unreadable-") + stamp + QLatin1Char('-') + QString::number(n);
    }
    if (!QFile::copy(path, aside) || !QFile::remove(path)) {
        logError(Logger::dataManager(),
                 QStringLiteral("[UserSettings] The settings file %1 cannot be read nor set aside; "
                                "it is left as it is")
                     .arg(path));
        return false;
    }
    logError(Logger::dataManager(),
             QStringLiteral("[UserSettings] The settings file %1 could not be read; it was copied to %2")
                 .arg(path, aside));
    m_settings = m_open();
    m_fileChecked = true;
    return true;
}

bool UserSettings::write(const QString& key, const QVariant& value, const QVariant& fallback) {
    if (!setAsideUnreadableFile()) {
        return false;
    }
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
