#include "platform/plist/PropertyList.h"

#include "platform/files/AtomicFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <plist/plist.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {

// libplist++ 2.2 aborts when it copies a date node it made itself (its Date keeps the
// wrong length), and every insert into its containers copies. The codec therefore
// builds and walks the nodes with the C interface that the binding wraps.
struct NodeDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

// Dates in property lists count seconds from 2001-01-01T00:00:00Z.
constexpr qint64 kReferenceEpoch = 978307200;
constexpr int kMaxDepth = 256;
const char* const kNullKey = "$null";

using EncodeResult = Result<Node, PropertyListError>;

PropertyListError error(PropertyListError::Kind kind, const QString& message) {
    return PropertyListError{kind, message};
}

PropertyListError unencodable(const QString& message) {
    return error(PropertyListError::Kind::Unencodable, message);
}

// Seconds since the reference date of a time in milliseconds since 1970, rounded down,
// when the file format's 32-bit seconds can hold them. Reading applies the same test,
// so a file never yields a date that could not be written back.
std::optional<int32_t> fileSeconds(qint64 msSinceEpoch) {
    const qint64 ms = msSinceEpoch - kReferenceEpoch * 1000;
    const qint64 seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    if (seconds < std::numeric_limits<int32_t>::min() || seconds > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<int32_t>(seconds);
}

EncodeResult encode(const QVariant& value, int depth);

EncodeResult encodeMap(const QVariantMap& map, int depth) {
    Node dict(plist_new_dict());
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        auto item = encode(it.value(), depth + 1);
        if (!item.ok()) {
            return EncodeResult::failure(
                unencodable(QStringLiteral("%1 (under \"%2\")").arg(item.error().message, it.key())));
        }
        // The dictionary takes the item over.
        plist_dict_set_item(dict.get(), it.key().toUtf8().constData(), std::move(item).value().release());
    }
    return EncodeResult::success(std::move(dict));
}

EncodeResult encodeList(const QVariantList& list, int depth) {
    Node array(plist_new_array());
    for (const auto& element : list) {
        auto item = encode(element, depth + 1);
        if (!item.ok()) {
            return item;
        }
        plist_array_append_item(array.get(), std::move(item).value().release());
    }
    return EncodeResult::success(std::move(array));
}

EncodeResult encode(const QVariant& value, int depth) {
    if (depth > kMaxDepth) {
        return EncodeResult::failure(unencodable(QStringLiteral("nested too deeply")));
    }
    if (PropertyList::isNull(value)) {
        Node marker(plist_new_dict());
        plist_dict_set_item(marker.get(), kNullKey, plist_new_bool(1));
        return EncodeResult::success(std::move(marker));
    }
    switch (value.typeId()) {
    case QMetaType::Bool:
        return EncodeResult::success(Node(plist_new_bool(value.toBool() ? 1 : 0)));
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::SChar:
    case QMetaType::UShort:
    case QMetaType::UInt:
    case QMetaType::UChar:
        // Signed values travel as their two's-complement bits; the reader undoes it.
        return EncodeResult::success(Node(plist_new_uint(static_cast<uint64_t>(value.toLongLong()))));
    case QMetaType::ULong:
    case QMetaType::ULongLong: {
        const auto v = value.toULongLong();
        if (v > static_cast<qulonglong>(std::numeric_limits<qint64>::max())) {
            return EncodeResult::failure(unencodable(QStringLiteral("integer %1 out of range").arg(v)));
        }
        return EncodeResult::success(Node(plist_new_uint(v)));
    }
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = value.toDouble();
        // A file with "nan" or "inf" in it could not be read back.
        if (!std::isfinite(d)) {
            return EncodeResult::failure(unencodable(QStringLiteral("real number is not finite")));
        }
        return EncodeResult::success(Node(plist_new_real(d)));
    }
    case QMetaType::QString:
        return EncodeResult::success(Node(plist_new_string(value.toString().toUtf8().constData())));
    case QMetaType::QByteArray: {
        const auto bytes = value.toByteArray();
        return EncodeResult::success(
            Node(plist_new_data(bytes.constData(), static_cast<uint64_t>(bytes.size()))));
    }
    case QMetaType::QDateTime: {
        const auto date = value.toDateTime();
        if (!date.isValid()) {
            return EncodeResult::failure(unencodable(QStringLiteral("invalid date")));
        }
        const auto seconds = fileSeconds(date.toMSecsSinceEpoch());
        if (!seconds) {
            return EncodeResult::failure(
                unencodable(QStringLiteral("date %1 out of range").arg(date.toString(Qt::ISODate))));
        }
        const qint64 ms = date.toMSecsSinceEpoch() - kReferenceEpoch * 1000;
        const qint64 micros = (ms - qint64(*seconds) * 1000) * 1000;
        return EncodeResult::success(Node(plist_new_date(*seconds, static_cast<int32_t>(micros))));
    }
    case QMetaType::QVariantMap:
        return encodeMap(value.toMap(), depth);
    case QMetaType::QVariantHash: {
        const auto hash = value.toHash();
        QVariantMap map;
        for (auto it = hash.constBegin(); it != hash.constEnd(); ++it) {
            map.insert(it.key(), it.value());
        }
        return encodeMap(map, depth);
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList:
        return encodeList(value.toList(), depth);
    default:
        return EncodeResult::failure(unencodable(
            QStringLiteral("a value of type %1 has no property-list form").arg(value.typeName())));
    }
}

using DecodeResult = Result<QVariant, PropertyListError>;

PropertyListError malformed(const QString& message) {
    return error(PropertyListError::Kind::Malformed, message);
}

DecodeResult decode(plist_t node, int depth) {
    if (depth > kMaxDepth) {
        return DecodeResult::failure(malformed(QStringLiteral("nested too deeply")));
    }
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t v = 0;
        plist_get_bool_val(node, &v);
        return DecodeResult::success(QVariant(v != 0));
    }
    case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        return DecodeResult::success(QVariant(static_cast<qint64>(v)));
    }
    case PLIST_REAL: {
        double v = 0;
        plist_get_real_val(node, &v);
        // Refused like the writer refuses it: a snapshot holding it could never be saved.
        if (!std::isfinite(v)) {
            return DecodeResult::failure(malformed(QStringLiteral("real number is not finite")));
        }
        return DecodeResult::success(QVariant(v));
    }
    case PLIST_STRING: {
        // The copying accessor asserts that the text has no NUL in it and so stops the
        // whole process on such a file; the pointer one hands out the length instead.
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        if (!text) {
            return DecodeResult::success(QVariant(QString()));
        }
        if (length > static_cast<uint64_t>(std::numeric_limits<qsizetype>::max()) ||
            std::memchr(text, 0, static_cast<std::size_t>(length)) != nullptr) {
            return DecodeResult::failure(malformed(QStringLiteral("a text holds a NUL character")));
        }
        return DecodeResult::success(QVariant(QString::fromUtf8(text, static_cast<qsizetype>(length))));
    }
    case PLIST_DATA: {
        char* bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        QByteArray result(bytes, static_cast<qsizetype>(length));
        free(bytes);
        return DecodeResult::success(QVariant(result));
    }
    case PLIST_DATE: {
        int32_t seconds = 0;
        int32_t micros = 0;
        plist_get_date_val(node, &seconds, &micros);
        // The library makes the parts of a date that is not a number (or out of its
        // range) into nonsense; only a date the writer takes back is a date.
        const qint64 ms = (kReferenceEpoch + seconds) * 1000 + micros / 1000;
        if (micros <= -1000000 || micros >= 1000000 || !fileSeconds(ms)) {
            return DecodeResult::failure(malformed(QStringLiteral("date out of range")));
        }
        return DecodeResult::success(QVariant(QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC)));
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t size = plist_array_get_size(node);
        list.reserve(size);
        for (uint32_t i = 0; i < size; ++i) {
            auto item = decode(plist_array_get_item(node, i), depth + 1);
            if (!item.ok()) {
                return item;
            }
            list.append(std::move(item).value());
        }
        return DecodeResult::success(QVariant(list));
    }
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &key, &item);
            if (!item) {
                free(key);
                break;
            }
            auto decoded = decode(item, depth + 1);
            const QString name = QString::fromUtf8(key);
            free(key);
            if (!decoded.ok()) {
                free(it);
                return decoded;
            }
            map.insert(name, std::move(decoded).value());
        }
        free(it);
        if (map.size() == 1 && map.contains(QLatin1String(kNullKey)) &&
            map.value(QLatin1String(kNullKey)).typeId() == QMetaType::Bool) {
            return DecodeResult::success(PropertyList::null());
        }
        return DecodeResult::success(QVariant(map));
    }
    default:
        return DecodeResult::failure(malformed(QStringLiteral("unsupported property-list node")));
    }
}

quint64 bigEndian(const unsigned char* bytes, int size) {
    quint64 value = 0;
    for (int i = 0; i < size; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

// The binary reader of the library keeps texts with a NUL in them, and its accessors
// for texts and dictionary keys then stop the process on an assertion; there is no
// accessor for a key that reports its length. Its dates are doubles that it converts
// to 32-bit seconds without a range check. So a binary document is walked here first,
// object by object through its offset table: a text or key holding NUL, a date that
// is not a number or lies outside the writer's range, and a table that points outside
// the document make it malformed before the library has seen it.
std::optional<QString> binaryDocumentProblem(const QByteArray& data) {
    constexpr qsizetype headerSize = 8;
    constexpr qsizetype trailerSize = 32;
    if (!data.startsWith("bplist00")) {
        return std::nullopt;
    }
    if (data.size() < headerSize + trailerSize) {
        return QStringLiteral("binary property list too short");
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData());
    const auto size = static_cast<quint64>(data.size());
    const unsigned char* trailer = bytes + size - trailerSize;
    const int offsetSize = trailer[6];
    const quint64 objects = bigEndian(trailer + 8, 8);
    const quint64 table = bigEndian(trailer + 24, 8);
    const quint64 end = size - trailerSize;
    if (offsetSize < 1 || offsetSize > 8 || table < headerSize || table > end ||
        objects > (end - table) / static_cast<quint64>(offsetSize)) {
        return QStringLiteral("binary property list with a broken offset table");
    }
    const QString outside = QStringLiteral("binary property list with an object outside the document");
    for (quint64 i = 0; i < objects; ++i) {
        const quint64 offset = bigEndian(bytes + table + i * offsetSize, offsetSize);
        if (offset < headerSize || offset >= end) {
            return outside;
        }
        const unsigned marker = bytes[offset];
        const unsigned kind = marker >> 4;
        if (marker == 0x33) {
            if (end - offset < 9) {
                return outside;
            }
            const quint64 bits = bigEndian(bytes + offset + 1, 8);
            double seconds = 0;
            std::memcpy(&seconds, &bits, sizeof seconds);
            if (!std::isfinite(seconds) || seconds < double(std::numeric_limits<int32_t>::min()) ||
                seconds >= double(std::numeric_limits<int32_t>::max()) + 1.0) {
                return QStringLiteral("date out of range");
            }
            continue;
        }
        if (kind != 0x5 && kind != 0x6) {
            continue;
        }
        // The count is in the marker, or follows as an integer object when it is 15 or more.
        quint64 count = marker & 0x0f;
        quint64 start = offset + 1;
        if (count == 0x0f) {
            if (start >= end || (bytes[start] >> 4) != 0x1 || (bytes[start] & 0x0f) > 3) {
                return outside;
            }
            const int width = 1 << (bytes[start] & 0x0f);
            if (end - start - 1 < static_cast<quint64>(width)) {
                return outside;
            }
            count = bigEndian(bytes + start + 1, width);
            start += 1 + width;
        }
        const quint64 unit = kind == 0x6 ? 2 : 1;
        if (count > (end - start) / unit) {
            return outside;
        }
        for (quint64 k = 0; k < count; ++k) {
            const unsigned char* at = bytes + start + k * unit;
            if (at[0] == 0 && (unit == 1 || at[1] == 0)) {
                return QStringLiteral("a text holds a NUL character");
            }
        }
    }
    return std::nullopt;
}

} // namespace

bool PropertyList::isNull(const QVariant& value) {
    return !value.isValid() || value.typeId() == QMetaType::Nullptr;
}

Result<QByteArray, PropertyListError> PropertyList::toXml(const QVariant& root) {
    using R = Result<QByteArray, PropertyListError>;
    if (root.typeId() != QMetaType::QVariantMap && root.typeId() != QMetaType::QVariantHash &&
        root.typeId() != QMetaType::QVariantList && root.typeId() != QMetaType::QStringList) {
        return R::failure(
            unencodable(QStringLiteral("the root of a property list must be a dictionary or an array")));
    }
    auto node = encode(root, 0);
    if (!node.ok()) {
        return R::failure(node.error());
    }
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node.value().get(), &xml, &length);
    if (!xml) {
        return R::failure(unencodable(QStringLiteral("the property list could not be written as XML")));
    }
    QByteArray bytes(xml, static_cast<qsizetype>(length));
    plist_to_xml_free(xml);
    return R::success(bytes);
}

Result<QVariant, PropertyListError> PropertyList::parse(const QByteArray& data) {
    if (data.isEmpty()) {
        return DecodeResult::failure(malformed(QStringLiteral("empty file")));
    }
    if (data.size() > std::numeric_limits<int32_t>::max()) {
        return DecodeResult::failure(malformed(QStringLiteral("file too large")));
    }
    if (const auto problem = binaryDocumentProblem(data)) {
        return DecodeResult::failure(malformed(*problem));
    }
    plist_t raw = nullptr;
    plist_from_memory(data.constData(), static_cast<uint32_t>(data.size()), &raw);
    Node root(raw);
    if (!root) {
        return DecodeResult::failure(malformed(QStringLiteral(
            "no property list could be read from it (damaged, cut short, or of another kind)")));
    }
    const auto type = plist_get_node_type(root.get());
    if (type != PLIST_DICT && type != PLIST_ARRAY) {
        return DecodeResult::failure(
            malformed(QStringLiteral("the root is neither a dictionary nor an array")));
    }
    return decode(root.get(), 0);
}

Result<QVariant, PropertyListError> PropertyList::readFile(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    const auto failure = [&path](PropertyListError::Kind kind, const QString& what, int systemError = 0) {
        QString message = QStringLiteral("%1 %2").arg(what, path);
        if (systemError != 0) {
            message += QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(systemError));
        }
        return DecodeResult::failure(PropertyListError{kind, message, systemError});
    };
    struct stat entry {};
    if (::lstat(native.constData(), &entry) != 0) {
        const int systemError = errno;
        return systemError == ENOENT
                   ? failure(PropertyListError::Kind::NotFound, QStringLiteral("no file at"))
                   : failure(PropertyListError::Kind::Unreadable, QStringLiteral("cannot look at"),
                             systemError);
    }
    // Only a regular file is opened: a pipe would wait for a writer for ever, and a device
    // (a link to /dev/zero) never ends. Whatever it is, it is judged before it is opened.
    struct stat named {};
    if (::stat(native.constData(), &named) != 0 || !S_ISREG(named.st_mode)) {
        return failure(PropertyListError::Kind::NotAFile, QStringLiteral("not a regular file:"));
    }
    if (named.st_size > maxFileSize) {
        return failure(PropertyListError::Kind::TooLarge,
                       QStringLiteral("%1 bytes, too large:").arg(named.st_size));
    }
    // Non-blocking: should a pipe take the file's place between the look and the open, the
    // open comes back at once and the look at what was opened refuses it.
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return failure(PropertyListError::Kind::Unreadable, QStringLiteral("cannot open"), errno);
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        return failure(PropertyListError::Kind::NotAFile, QStringLiteral("not a regular file:"));
    }
    // Up to one byte past the bound: a file that grew since it was looked at is still refused.
    QByteArray data;
    data.resize(qsizetype(std::min<qint64>(opened.st_size, maxFileSize) + 1));
    qsizetype done = 0;
    for (;;) {
        if (done == data.size()) {
            if (done > maxFileSize) {
                ::close(fd);
                return failure(PropertyListError::Kind::TooLarge, QStringLiteral("too large:"));
            }
            data.resize(std::min<qsizetype>(data.size() * 2, maxFileSize + 1));
        }
        const auto got = ::read(fd, data.data() + done, size_t(data.size() - done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int systemError = errno;
            ::close(fd);
            return failure(PropertyListError::Kind::Unreadable, QStringLiteral("cannot read"), systemError);
        }
        if (got == 0) {
            break;
        }
        done += got;
    }
    ::close(fd);
    data.truncate(done);
    return parse(data);
}

Result<Void, PropertyListError> PropertyList::writeFile(const QString& path, const QVariant& root) {
    using R = Result<Void, PropertyListError>;
    auto xml = toXml(root);
    if (!xml.ok()) {
        return R::failure(xml.error());
    }
    const auto folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        return R::failure(error(PropertyListError::Kind::WriteFailed,
                                QStringLiteral("cannot create the folder %1").arg(folder)));
    }
    // A new file beside it, renamed over it: a link at the path is replaced, not followed, and
    // a write that fails on the way (a full disk) leaves the old file as it was.
    auto written = AtomicFile::write(path, xml.value());
    if (!written.ok()) {
        return R::failure(error(PropertyListError::Kind::WriteFailed, written.error()));
    }
    return R::success(Void{});
}

int PropertyList::removeLeftoverTemporaries(const QString& path, std::chrono::seconds olderThan) {
    // A process killed between writing and renaming leaves its temporary, and nothing else ever
    // removes it; only names that our writes make are such temporaries.
    return AtomicFile::removeLeftovers(path, olderThan);
}

} // namespace velmora
