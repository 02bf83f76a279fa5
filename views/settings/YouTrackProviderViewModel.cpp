#include "views/settings/YouTrackProviderViewModel.h"

#include "core/net/APIRequest.h"
#include "trackers/youtrack/YouTrackService.h"
#include "validation/NonEmptyValidator.h"
#include "validation/PatternValidator.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QUrl>

namespace velmora {

namespace {

YouTrackProviderViewModel::ServiceMaker& serviceMaker() {
    static YouTrackProviderViewModel::ServiceMaker maker;
    return maker;
}

std::shared_ptr<ProviderService> makeService(const YouTrackProvider& provider, const QString& token) {
    if (const auto& maker = serviceMaker()) {
        return maker(provider, token);
    }
    return std::make_shared<YouTrackService>(provider,
                                             APIRequest::youTrack(token, provider.parameters().baseUrl));
}

Validatable::MessageSource text(const char* message) {
    return [t = QString::fromUtf8(message)] { return t; };
}

std::unique_ptr<ProviderSetupViewModel::TextField>
field(const QString& value, std::vector<std::shared_ptr<StringValidator>> rules) {
    return std::make_unique<ProviderSetupViewModel::TextField>(
        value,
        std::make_shared<CompositeValidator>(std::move(rules), CompositeValidator::ValidationType::all(),
                                             CompositeValidationMessagesStrategy::onByOne));
}

// Judges an address as it will be stored, so an https address being typed or
// pasted passes before the field is committed and normalised.
class NormalizedPatternValidator : public PatternValidator {
public:
    using PatternValidator::PatternValidator;

    Validation validate() override {
        if (!value() || matches(pattern(), YouTrackProviderViewModel::normalizedBaseUrl(*value()))) {
            return Validation::success();
        }
        return Validation::failure(messageText());
    }
};

std::unique_ptr<ProviderSetupViewModel::TextField> baseUrlField(const QString& value) {
    return field(value,
                 {
                     std::make_shared<NonEmptyValidator>(text("Base URL cannot be empty.")),
                     // An address with a scheme other than https: a token must not travel in
                     // the clear. Said first, since such an address is otherwise well formed.
                     std::make_shared<PatternValidator>(
                         QRegularExpression(QStringLiteral("^\\s*+(https://|(?![a-zA-Z][a-zA-Z0-9+.-]*://))"),
                                            QRegularExpression::CaseInsensitiveOption),
                         text("Base URL must use https.")),
                     // A dotted host name, or an instance on an address (IPv4, or IPv6 in
                     // brackets) or on this machine, which self-hosted installations use.
                     std::make_shared<NormalizedPatternValidator>(
                         QRegularExpression(QStringLiteral(
                             "([a-zA-Z0-9-]+\\.)+[a-zA-Z]{2,}|^(https://"
                             ")?(localhost|(\\d{1,3}\\.){3}\\d{1,3}|\\[[0-9a-fA-F:.]+\\])(:\\d+)?(/|$)")),
                         text("Base URL is invalid.")),
                 });
}

std::unique_ptr<ProviderSetupViewModel::TextField> tokenField() {
    return field(QString(),
                 {
                     std::make_shared<NonEmptyValidator>(text("Permanent token cannot be empty.")),
                     std::make_shared<PatternValidator>(QRegularExpression(QStringLiteral("^perm-(.+$)")),
                                                        text("Permanent token is invalid.")),
                 });
}

// Path segments of the instance's own pages: what follows them is not part of the
// instance's address.
const QStringList& pageSegments() {
    static const QStringList segments{
        QStringLiteral("issue"),     QStringLiteral("issues"),   QStringLiteral("agiles"),
        QStringLiteral("dashboard"), QStringLiteral("projects"), QStringLiteral("articles"),
        QStringLiteral("reports"),   QStringLiteral("admin"),    QStringLiteral("timesheets"),
        QStringLiteral("newIssue"),  QStringLiteral("users"),    QStringLiteral("api"),
    };
    return segments;
}

// The host of an address with a scheme as the user wrote it: after the scheme and any
// user name, up to the port, path, query or fragment; an IPv6 literal with its brackets
// stripped.
QString hostAsTyped(const QString& text) {
    QString authority = text.mid(text.indexOf(QStringLiteral("://")) + 3);
    const qsizetype end = authority.indexOf(QRegularExpression(QStringLiteral("[/?#]")));
    if (end >= 0) {
        authority.truncate(end);
    }
    authority = authority.mid(authority.lastIndexOf(QLatin1Char('@')) + 1);
    if (authority.startsWith(QLatin1Char('['))) {
        return authority.mid(1, authority.indexOf(QLatin1Char(']')) - 1);
    }
    return authority.left(authority.indexOf(QLatin1Char(':')));
}

QString withoutTrailingSlashes(QString text) {
    while (text.endsWith(QLatin1Char('/'))) {
        text.chop(1);
    }
    return text;
}

} // namespace

YouTrackProviderViewModel::YouTrackProviderViewModel(Action onSave, QObject* parent)
    : ProviderSetupViewModel(ProviderType::youTrack, QString(), std::move(onSave), parent),
      m_baseUrl(baseUrlField(QString())), m_token(tokenField()) {
    m_baseUrlValidation = follow(*m_baseUrl);
    m_tokenValidation = follow(*m_token);
    initialiseChangeCredentials(true);
}

YouTrackProviderViewModel::YouTrackProviderViewModel(const YouTrackProvider& provider, Action onSave,
                                                     QObject* parent)
    : ProviderSetupViewModel(ProviderType::youTrack, provider.name(), std::move(onSave), parent),
      m_model(provider), m_baseUrl(baseUrlField(provider.parameters().baseUrl)), m_token(tokenField()) {
    m_baseUrlValidation = follow(*m_baseUrl);
    m_tokenValidation = follow(*m_token);
    initialiseChangeCredentials(false);
}

YouTrackProviderViewModel::~YouTrackProviderViewModel() = default;

void YouTrackProviderViewModel::setServiceMaker(ServiceMaker maker) {
    serviceMaker() = std::move(maker);
}

QString YouTrackProviderViewModel::normalizedBaseUrl(const QString& typed) {
    const QString text = typed.trimmed();
    if (!text.contains(QStringLiteral("://"))) {
        return withoutTrailingSlashes(text);
    }
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().compare(QStringLiteral("https"), Qt::CaseInsensitive) != 0 ||
        url.host().isEmpty()) {
        return text;
    }
    QString result = url.host(QUrl::FullyEncoded);
    QHostAddress address;
    if (address.setAddress(url.host())) {
        if (address.protocol() == QAbstractSocket::IPv6Protocol) {
            result = QLatin1Char('[') + result + QLatin1Char(']');
        } else if (hostAsTyped(text).compare(result, Qt::CaseInsensitive) != 0) {
            // The parser widened a shorthand ("127" to "0.0.0.127"): that is not the
            // address the user means, so it is judged as typed.
            return text;
        }
    }
    if (url.port() != -1 && url.port() != 443) {
        result += QLatin1Char(':') + QString::number(url.port());
    }
    QStringList kept;
    for (const QString& segment : url.path(QUrl::FullyEncoded).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (pageSegments().contains(segment)) {
            break;
        }
        kept << segment;
    }
    if (!kept.isEmpty()) {
        result += QLatin1Char('/') + kept.join(QLatin1Char('/'));
    }
    return result;
}

void YouTrackProviderViewModel::commitBaseUrl() {
    const QString normalized = normalizedBaseUrl(m_baseUrl->value());
    if (normalized != m_baseUrl->value()) {
        m_baseUrl->setValue(normalized);
    }
}

void YouTrackProviderViewModel::credentialsModeChanged(bool on) {
    if (on) {
        m_baseUrl->setValue(QString());
        m_token->setValue(QString());
    } else {
        // Whatever was typed meanwhile is dropped: the stored instance stays.
        release(m_userCancellable);
        m_baseUrl->setValue(m_model.parameters().baseUrl);
    }
}

void YouTrackProviderViewModel::save() {
    // One save at a time: a second click while the first runs does nothing.
    if (networkRequestInProgress()) {
        return;
    }
    commitBaseUrl();
    m_model.setName(name().value());
    if (!changeCredentials()) {
        if (name().validator()->validate().isFailure()) {
            return;
        }
        auto saved = store(m_model, std::nullopt);
        if (!saved) {
            return;
        }
        m_model = *saved;
        finishSave();
        return;
    }
    if (!manager().checkAllValid()) {
        return;
    }
    const QString token = m_token->value();
    YouTrackProvider::Parameters parameters{m_baseUrl->value()};
    YouTrackProvider transient(std::nullopt, m_model.name(), parameters);
    auto service = makeService(transient, token);
    if (!service) {
        checkFailed(APIError::unknown());
        return;
    }
    track(m_userCancellable, service->fetchUser().receiveOn(this).subscribe(
                                 [this, service, token, parameters](Result<ProviderUser, APIError> result) {
                                     if (!result.ok()) {
                                         release(m_userCancellable);
                                         checkFailed(result.error());
                                         return;
                                     }
                                     YouTrackProvider account = m_model;
                                     account.setParameters(parameters);
                                     account.setUser(result.value());
                                     account.setState(ProviderState::operational);
                                     auto saved = store(account, YouTrackProvider::Credentials{token});
                                     release(m_userCancellable);
                                     if (!saved) {
                                         return;
                                     }
                                     m_model = *saved;
                                     finishSave();
                                 }));
}

} // namespace velmora
