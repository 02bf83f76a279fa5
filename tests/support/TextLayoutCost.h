#pragma once

#include "tests/support/ThreadCpuClock.h"

#include <QAbstractTextDocumentLayout>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextDocument>

#include <optional>

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

// Runs `test` (a test of this executable that measures one case when `variable` names it, and
// skips otherwise) in a fresh process with `variable` set to `name`, and reads the milliseconds it
// prints ("milliseconds: 12.5"): what a first use in a process costs, fonts looked up and loaded
// included, that the tests run before in this process would have paid already. Empty when the
// child failed (what it printed goes to `output`).
inline std::optional<double>
inFreshProcess(const char* test, const char* variable, const QString& name,
               QProcessEnvironment environment = QProcessEnvironment::systemEnvironment(),
               QString* output = nullptr) {
    QProcess child;
    environment.insert(QString::fromLatin1(variable), name);
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=") + QLatin1String(test)});
    if (!child.waitForFinished(120000)) {
        child.kill();
        child.waitForFinished();
        return std::nullopt;
    }
    const QString printed = QString::fromUtf8(child.readAllStandardOutput());
    if (output) {
        *output = printed + QString::fromUtf8(child.readAllStandardError());
    }
    const QRegularExpressionMatch figure =
        QRegularExpression(QStringLiteral("milliseconds: ([0-9.]+)")).match(printed);
    if (child.exitCode() != 0 || !figure.hasMatch()) {
        return std::nullopt;
    }
    return figure.captured(1).toDouble();
}

// The fonts of this machine but those whose files lie under a folder matching `folder` (a glob
// such as "*/droid/*"), for a child process: a fontconfig configuration of the system's own that
// rejects them, written in `dir`.
inline QProcessEnvironment withoutFonts(const QTemporaryDir& dir, const QString& folder) {
    const QString path = dir.filePath(QStringLiteral("fonts.conf"));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(QStringLiteral("<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n"
                                  "<fontconfig>\n"
                                  "  <include ignore_missing=\"yes\">/etc/fonts/fonts.conf</include>\n"
                                  "  <selectfont><rejectfont><glob>%1</glob></rejectfont></selectfont>\n"
                                  "</fontconfig>\n")
                       .arg(folder)
                       .toUtf8());
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("FONTCONFIG_FILE"), path);
    return environment;
}

// Runs the tests of this executable that `filter` names (as --gtest_filter reads it) in a process
// whose fonts leave out those under `folder` (see withoutFonts): whether they ran and passed. What
// the child printed goes to `output`.
inline bool passWithoutFonts(const QString& filter, const QString& folder, QString* output) {
    QTemporaryDir dir;
    if (!dir.isValid()) {
        return false;
    }
    QProcess child;
    child.setProcessEnvironment(withoutFonts(dir, folder));
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=") + filter});
    if (!child.waitForFinished(120000)) {
        child.kill();
        child.waitForFinished();
        return false;
    }
    const QString printed = QString::fromUtf8(child.readAll());
    if (output) {
        *output = printed;
    }
    return child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0 &&
           printed.contains(QStringLiteral("[  PASSED  ]"));
}

} // namespace velmora::test
