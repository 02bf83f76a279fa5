#pragma once

#include "core/model/APIError.h"

#include <QString>
#include <QWidget>

class QLabel;
class QPushButton;

namespace velmora {

// What a failed request means, in the user's words: whose fault it was (the server's,
// the network's, a refused certificate or a refused account) and, where there is one,
// what to do. It never blames what the user typed unless the tracker turned the input
// down.
QString failureExplanation(const APIError& error);

// Whether the input may be what the tracker refused (it turned the request down, or
// nothing more is known): only then may a message ask the user to check it.
bool failureMayBeTheInput(const APIError& error);

// Tells that something could not be loaded, why, and offers "Try Again". As a page it
// stands centred in the space where the content would be; as a banner it is one row
// above content that is still shown (or in the list row of a page that failed). Texts
// from outside (the host) are shown as plain text.
class LoadFailureView : public QWidget {
    Q_OBJECT

public:
    enum class Style { page, banner };

    LoadFailureView(Style style, const QString& headline, QWidget* parent = nullptr);

    void setError(const APIError& error);
    void setHeadline(const QString& headline);

    QLabel* headlineLabel() const { return m_headline; }
    QLabel* explanationLabel() const { return m_explanation; }
    QPushButton* tryAgainButton() const { return m_tryAgain; }

signals:
    void retryRequested();

private:
    QLabel* m_headline = nullptr;
    QLabel* m_explanation = nullptr;
    QPushButton* m_tryAgain = nullptr;
};

} // namespace velmora
