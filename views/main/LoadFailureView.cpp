#include "views/main/LoadFailureView.h"

#include "views/main/Appearance.h"
#include "views/main/AssetNames.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace velmora {

QString failureExplanation(const APIError& error) {
    const QString host = error.host().isEmpty() ? QObject::tr("The server") : error.host();
    const QString hostInText = error.host().isEmpty() ? QObject::tr("the server") : error.host();
    if (error.isAccessRefused()) {
        return QObject::tr(
                   "%1 refused the account's access. Open Settings \u203a Accounts and sign in to the "
                   "account again.")
            .arg(host);
    }
    switch (error.kind()) {
    case APIError::Kind::RateLimited:
        if (const auto seconds = error.retryAfter()) {
            if (*seconds == 1) {
                return QObject::tr("%1 asked us to slow down. Try again in 1 second.").arg(host);
            }
            return QObject::tr("%1 asked us to slow down. Try again in %2 seconds.").arg(host).arg(*seconds);
        }
        return QObject::tr("%1 asked us to slow down. Try again in a minute.").arg(host);
    case APIError::Kind::PaymentRequired:
        return QObject::tr("%1 refused the request: the account's plan does not include it.").arg(host);
    case APIError::Kind::Validation:
        return QObject::tr("%1 turned the request down.").arg(host);
    default:
        break;
    }
    switch (error.cause()) {
    case APIError::Cause::ServerError:
        return QObject::tr(
                   "%1 answered with an error (HTTP %2). The fault is on the server's side; try again in "
                   "a moment.")
            .arg(host)
            .arg(error.httpStatus());
    case APIError::Cause::Unreachable:
        return QObject::tr("Can't reach %1. The server or the network connection may be down.")
            .arg(hostInText);
    case APIError::Cause::TimedOut:
        return QObject::tr("%1 did not answer in time.").arg(host);
    case APIError::Cause::UntrustedCertificate:
        return QObject::tr("The connection to %1 was refused because its certificate isn't trusted.")
            .arg(hostInText);
    case APIError::Cause::Unreadable:
        return QObject::tr("%1 sent an answer that could not be read.").arg(host);
    case APIError::Cause::None:
        break;
    }
    return QObject::tr("Something went wrong while talking to %1.").arg(hostInText);
}

bool failureMayBeTheInput(const APIError& error) {
    if (error.isAccessRefused()) {
        return false;
    }
    return error.is(APIError::Kind::Validation) ||
           (error.is(APIError::Kind::Unknown) && error.cause() == APIError::Cause::None);
}

LoadFailureView::LoadFailureView(Style style, const QString& headline, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("LoadFailureView"));
    auto* symbol = new QLabel(this);
    m_headline = new QLabel(headline, this);
    m_headline->setObjectName(QStringLiteral("LoadFailureHeadline"));
    m_headline->setTextFormat(Qt::PlainText);
    m_explanation = new QLabel(this);
    m_explanation->setObjectName(QStringLiteral("LoadFailureExplanation"));
    m_explanation->setTextFormat(Qt::PlainText);
    m_explanation->setWordWrap(true);
    QPalette colors = m_explanation->palette();
    colors.setColor(QPalette::WindowText, Appearance::secondary(colors));
    m_explanation->setPalette(colors);
    m_tryAgain = new QPushButton(tr("Try Again"), this);
    m_tryAgain->setObjectName(QStringLiteral("TryAgain"));
    connect(m_tryAgain, &QPushButton::clicked, this, &LoadFailureView::retryRequested);
    QFont bold = m_headline->font();
    bold.setBold(true);

    if (style == Style::page) {
        auto* layout = new QVBoxLayout(this);
        layout->setSpacing(10);
        layout->addStretch();
        symbol->setPixmap(Assets::pixmap(QStringLiteral("exclamationmark.triangle.fill"), QSize(25, 25)));
        symbol->setAlignment(Qt::AlignCenter);
        layout->addWidget(symbol);
        bold.setPointSizeF(bold.pointSizeF() * 20.0 / 13.0);
        m_headline->setFont(bold);
        m_headline->setAlignment(Qt::AlignCenter);
        layout->addWidget(m_headline);
        m_explanation->setAlignment(Qt::AlignCenter);
        m_explanation->setFixedWidth(300);
        layout->addWidget(m_explanation, 0, Qt::AlignHCenter);
        layout->addWidget(m_tryAgain, 0, Qt::AlignHCenter);
        layout->addStretch();
        return;
    }
    setAutoFillBackground(true);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 4, 8, 4);
    symbol->setPixmap(Assets::pixmap(QStringLiteral("exclamationmark.triangle.fill"), QSize(16, 16)));
    row->addWidget(symbol, 0, Qt::AlignVCenter);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(0);
    m_headline->setFont(bold);
    // A narrow list wraps the headline rather than cutting it.
    m_headline->setWordWrap(true);
    texts->addWidget(m_headline);
    texts->addWidget(m_explanation);
    row->addLayout(texts, 1);
    row->addWidget(m_tryAgain, 0, Qt::AlignVCenter);
}

void LoadFailureView::setError(const APIError& error) {
    m_explanation->setText(failureExplanation(error));
    // A wrapped label of fixed width asks for one line's height only; it gets what its
    // lines need.
    const int width = m_explanation->maximumWidth();
    if (width < QWIDGETSIZE_MAX) {
        m_explanation->setMinimumHeight(m_explanation->heightForWidth(width));
    }
}

void LoadFailureView::setHeadline(const QString& headline) {
    m_headline->setText(headline);
}

} // namespace velmora
