#pragma once

#include <QString>

#include <vector>

namespace velmora {

// One name/value pair of a URL query. The value is always there, possibly empty.
struct QueryItem {
    QString name;
    QString value;

    friend bool operator==(const QueryItem&, const QueryItem&) = default;
};

// Query items in order; equal names may repeat.
using QueryItems = std::vector<QueryItem>;

// The defaults with the request's items laid over them: an item whose name is
// already among the defaults replaces the value of the first such default in its
// place; any other is appended, in the request's order. Names compare as text, with
// canonically equivalent Unicode forms equal.
QueryItems mergeQueryItems(const QueryItems& items, const QueryItems& defaults);

// The items whose value is not empty, in their order (an empty paging cursor or
// filter is not sent at all).
QueryItems nonEmptyQueryItems(const QueryItems& items);

// The query text: "name=value" pairs joined by "&", names and values percent-encoded
// except for the unreserved characters (so "+", "&", "=", "/" and blanks in a value
// are always escaped).
QString encodedQuery(const QueryItems& items);

} // namespace velmora
