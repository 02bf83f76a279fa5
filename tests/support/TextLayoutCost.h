#pragma once

#include "tests/support/ThreadCpuClock.h"

#include <QAbstractTextDocumentLayout>
#include <QTextDocument>

namespace velmora::test {

// The milliseconds of this thread's CPU that laying `document` out at a width of 400
// takes (other processes on a busy machine don't count).
inline qint64 layoutMilliseconds(QTextDocument& document) {
    ThreadCpuClock clock;
    document.setTextWidth(400);
    document.documentLayout()->documentSize();
    return clock.elapsed();
}

// `levels` tables, each in the one cell of the one before.
inline QString nestedTables(int levels) {
    return QStringLiteral("<table><tr><td>").repeated(levels) + QStringLiteral("x") +
           QStringLiteral("</td></tr></table>").repeated(levels);
}

} // namespace velmora::test
