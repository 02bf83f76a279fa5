#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class QUrl;

namespace velmora {

// An address no browser could be opened at, to open by hand: what it is for, the address in a
// read-only field, and Copy. Hidden while there is none.
class UnopenedAddressView : public QWidget {
    Q_OBJECT

public:
    // `why`: what opening it does ("To sign in, open this address in a browser:").
    explicit UnopenedAddressView(const QString& why, QWidget* parent = nullptr);

    // Shows `address`; an empty one hides the view.
    void showAddress(const QUrl& address);

    QLineEdit* field() const { return m_field; }
    QPushButton* copyButton() const { return m_copy; }

private:
    QLineEdit* m_field;
    QPushButton* m_copy;
};

} // namespace velmora
