#pragma once

#include "IntrospectableView.h"

#include <QPlainTextEdit>

namespace velmora::introspection {

// A multi-line text editor, rendered by QPlainTextEdit.
struct TextEditorType : IntrospectableView<TextEditorType, QPlainTextEdit> {};

inline TextEditorType textEditor() {
    return {};
}

} // namespace velmora::introspection
