#include "app/WindowFrames.h"

#include <QSettings>

#include <memory>
#include <vector>

namespace velmora {

namespace {

struct Held {
    QString file;
    QString name;
    QVariant frame;
};

// Main thread only, as the windows are.
bool holding = false;
std::vector<Held> held;

std::unique_ptr<QSettings> settings(const QString& file) {
    return file.isEmpty() ? std::make_unique<QSettings>()
                          : std::make_unique<QSettings>(file, QSettings::NativeFormat);
}

void writeNow(const QString& file, const QString& name, const QVariant& frame) {
    const auto kept = settings(file);
    if (kept->value(name) != frame) {
        kept->setValue(name, frame);
    }
}

} // namespace

QVariant WindowFrames::read(const QString& file, const QString& name) {
    for (auto it = held.rbegin(); it != held.rend(); ++it) {
        if (it->file == file && it->name == name) {
            return it->frame;
        }
    }
    return settings(file)->value(name);
}

void WindowFrames::write(const QString& file, const QString& name, const QVariant& frame) {
    if (holding) {
        held.push_back(Held{file, name, frame});
        return;
    }
    writeNow(file, name, frame);
}

void WindowFrames::hold() {
    holding = true;
}

void WindowFrames::release() {
    holding = false;
    std::vector<Held> waiting;
    waiting.swap(held);
    for (const Held& frame : waiting) {
        writeNow(frame.file, frame.name, frame.frame);
    }
}

} // namespace velmora
