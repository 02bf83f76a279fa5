#pragma once

// What a process and the processes it started hold, read from /proc: the app's drawing
// processes are part of what the user pays for the app.
#include <QDir>
#include <QFile>
#include <QString>

#include <optional>
#include <vector>

#include <sys/types.h>

namespace velmora::bench {

// A field of /proc/<pid>/status, in its unit (kB for the memory lines).
inline std::optional<double> processStatusField(qint64 pid, const QByteArray& field) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':')) {
            return line.mid(field.size() + 1).trimmed().split(' ').front().toDouble();
        }
    }
    return std::nullopt;
}

// The processes whose parent is `pid`, zombies left out (they hold no memory).
inline std::vector<qint64> childrenOf(qint64 pid) {
    std::vector<qint64> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool number = false;
        const qint64 candidate = entry.toLongLong(&number);
        if (!number) {
            continue;
        }
        QFile stat(QStringLiteral("/proc/%1/stat").arg(candidate));
        if (!stat.open(QIODevice::ReadOnly)) {
            continue;
        }
        // "pid (name) state ppid ...": the name may hold spaces, so read after its ')'.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(0) != "Z" && fields.at(1).toLongLong() == pid) {
            children.push_back(candidate);
        }
    }
    return children;
}

struct ChildrenMemory {
    int count = 0;
    double anonKiB = 0;
    double residentKiB = 0;
};

inline ChildrenMemory childrenMemory(qint64 pid) {
    ChildrenMemory memory;
    for (const qint64 child : childrenOf(pid)) {
        ++memory.count;
        memory.anonKiB += processStatusField(child, "RssAnon").value_or(0);
        memory.residentKiB += processStatusField(child, "VmRSS").value_or(0);
    }
    return memory;
}

} // namespace velmora::bench
