#pragma once

#include "core/model/Issue.h"

#include <QDateTime>
#include <QString>

#include <cstddef>
#include <functional>
#include <optional>

namespace velmora {

// One booked work-log entry. It has no coded form: entries are read from the
// tracker each time, never stored.
struct WorkEntry {
    // What the description is: HTML, as most trackers send it, or text as the user typed
    // it (Jira's work-log comments), which shows as the characters it is.
    enum class DescriptionFormat { html, plainText };

    // The tracker's id of the entry; deleting uses it.
    QString id;
    std::optional<QString> description;
    // The booked duration as display text, and in seconds.
    QString spentTime;
    double spentTimeSeconds = 0;
    Issue issue;
    QDateTime started;
    // When the tracker created the entry, by its own clock; absent where it does not say.
    std::optional<QDateTime> created = std::nullopt;
    // How `description` is written.
    DescriptionFormat descriptionFormat = DescriptionFormat::html;

    friend bool operator==(const WorkEntry&, const WorkEntry&) = default;
};

std::size_t qHash(const WorkEntry& entry, std::size_t seed = 0);

} // namespace velmora

template <> struct std::hash<velmora::WorkEntry> {
    std::size_t operator()(const velmora::WorkEntry& entry) const { return velmora::qHash(entry); }
};
