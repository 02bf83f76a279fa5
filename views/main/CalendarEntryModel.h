#pragma once

#include "core/model/WorkEntry.h"

#include <QAbstractListModel>

#include <optional>
#include <vector>

namespace velmora {

// The work entries of one calendar day, in the calendar's order, for the day's list.
class CalendarEntryModel : public QAbstractListModel {
    Q_OBJECT

public:
    enum Role {
        TaskLabelRole = Qt::UserRole + 1, // the task's key, else its name
        SpentTimeRole,
        DescriptionRole, // HTML (a plain-text description escaped); invalid when the entry has none
    };

    explicit CalendarEntryModel(QObject* parent = nullptr);

    void setEntries(std::vector<WorkEntry> entries);
    const std::vector<WorkEntry>& entries() const { return m_entries; }
    const WorkEntry& entry(int row) const { return m_entries.at(static_cast<std::size_t>(row)); }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    static QString taskLabel(const WorkEntry& entry);
    // The entry's description as HTML: a plain-text one escaped, its line breaks kept.
    static std::optional<QString> descriptionHtml(const WorkEntry& entry);

private:
    std::vector<WorkEntry> m_entries;
    // descriptionHtml of each entry, made once: a card asks for it at every size check
    // and paint.
    std::vector<std::optional<QString>> m_descriptions;
};

} // namespace velmora
