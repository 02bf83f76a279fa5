#pragma once

#include "platform/richtext/OutsideTextBrowser.h"

#include <QColor>
#include <QString>
#include <QUrl>

#include <functional>

namespace velmora {

// An HTML fragment from a tracker (a task description, a work-log text) shown as
// native-looking text. The fragment goes into a fixed page with the system font at
// 12 px and text and link colours that follow the appearance.
//
// Nothing in the fragment is ever fetched: no images, no style sheets, no local files.
// A click on a link asks the user whether to leave for the browser, and only web and
// mail links (http, https, mailto) are ever opened; any other scheme is refused.
class SimpleHtmlView : public OutsideTextBrowser {
    Q_OBJECT

public:
    // Asks whether to open `url`; true to open. The default is a modal alert.
    using Confirmation = std::function<bool(const QUrl& url)>;
    // Hands `url` to the desktop (the default browser or mail program).
    using Opener = std::function<void(const QUrl& url)>;

    explicit SimpleHtmlView(const QString& content = {}, QWidget* parent = nullptr);

    const QString& content() const { return m_content; }
    // A new fragment; the page is built anew.
    void setContent(const QString& content);

    // Tests replace the alert and the desktop.
    void setConfirmation(Confirmation confirmation) { m_confirmation = std::move(confirmation); }
    void setOpener(Opener opener) { m_opener = std::move(opener); }

    // The page around `content`.
    static QString page(const QString& content, const QString& textColor, const QString& linkColor);
    // "#RRGGBB" of the colour's red, green and blue (each 0..1 times 255, truncated);
    // "#000000" for an invalid colour. Alpha is left out.
    static QString hexString(const QColor& color);
    // Whether a link may leave for the desktop: http, https and mailto only.
    static bool isOpenableLink(const QUrl& url);
    // "You are about to leave Velmora" and "The link will take you to: host".
    static QString leaveMessage();
    static QString leaveInformativeText(const QUrl& url);

    // Nothing is loaded for the page: every image is a transparent placeholder and
    // every other resource is empty. The page's document answers the same way.
    QVariant loadResource(int type, const QUrl& name) override;

signals:
    // After a link was handled: whether it was opened.
    void linkHandled(const QUrl& url, bool opened);

protected:
    void changeEvent(QEvent* event) override;

private:
    void render();
    void activateLink(const QUrl& url);

    QString m_content;
    // What finding the fonts of the content took: what is left of the budget loads its styles.
    // Before the content bounded, which sets it.
    qint64 m_loaded = 0;
    // The content bounded, and the colours it was last laid out in: a style or palette
    // change that leaves them as they were lays nothing out again.
    QString m_bounded;
    QString m_textColor;
    QString m_linkColor;
    bool m_rendered = false;
    Confirmation m_confirmation;
    Opener m_opener;
};

} // namespace velmora
