#pragma once

#include <QWidget>

class QLabel;

namespace velmora {

// One row of a settings section: a title, an optional second line in footnote size under
// it, and the row's control at the trailing edge.
class SettingsRow : public QWidget {
    Q_OBJECT
public:
    SettingsRow(const QString& title, const QString& footnote, QWidget* control, QWidget* parent = nullptr);

    QString title() const;
    QString footnote() const;
    void setFootnote(const QString& footnote);
    QWidget* control() const { return m_control; }

private:
    QLabel* m_title = nullptr;
    QLabel* m_footnote = nullptr;
    QWidget* m_control = nullptr;
};

} // namespace velmora
