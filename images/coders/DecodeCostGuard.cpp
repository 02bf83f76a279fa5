#include "images/coders/DecodeCostGuard.h"

#include "images/coders/PartialPngDecoder.h"

#include "images/core/Image.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>

namespace velmora::images {

namespace {

// A large photo decodes in well under a second.
constexpr double defaultCpuBudget = 3.0;
std::atomic<double> cpuBudgetOverride{0.0};

quint32 bigEndian32(const QByteArray& data, qsizetype at) {
    return (quint32(quint8(data.at(at))) << 24) | (quint32(quint8(data.at(at + 1))) << 16) |
           (quint32(quint8(data.at(at + 2))) << 8) | quint32(quint8(data.at(at + 3)));
}

// Walks the JPEG's markers and calls `onScan(offset of the marker)` for each start of scan
// until it returns false; a scan's entropy-coded data is skipped to the next marker from one
// 0xFF to the next.
template <typename OnScan> void walkJpegScans(const QByteArray& data, OnScan onScan) {
    const qsizetype size = data.size();
    if (size < 4 || quint8(data.at(0)) != 0xFF || quint8(data.at(1)) != 0xD8) {
        return;
    }
    qsizetype at = 2;
    while (at + 1 < size) {
        if (quint8(data.at(at)) != 0xFF) {
            ++at; // damage between segments: look for the next marker
            continue;
        }
        const qsizetype markerStart = at;
        while (at < size && quint8(data.at(at)) == 0xFF) {
            ++at; // fill bytes
        }
        if (at >= size) {
            return;
        }
        const quint8 marker = quint8(data.at(at++));
        if (marker == 0xD9) {
            return;
        }
        if (marker == 0x01 || marker == 0x00 || (marker >= 0xD0 && marker <= 0xD7)) {
            continue; // no length follows
        }
        if (at + 2 > size) {
            return;
        }
        const int length = (int(quint8(data.at(at))) << 8) | int(quint8(data.at(at + 1)));
        if (length < 2) {
            return;
        }
        at += length;
        if (marker != 0xDA) {
            continue;
        }
        if (!onScan(markerStart)) {
            return;
        }
        // The scan's coded data runs to the next marker that is neither a stuffed zero nor a
        // restart. Only a 0xFF can start one: the bytes between are skipped with memchr,
        // since they are most of a photo and the walk comes before every decode.
        const char* bytes = data.constData();
        while (at + 1 < size) {
            const void* found = std::memchr(bytes + at, 0xFF, size_t(size - 1 - at));
            if (!found) {
                at = size - 1;
                break;
            }
            at = static_cast<const char*>(found) - bytes;
            const quint8 next = quint8(bytes[at + 1]);
            if (next != 0x00 && next != 0xFF && !(next >= 0xD0 && next <= 0xD7)) {
                break;
            }
            at += next == 0xFF ? 1 : 2;
        }
    }
}

// The bytes of filtered rows a PNG's header declares, or -1 when it is not one we can tell.
qint64 declaredPngRowBytes(const QByteArray& data) {
    const std::optional<PartialPngDecoder::Header> header = PartialPngDecoder::header(data);
    if (!header) {
        return -1;
    }
    const qint64 width = header->width;
    const qint64 height = header->height;
    const int depth = header->depth;
    const int interlace = header->interlace;
    const int channels = header->channels;
    if (depth < 1 || depth > 16 || !fitsPixelBudget(width, height)) {
        return -1;
    }
    const qint64 bitsPerPixel = qint64(channels) * depth;
    const auto rowsBytes = [bitsPerPixel](qint64 w, qint64 h) {
        return w == 0 || h == 0 ? 0 : h * (1 + (w * bitsPerPixel + 7) / 8);
    };
    if (interlace == 0) {
        return rowsBytes(width, height);
    }
    // The seven passes of Adam7, each with rows of its own width.
    static const int startX[7] = {0, 4, 0, 2, 0, 1, 0};
    static const int startY[7] = {0, 0, 4, 0, 2, 0, 1};
    static const int stepX[7] = {8, 8, 4, 4, 2, 2, 1};
    static const int stepY[7] = {8, 8, 8, 4, 4, 2, 2};
    qint64 total = 0;
    for (int pass = 0; pass < 7; ++pass) {
        const qint64 w = width > startX[pass] ? (width - startX[pass] + stepX[pass] - 1) / stepX[pass] : 0;
        const qint64 h = height > startY[pass] ? (height - startY[pass] + stepY[pass] - 1) / stepY[pass] : 0;
        total += rowsBytes(w, h);
    }
    return total;
}

} // namespace

int DecodeCostGuard::jpegScanCount(const QByteArray& data, int stopAfter) {
    int count = 0;
    walkJpegScans(data, [&](qsizetype) { return ++count < stopAfter; });
    return count;
}

QByteArray DecodeCostGuard::withinJpegScanLimit(const QByteArray& data) {
    int count = 0;
    qsizetype cut = -1;
    walkJpegScans(data, [&](qsizetype markerStart) {
        if (++count > maxJpegScans) {
            cut = markerStart;
            return false;
        }
        return true;
    });
    if (cut < 0) {
        return data;
    }
    // The scans so far make the whole picture, only less refined.
    QByteArray limited = data.left(cut);
    limited.append("\xFF\xD9", 2);
    return limited;
}

namespace {

// The most bytes deflate can make of one compressed byte (a run of 258 per two bits or so).
constexpr qint64 maxDeflateRatio = 1032;

// The bytes of the PNG's image data chunks, as far as the data holds them.
qint64 idatBytes(const QByteArray& data) {
    qint64 total = 0;
    qsizetype at = 8;
    while (at + 8 <= data.size()) {
        const quint32 length = bigEndian32(data, at);
        if (data.mid(at + 4, 4) == "IDAT") {
            total += std::min<qint64>(length, data.size() - (at + 8));
        } else if (data.mid(at + 4, 4) == "IEND") {
            break;
        }
        if (qint64(length) > data.size() - (at + 8)) {
            break;
        }
        at += 8 + qsizetype(length) + 4;
    }
    return total;
}

} // namespace

bool DecodeCostGuard::pngInflatesBeyondItsRows(const QByteArray& data) {
    const qint64 rows = declaredPngRowBytes(data);
    if (rows < 0) {
        return false;
    }
    // A little past the rows is harmless; a flood is far past them.
    const qint64 allowed = rows + std::max<qint64>(rows / 16, 64 * 1024);
    // Inflating costs as much as the decode itself, so it is spent only where a flood can
    // cost more: deflate makes at most about 1032 bytes of each, so a stream whose worst
    // case stays within the allowance can't pass it, and one of under 64 KB inflates to
    // at most some 66 MB, tens of milliseconds, well inside a decode's CPU time.
    const qint64 compressed = idatBytes(data);
    if (compressed * maxDeflateRatio <= allowed || compressed < 64 * 1024) {
        return false;
    }
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit(&stream) != Z_OK) {
        return false;
    }
    static thread_local QByteArray scratch(64 * 1024, Qt::Uninitialized);
    qint64 produced = 0;
    bool beyond = false;
    bool ended = false;
    qsizetype at = 8;
    while (!beyond && !ended && at + 8 <= data.size()) {
        const quint32 length = bigEndian32(data, at);
        const qsizetype body = at + 8;
        const qsizetype available = std::min<qsizetype>(qsizetype(length), data.size() - body);
        if (data.mid(at + 4, 4) == "IDAT" && available > 0) {
            stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData() + body));
            stream.avail_in = uInt(available);
            while (stream.avail_in > 0) {
                stream.next_out = reinterpret_cast<Bytef*>(scratch.data());
                stream.avail_out = uInt(scratch.size());
                const int result = inflate(&stream, Z_NO_FLUSH);
                produced += qint64(scratch.size()) - qint64(stream.avail_out);
                if (produced > allowed) {
                    beyond = true;
                    break;
                }
                if (result == Z_STREAM_END || (result != Z_OK && result != Z_BUF_ERROR)) {
                    ended = true; // the end, or damage the decoder will refuse on its own
                    break;
                }
                if (result == Z_BUF_ERROR && stream.avail_out != 0) {
                    break; // wants the next chunk
                }
            }
        } else if (data.mid(at + 4, 4) == "IEND") {
            break;
        }
        if (available < qsizetype(length)) {
            break;
        }
        at = body + qsizetype(length) + 4;
    }
    inflateEnd(&stream);
    return beyond;
}

double DecodeCostGuard::decodeCpuBudget() {
    const double set = cpuBudgetOverride.load(std::memory_order_relaxed);
    return set > 0 ? set : defaultCpuBudget;
}

void DecodeCostGuard::setDecodeCpuBudget(double seconds) {
    cpuBudgetOverride.store(seconds > 0 ? seconds : 0.0, std::memory_order_relaxed);
}

double DecodeCostGuard::threadCpuSeconds() {
    timespec now{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) {
        return 0;
    }
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

namespace {

// Seconds on the monotonic clock, which is read without entering the kernel.
double wallSeconds() {
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return 0;
    }
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

} // namespace

DecodeCostGuard::BudgetedBuffer::BudgetedBuffer(QByteArray data)
    : m_data(std::move(data)), m_start(threadCpuSeconds()), m_startWall(wallSeconds()),
      m_budget(decodeCpuBudget()) {}

bool DecodeCostGuard::BudgetedBuffer::budgetSpent() const {
    // A thread can't spend more CPU time than has passed: while the time since the buffer was
    // made is within the budget, so is the decode, and the thread's CPU clock (a system call,
    // a tenth of a small avatar's decode when read on every read) need not be asked.
    if (wallSeconds() - m_startWall <= m_budget) {
        return false;
    }
    return threadCpuSeconds() - m_start > m_budget;
}

qint64 DecodeCostGuard::BudgetedBuffer::readData(char* data, qint64 maxSize) {
    if (budgetSpent()) {
        return -1;
    }
    const qint64 at = pos();
    if (at < 0 || at >= m_data.size() || maxSize <= 0) {
        return 0;
    }
    const qint64 count = std::min<qint64>(maxSize, m_data.size() - at);
    std::memcpy(data, m_data.constData() + at, size_t(count));
    return count;
}

} // namespace velmora::images
