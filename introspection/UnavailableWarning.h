#pragma once

#include <QString>

namespace velmora::introspection {

// The text printed when an entry that should never have been offered is read: it names the
// file (its last path component) and the line that declared the entry.
QString unavailableWarning(const QString& file, int line);

} // namespace velmora::introspection
