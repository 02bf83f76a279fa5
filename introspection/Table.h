#pragma once

#include "IntrospectableView.h"

#include <QTableView>

namespace velmora::introspection {

// A table, rendered by QTableView.
struct TableType : IntrospectableView<TableType, QTableView> {};

inline TableType table() {
    return {};
}

} // namespace velmora::introspection
