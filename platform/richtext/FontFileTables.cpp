#include "platform/richtext/FontFileTables.h"

#include <QFile>

#include <algorithm>
#include <cstdint>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {

// A file opened for reading only what is asked of it.
class ReadOnly {
public:
    explicit ReadOnly(const QString& path) {
        const QByteArray name = QFile::encodeName(path);
        // Without waiting: a FIFO or a device would block the open until a writer came.
        m_fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        struct stat status {};
        if (m_fd >= 0 && (::fstat(m_fd, &status) != 0 || !S_ISREG(status.st_mode))) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~ReadOnly() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    ReadOnly(const ReadOnly&) = delete;
    ReadOnly& operator=(const ReadOnly&) = delete;

    bool isOpen() const { return m_fd >= 0; }

    // `length` bytes at `offset`, or fewer where the file ends.
    QByteArray at(std::uint64_t offset, int length) const {
        QByteArray bytes(length, Qt::Uninitialized);
        const ssize_t got = ::pread(m_fd, bytes.data(), static_cast<size_t>(length), static_cast<off_t>(offset));
        bytes.truncate(got > 0 ? static_cast<qsizetype>(got) : 0);
        return bytes;
    }

private:
    int m_fd = -1;
};

std::uint32_t bigEndian(const QByteArray& bytes, qsizetype at, int size) {
    std::uint32_t value = 0;
    for (int i = 0; i < size; ++i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

} // namespace

bool FontFileTables::read(const QString& path, int index) {
    m_tables.clear();
    m_scripts.clear();
    const ReadOnly file(path);
    if (!file.isOpen() || index < 0 || index >= maxFaces) {
        return false;
    }
    std::uint64_t face = 0;
    const QByteArray head = file.at(0, 12);
    if (head.size() < 12) {
        return false;
    }
    if (head.startsWith("ttcf")) {
        // A collection: its header lists where each face's table directory starts.
        const std::uint32_t faces = bigEndian(head, 8, 4);
        if (static_cast<std::uint32_t>(index) >= faces) {
            return false;
        }
        const QByteArray offset = file.at(12 + 4 * static_cast<std::uint64_t>(index), 4);
        if (offset.size() < 4) {
            return false;
        }
        face = bigEndian(offset, 0, 4);
    }
    const QByteArray directory = file.at(face, 12);
    if (directory.size() < 12) {
        return false;
    }
    const int tables = std::min<int>(static_cast<int>(bigEndian(directory, 4, 2)), maxTables);
    const QByteArray records = file.at(face + 12, 16 * tables);
    std::uint64_t gsub = 0;
    std::uint32_t gsubLength = 0;
    for (qsizetype at = 0; at + 16 <= records.size(); at += 16) {
        const QByteArray tag = records.mid(at, 4);
        m_tables.push_back(tag);
        if (tag == "GSUB") {
            gsub = bigEndian(records, at + 8, 4);
            gsubLength = bigEndian(records, at + 12, 4);
        }
    }
    if (m_tables.empty()) {
        return false;
    }
    if (gsubLength >= 10) {
        // The header names where the script list starts within the table; the list is a count
        // and six bytes a script (its tag and where its languages are).
        const QByteArray header = file.at(gsub, 10);
        if (header.size() == 10) {
            const std::uint64_t list = gsub + bigEndian(header, 4, 2);
            const QByteArray count = file.at(list, 2);
            const int scripts =
                count.size() == 2 ? std::min<int>(static_cast<int>(bigEndian(count, 0, 2)), maxScripts) : 0;
            const QByteArray entries = file.at(list + 2, 6 * scripts);
            for (qsizetype at = 0; at + 6 <= entries.size(); at += 6) {
                m_scripts.push_back(entries.mid(at, 4));
            }
        }
    }
    return true;
}

bool FontFileTables::has(const QByteArray& tag) const {
    return std::find(m_tables.begin(), m_tables.end(), tag) != m_tables.end();
}

} // namespace velmora
