#pragma once

#include <QColor>
#include <QFile>
#include <QImage>
#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace velmora::test {

// A folder holding a red picture, a style sheet that paints red, and a FIFO that
// counts whoever opens it for reading (an open would block the reader for ever, so
// the watcher opens the writing end whenever a reader waits, which also releases it).
// HTML that names them must show no red and leave the count at zero.
class ResourceTraps {
public:
    ResourceTraps() {
        QImage red(16, 16, QImage::Format_RGB32);
        red.fill(Qt::red);
        red.save(path(QStringLiteral("red.png")));
        QFile css(path(QStringLiteral("red.css")));
        if (css.open(QIODevice::WriteOnly)) {
            css.write("body { background-color: #ff0000; } p { background-color: #ff0000; }");
            css.close();
        }
        fifo = path(QStringLiteral("fifo")).toStdString();
        ::mkfifo(fifo.c_str(), 0600);
        watcher = std::thread([this] {
            while (!stop) {
                const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0) {
                    ++fifoReads;
                    ::close(fd);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    ~ResourceTraps() {
        stop = true;
        watcher.join();
    }
    ResourceTraps(const ResourceTraps&) = delete;
    ResourceTraps& operator=(const ResourceTraps&) = delete;

    QString path(const QString& name) const { return dir.filePath(name); }

    // Every HTML way of naming a resource, each for a name from `names`.
    static QStringList namingTags(const QStringList& names) {
        QStringList tags;
        for (const QString& name : names) {
            tags << QStringLiteral("<img src=\"%1\" width=\"40\" height=\"40\">").arg(name)
                 << QStringLiteral("<table background=\"%1\" width=\"40\"><tr><td>&nbsp;</td></tr></table>")
                        .arg(name)
                 << QStringLiteral("<p style=\"background-image: url(%1)\">&nbsp;</p>").arg(name)
                 << QStringLiteral("<link rel=\"stylesheet\" type=\"text/css\" href=\"%1\"><p>&nbsp;</p>")
                        .arg(name);
        }
        return tags;
    }

    static bool hasRed(const QImage& image) {
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (c.red() > 200 && c.green() < 80 && c.blue() < 80) {
                    return true;
                }
            }
        }
        return false;
    }

    QTemporaryDir dir;
    std::string fifo;
    std::atomic<int> fifoReads{0};
    std::atomic<bool> stop{false};
    std::thread watcher;
};

} // namespace velmora::test
