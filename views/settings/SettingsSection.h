#pragma once

#include <QWidget>

class QLabel;
class QVBoxLayout;

namespace velmora {

class SettingsRow;

// A group of rows in a settings form: an optional header over a rounded box whose rows are
// parted by hairlines.
class SettingsSection : public QWidget {
    Q_OBJECT
public:
    explicit SettingsSection(const QString& header = QString(), QWidget* parent = nullptr);

    QString header() const;
    void addRow(SettingsRow* row);
    QList<SettingsRow*> rows() const { return m_rows; }

private:
    QLabel* m_header = nullptr;
    QWidget* m_box = nullptr;
    QVBoxLayout* m_rowsLayout = nullptr;
    QList<SettingsRow*> m_rows;
};

} // namespace velmora
