#pragma once

#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace velmora::test {

// The file names of Qt's image-format plugins this process has loaded so far, sorted:
// Qt loads a plugin the first time it asks it about some bytes, and never unloads it.
inline QStringList loadedImagePlugins() {
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly)) {
        return {};
    }
    QStringList plugins;
    for (const QByteArray& line : maps.readAll().split('\n')) {
        const qsizetype path = line.indexOf('/');
        if (path >= 0 && line.contains("/imageformats/")) {
            const QString name = QFileInfo(QString::fromLocal8Bit(line.mid(path))).fileName();
            if (!plugins.contains(name)) {
                plugins.append(name);
            }
        }
    }
    plugins.sort();
    return plugins;
}

} // namespace velmora::test
