#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

namespace velmora {

// What a font file says of itself at its start: the tables it holds, and the scripts its glyph
// substitutions (GSUB) name. Read from a few kilobytes at a few places, never the whole file: a
// user's fonts folder may hold a font of tens of megabytes, listed many times over, and what is
// read of each is the same few kilobytes. Only a regular file is opened, and without waiting (a
// FIFO named like a font answers nothing).
class FontFileTables {
public:
    // Reads face `index` of the font file at `path` (a collection holds several): false where it
    // is no font file, or none this reads.
    bool read(const QString& path, int index = 0);

    // Whether the face holds the table `tag` ("GSUB", "morx").
    bool has(const QByteArray& tag) const;
    // The script tags its substitutions' script list names ("syrc", "dev2").
    const std::vector<QByteArray>& substitutionScripts() const { return m_scripts; }

    // The most tables, faces of a collection and scripts read: a font has some twenty tables and a
    // few dozen scripts; what lies past these is not looked at.
    static constexpr int maxTables = 256;
    static constexpr int maxFaces = 256;
    static constexpr int maxScripts = 512;

private:
    std::vector<QByteArray> m_tables;
    std::vector<QByteArray> m_scripts;
};

} // namespace velmora
