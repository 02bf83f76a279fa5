#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QtEndian>

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

namespace velmora::test {

// Font set-ups of a user's own, for a child process's fontconfig (never the system's): a font
// folder of the user's, listed before the system's fonts, and what is put in it.

// The file of the font fontconfig gives for `pattern` ("sans-serif").
inline QString fontFileOf(const QString& pattern) {
    QProcess match;
    match.start(QStringLiteral("fc-match"), {QStringLiteral("-f"), QStringLiteral("%{file}"), pattern});
    match.waitForFinished(30000);
    return QString::fromLocal8Bit(match.readAllStandardOutput()).trimmed();
}

namespace madefonts {

inline void put16(QByteArray& bytes, quint16 value) {
    bytes.append(static_cast<char>(value >> 8)).append(static_cast<char>(value & 0xFF));
}

inline void put32(QByteArray& bytes, quint32 value) {
    put16(bytes, static_cast<quint16>(value >> 16));
    put16(bytes, static_cast<quint16>(value & 0xFFFF));
}

// A name table naming the family `family` (Windows names, in UTF-16).
inline QByteArray nameTable(const QString& family) {
    const QByteArray name(reinterpret_cast<const char*>(family.utf16()), family.size() * 2);
    QByteArray big;
    for (qsizetype i = 0; i + 1 < name.size(); i += 2) {
        big.append(name[i + 1]).append(name[i]);
    }
    const quint16 ids[] = {1, 2, 4, 6};
    const QByteArray styleName = QByteArray("\0R\0e\0g\0u\0l\0a\0r", 14);
    QByteArray table;
    put16(table, 0);
    put16(table, 4);
    put16(table, 6 + 12 * 4);
    QByteArray strings;
    for (const quint16 id : ids) {
        const QByteArray& text = id == 2 ? styleName : big;
        put16(table, 3);
        put16(table, 1);
        put16(table, 0x409);
        put16(table, id);
        put16(table, static_cast<quint16>(text.size()));
        put16(table, static_cast<quint16>(strings.size()));
        strings += text;
    }
    return table + strings;
}

// The code points a made font claims, ranges of first and last.
using CodePoints = std::vector<std::pair<quint32, quint32>>;

// A character map that draws the code points of `claimed` with glyph `glyph` (a format 13
// subtable).
inline QByteArray everyCodePoint(quint32 glyph, const CodePoints& claimed) {
    const auto groups = static_cast<quint32>(claimed.size());
    QByteArray table;
    put16(table, 0);
    put16(table, 1);
    put16(table, 3);
    put16(table, 10);
    put32(table, 12);
    put16(table, 13);
    put16(table, 0);
    put32(table, 16 + 12 * groups);
    put32(table, 0);
    put32(table, groups);
    for (const auto& [first, last] : claimed) {
        put32(table, first);
        put32(table, last);
        put32(table, glyph);
    }
    return table;
}

} // namespace madefonts

// Writes to `path` the font of `source` named `family`, whose character map claims every code
// point (or those of `claimed`), and which is `size` bytes long: a table nothing reads
// fills it (a hole in the file, which takes no disk). What Qt and fontconfig read of a font is all
// there.
inline bool writeFontOfEveryCodePoint(const QString& source, const QString& family, qint64 size,
                                      const QString& path,
                                      const madefonts::CodePoints& claimed = {{0, 0x10FFFF}}) {
    using namespace madefonts;
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray font = in.readAll();
    if (font.size() < 12 || font.startsWith("ttcf")) {
        return false;
    }
    const int count = qFromBigEndian<quint16>(font.constData() + 4);
    std::map<QByteArray, QByteArray> tables;
    for (int i = 0; i < count; ++i) {
        const char* record = font.constData() + 12 + 16 * i;
        const quint32 offset = qFromBigEndian<quint32>(record + 8);
        const quint32 length = qFromBigEndian<quint32>(record + 12);
        if (offset + static_cast<qint64>(length) > font.size()) {
            return false;
        }
        tables[QByteArray(record, 4)] = font.mid(offset, length);
    }
    tables.erase(QByteArray("DSIG"));
    tables[QByteArray("cmap")] = everyCodePoint(3, claimed);
    tables[QByteArray("name")] = nameTable(family);
    const int written = static_cast<int>(tables.size()) + 1;
    QByteArray out = font.left(4);
    put16(out, static_cast<quint16>(written));
    int power = 1;
    int log = 0;
    while (power * 2 <= written) {
        power *= 2;
        ++log;
    }
    put16(out, static_cast<quint16>(16 * power));
    put16(out, static_cast<quint16>(log));
    put16(out, static_cast<quint16>(16 * written - 16 * power));
    quint32 offset = 12 + 16 * written;
    QByteArray bodies;
    for (const auto& [tag, body] : tables) {
        out += tag;
        put32(out, 0);
        put32(out, offset + bodies.size());
        put32(out, static_cast<quint32>(body.size()));
        bodies += body;
        while (bodies.size() % 4 != 0) {
            bodies.append('\0');
        }
    }
    const quint32 end = offset + static_cast<quint32>(bodies.size());
    const qint64 padding = std::max<qint64>(size - end, 4);
    out += QByteArray("zpad");
    put32(out, 0);
    put32(out, end);
    put32(out, static_cast<quint32>(padding));
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(out + bodies) == end &&
           file.resize(end + padding);
}

// A fontconfig configuration in `dir` whose fonts are those of `folder` first, then the system's,
// with a cache of its own; the environment of a child process that uses it.
inline QProcessEnvironment withUserFonts(const QString& dir, const QString& folder) {
    const QString path = QDir(dir).filePath(QStringLiteral("fonts.conf"));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(QStringLiteral("<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n"
                                  "<fontconfig>\n  <dir>%1</dir>\n"
                                  "  <include ignore_missing=\"yes\">/etc/fonts/fonts.conf</include>\n"
                                  "  <cachedir>%2</cachedir>\n</fontconfig>\n")
                       .arg(folder, QDir(dir).filePath(QStringLiteral("cache")))
                       .toUtf8());
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("FONTCONFIG_FILE"), path);
    return environment;
}

} // namespace velmora::test
