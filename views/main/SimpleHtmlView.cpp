#include "views/main/SimpleHtmlView.h"

#include "platform/richtext/OutsideHtml.h"
#include "platform/richtext/OutsideTextDocument.h"
#include "views/main/Appearance.h"
#include "views/main/ReadableAlert.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QEvent>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>

namespace velmora {

namespace {
constexpr char pageStart[] = "<html>\n<head>\n"
                             "<meta name=\"viewport\" content=\"width=device-width,minimum-scale=1.0, "
                             "maximum-scale=1.0\">\n"
                             "<style>\n"
                             "body { font-family: -apple-system, system-ui, sans-serif; color: ";
constexpr char pageAfterTextColor[] =
    "; font-size: 12px; line-height: 1.5; margin: 0 16px; padding: 0; "
    "background-color: transparent; overflow-x: hidden; overflow-y: visible; }\n"
    "* { overflow-wrap: anywhere; word-break: break-word; white-space: normal; }\n"
    "ul, ol { margin: 0.5em 0; padding-left: 1.2em; list-style-position: outside; }\n"
    "li { display: list-item; margin: 0.25em 0; }\n"
    "a { color: ";
constexpr char pageAfterLinkColor[] = "; text-decoration: underline; }\n"
                                      "a:hover { opacity: 0.7; }\n"
                                      "img, video { max-width: 100%; }\n"
                                      "</style>\n</head>\n<body>\n";
constexpr char pageEnd[] = "\n</body>\n</html>\n";
} // namespace

SimpleHtmlView::SimpleHtmlView(const QString& content, QWidget* parent)
    : OutsideTextBrowser(parent), m_content(content),
      m_bounded(boundOutsideHtml(content, {}, nullptr, &m_loaded)) {
    setObjectName(QStringLiteral("SimpleHtmlView"));
    // Links never navigate the view; every click comes to activateLink().
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setFrameShape(QFrame::NoFrame);
    setTextInteractionFlags(Qt::TextBrowserInteraction);
    viewport()->setAutoFillBackground(false);
    setStyleSheet(QStringLiteral("QTextBrowser { background: transparent; }"));
    connect(this, &QTextBrowser::anchorClicked, this, &SimpleHtmlView::activateLink);
    render();
}

void SimpleHtmlView::setContent(const QString& content) {
    m_content = content;
    m_bounded = boundOutsideHtml(content, {}, nullptr, &m_loaded);
    m_rendered = false;
    render();
}

QString SimpleHtmlView::hexString(const QColor& color) {
    if (!color.isValid()) {
        return QStringLiteral("#000000");
    }
    const QColor rgb = color.toRgb();
    auto channel = [](float value) { return static_cast<int>(value * 255.0f); };
    return QString::asprintf("#%02X%02X%02X", channel(rgb.redF()), channel(rgb.greenF()),
                             channel(rgb.blueF()));
}

QString SimpleHtmlView::page(const QString& content, const QString& textColor, const QString& linkColor) {
    return QLatin1String(pageStart) + textColor + QLatin1String(pageAfterTextColor) + linkColor +
           QLatin1String(pageAfterLinkColor) + content + QLatin1String(pageEnd);
}

bool SimpleHtmlView::isOpenableLink(const QUrl& url) {
    if (!url.isValid()) {
        return false;
    }
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("mailto")) {
        return !url.path().isEmpty();
    }
    return (scheme == QLatin1String("http") || scheme == QLatin1String("https")) && !url.host().isEmpty();
}

QString SimpleHtmlView::leaveMessage() {
    return QStringLiteral("You are about to leave ") + QGuiApplication::applicationDisplayName();
}

QString SimpleHtmlView::leaveInformativeText(const QUrl& url) {
    const QString host = url.host();
    return QStringLiteral("The link will take you to: ") + (host.isEmpty() ? url.toString() : host);
}

QVariant SimpleHtmlView::loadResource(int type, const QUrl&) {
    // A description is text from elsewhere: it must not make the app fetch or read
    // anything (remote images, style sheets, local files).
    return OutsideTextDocument::placeholder(type);
}

void SimpleHtmlView::changeEvent(QEvent* event) {
    OutsideTextBrowser::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) {
        render();
    }
}

void SimpleHtmlView::render() {
    const QPalette& colors = palette();
    const QString text =
        Appearance::isDark(colors) ? hexString(Appearance::primary(colors)) : hexString(QColor(Qt::black));
    const QString link = hexString(Appearance::accent(colors));
    // Qt reports a style change when the view is built, polished and shown: each one
    // would parse and lay the page out anew in the same colours.
    if (m_rendered && text == m_textColor && link == m_linkColor) {
        return;
    }
    m_textColor = text;
    m_linkColor = link;
    m_rendered = true;
    setBoundedHtml(page(m_bounded, text, link), {}, m_loaded);
}

void SimpleHtmlView::activateLink(const QUrl& url) {
    if (url.isEmpty()) {
        return;
    }
    if (!isOpenableLink(url)) {
        emit linkHandled(url, false);
        return;
    }
    bool confirmed = false;
    if (m_confirmation) {
        confirmed = m_confirmation(url);
    } else {
        QMessageBox alert(QMessageBox::Warning, QString(), leaveMessage(), QMessageBox::NoButton, window());
        alert.setInformativeText(leaveInformativeText(url));
        QPushButton* open = alert.addButton(QStringLiteral("Open in Browser"), QMessageBox::AcceptRole);
        alert.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
        alert.setDefaultButton(open);
        ReadableAlert::prepare(alert);
        alert.exec();
        confirmed = alert.clickedButton() == open;
    }
    if (confirmed) {
        if (m_opener) {
            m_opener(url);
        } else {
            QDesktopServices::openUrl(url);
        }
    }
    emit linkHandled(url, confirmed);
}

} // namespace velmora
