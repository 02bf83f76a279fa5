#pragma once

#include "platform/richtext/OutsideHtml.h"

#include <QTextDocument>

#include <functional>

namespace velmora {

// A text document for HTML from outside: nothing it names is ever loaded. Qt's own
// document reads any image or style sheet it cannot get otherwise from the file system
// (a path, a file: or qrc: URL, a relative name), and its image handler reads the file
// itself when the resource is no image; a description naming /dev/zero, a FIFO or the
// user's pictures would be read, block or be shown. Here every image is a transparent
// placeholder pixel and every other resource is empty.
class OutsideTextDocument : public QTextDocument {
    Q_OBJECT

public:
    explicit OutsideTextDocument(QObject* parent = nullptr);

    // The fragment bounded (see boundOutsideHtml) and set as the document's HTML, the fonts its
    // styles need loaded before it is laid out: where loading them would cost more than what
    // `limits` leave for it, the text is cut there, and a note says so.
    void setOutsideHtml(const QString& html, const OutsideHtmlLimits& limits = {});
    // `html` set as setOutsideHtml() sets a fragment it has bounded: a page around a fragment
    // bounded with `limits`, finding whose fonts took `loaded` of them. `set` sets the HTML (a
    // text view sets its document's through itself); by default the document's own.
    void setBoundedHtml(const QString& html, const OutsideHtmlLimits& limits, qint64 loaded,
                        const std::function<void(const QString&)>& set = {});

    // What laying the text set last out costs (see ShapingCost), and what finding and loading its
    // fonts took.
    qint64 spent() const { return m_spent; }
    qint64 loaded() const { return m_loaded; }

    // What stands for any resource of `type`.
    static QVariant placeholder(int type);

protected:
    QVariant loadResource(int type, const QUrl& name) override;

private:
    // Leaves out the text from `position` on, and says so.
    void cutAt(int position);

    qint64 m_spent = 0;
    qint64 m_loaded = 0;
};

} // namespace velmora
