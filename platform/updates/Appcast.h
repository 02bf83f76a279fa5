#pragma once

#include "platform/async/Result.h"
#include "platform/updates/AppcastItem.h"

#include <QByteArray>
#include <QString>

#include <vector>

namespace velmora {

// The update feed: an RSS 2.0 document whose channel lists one item per release. Each item
// carries "title", "pubDate" (RFC 2822), "description" (release notes, HTML), "link" (the
// download page) and, in the feed's own namespace, "version", "shortVersionString" and
// "releaseNotesLink" (a page of release notes, for an item without a description).
class Appcast {
public:
    Appcast() = delete;

    // The items in feed order, or why the document cannot be used: not XML, not an RSS
    // channel, or an item without a version. A channel without items is no error.
    static Result<std::vector<AppcastItem>, QString> parse(const QByteArray& document);
};

} // namespace velmora
