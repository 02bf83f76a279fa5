#include "views/main/CalendarEntryModel.h"

#include "views/main/PlainText.h"

namespace velmora {

CalendarEntryModel::CalendarEntryModel(QObject* parent) : QAbstractListModel(parent) {}

void CalendarEntryModel::setEntries(std::vector<WorkEntry> entries) {
    beginResetModel();
    m_entries = std::move(entries);
    m_descriptions.clear();
    m_descriptions.reserve(m_entries.size());
    for (const WorkEntry& entry : m_entries) {
        m_descriptions.push_back(descriptionHtml(entry));
    }
    endResetModel();
}

int CalendarEntryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_entries.size());
}

QString CalendarEntryModel::taskLabel(const WorkEntry& entry) {
    return entry.issue.reference ? *entry.issue.reference : entry.issue.name;
}

std::optional<QString> CalendarEntryModel::descriptionHtml(const WorkEntry& entry) {
    if (!entry.description || entry.descriptionFormat == WorkEntry::DescriptionFormat::html) {
        return entry.description;
    }
    const QString& text = *entry.description;
    QString html;
    html.reserve(text.size() + text.size() / 8);
    // HTML folds a run of spaces into one and drops those that start a line: all but the
    // first of a run, and those at a line's start, are written as no-break spaces.
    bool spaceFolds = true;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const bool space = c == u' ';
        if (c == u'\r' || c == u'\n') {
            if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
                ++i;
            }
            html += QLatin1String("<br>");
        } else if (space) {
            html += spaceFolds ? QLatin1String("&nbsp;") : QLatin1String(" ");
        } else if (c == u'<') {
            html += QLatin1String("&lt;");
        } else if (c == u'>') {
            html += QLatin1String("&gt;");
        } else if (c == u'&') {
            html += QLatin1String("&amp;");
        } else if (c == u'"') {
            html += QLatin1String("&quot;");
        } else {
            html += c;
        }
        spaceFolds = space || c == u'\r' || c == u'\n';
    }
    return html;
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
    case DescriptionRole: {
        const std::optional<QString>& html = m_descriptions.at(static_cast<std::size_t>(index.row()));
        return html ? QVariant(*html) : QVariant();
    }
    default:
        return {};
    }
}

} // namespace velmora
