#pragma once

#include <QByteArray>
#include <QList>

#include <cstring>

namespace velmora::test {

// Hand-made binary property lists, for files that no well-behaved writer produces
// (texts with NUL in them, reals and dates that are not numbers). Objects are given
// as their raw encoded bytes; object 0 is the root and references are one byte wide.
inline QByteArray binaryPropertyList(const QList<QByteArray>& objects) {
    QByteArray out("bplist00");
    QList<int> offsets;
    for (const auto& object : objects) {
        offsets.append(static_cast<int>(out.size()));
        out += object;
    }
    const auto table = static_cast<quint64>(out.size());
    for (const int offset : offsets) {
        out += static_cast<char>(offset);
    }
    auto bigEndian8 = [](quint64 value) {
        QByteArray bytes(8, '\0');
        for (int i = 7; i >= 0; --i) {
            bytes[i] = static_cast<char>(value & 0xff);
            value >>= 8;
        }
        return bytes;
    };
    out += QByteArray(6, '\0');
    out += '\x01'; // offset width
    out += '\x01'; // reference width
    out += bigEndian8(static_cast<quint64>(objects.size()));
    out += bigEndian8(0);
    out += bigEndian8(table);
    return out;
}

// An ASCII text object (shorter than 15 characters).
inline QByteArray asciiObject(const QByteArray& text) {
    if (text.size() < 15) {
        return QByteArray(1, static_cast<char>(0x50 | text.size())) + text;
    }
    return QByteArray("\x5f\x10", 2) + static_cast<char>(text.size()) + text;
}

// A UTF-16 text object from big-endian code units.
inline QByteArray utf16Object(const QList<char16_t>& units) {
    QByteArray out(1, static_cast<char>(0x60 | units.size()));
    for (const char16_t unit : units) {
        out += static_cast<char>(unit >> 8);
        out += static_cast<char>(unit & 0xff);
    }
    return out;
}

inline QByteArray doubleBits(char marker, double value) {
    quint64 bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    QByteArray out(1, marker);
    for (int i = 7; i >= 0; --i) {
        out += static_cast<char>((bits >> (8 * i)) & 0xff);
    }
    return out;
}
inline QByteArray realObject(double value) {
    return doubleBits('\x23', value);
}
inline QByteArray dateObject(double secondsSince2001) {
    return doubleBits('\x33', secondsSince2001);
}

// A dictionary (fewer than 15 entries) of the given key and value object numbers.
inline QByteArray dictObject(const QList<int>& keys, const QList<int>& values) {
    QByteArray out(1, static_cast<char>(0xd0 | keys.size()));
    for (const int key : keys) {
        out += static_cast<char>(key);
    }
    for (const int value : values) {
        out += static_cast<char>(value);
    }
    return out;
}

inline QByteArray arrayObject(const QList<int>& items) {
    QByteArray out(1, static_cast<char>(0xa0 | items.size()));
    for (const int item : items) {
        out += static_cast<char>(item);
    }
    return out;
}

// A snapshot file whose one starred project id is `project` (any encoded object):
// {"timers": {}, "filters": {}, "starredProjects": {"K": {"projects": [project]}}}.
inline QByteArray snapshotWithStarredProject(const QByteArray& project) {
    return binaryPropertyList({
        dictObject({1, 2, 3}, {4, 5, 6}),
        asciiObject("timers"),
        asciiObject("filters"),
        asciiObject("starredProjects"),
        dictObject({}, {}),
        dictObject({}, {}),
        dictObject({7}, {8}),
        asciiObject("K"),
        dictObject({9}, {10}),
        asciiObject("projects"),
        arrayObject({11}),
        project,
    });
}

} // namespace velmora::test
