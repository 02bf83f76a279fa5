#include "views/main/CalendarEntryModel.h"

#include "views/main/PlainText.h"
namespace velmora {

CalendarEntryModel::CalendarEntryModel(QObject* parent) : QAbstractListModel(parent) {}

void CalendarEntryModel::setEntries(std::vector<WorkEntry> entries) {
    beginResetModel();
    m_entries = std::move(entries);
    endResetModel();
}

int CalendarEntryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_entries.size());
}

QString CalendarEntryModel::taskLabel(const WorkEntry& entry) {
    return entry.issue.reference ? *entry.issue.reference : entry.issue.name;
}

QVariant CalendarEntryModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const WorkEntry& item = entry(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case TaskLabelRole:
        return plainName(taskLabel(item));
    case SpentTimeRole:
        // The tracker's own wording of the time.
        return plainName(item.spentTime);
    case DescriptionRole:
        return item.description ? QVariant(*item.description) : QVariant();
    default:
        return {};
    }
}

} // namespace velmora
