#include "images/coders/vector-render/ReadablePaths.h"

#include <fontconfig/fontconfig.h>

#include <QDir>
#include <QFile>
#include <QHash>
#include <QLibraryInfo>
#include <QSet>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <optional>

namespace velmora::images {

namespace {

using Readable = ReadablePaths::Readable;

// A path, canonical, or nothing when it does not exist.
QByteArray canonical(const QByteArray& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.constData(), resolved) ? QByteArray(resolved) : QByteArray();
}

// Whether `path` is `other` or a folder above it.
bool holds(const QByteArray& path, const QByteArray& other) {
    if (path == "/" || other == path) {
        return true;
    }
    const qsizetype length = path.endsWith('/') ? path.size() - 1 : path.size();
    return other.size() > length && other.at(length) == '/' &&
           other.startsWith(QByteArrayView(path).first(length));
}

// The home folder, and where a user's fonts and font caches lie in it, resolved.
struct Home {
    QByteArray home;
    QList<QByteArray> fontFolders;
    QList<QByteArray> cacheFolders;

    static Home ofThisProcess() {
        Home out;
        out.home = canonical(qgetenv("HOME"));
        if (out.home.isEmpty()) {
            return out;
        }
        const auto under = [&out](const char* variable, const QByteArray& fallback) {
            const QByteArray set = qgetenv(variable);
            return set.startsWith('/') ? set : out.home + '/' + fallback;
        };
        for (const QByteArray& folder :
             {under("XDG_DATA_HOME", ".local/share") + "/fonts", out.home + "/.fonts"}) {
            if (const QByteArray resolved = canonical(folder); !resolved.isEmpty()) {
                out.fontFolders.append(resolved);
            }
        }
        if (const QByteArray resolved = canonical(under("XDG_CACHE_HOME", ".cache") + "/fontconfig");
            !resolved.isEmpty()) {
            out.cacheFolders.append(resolved);
        }
        return out;
    }

    // Whether `resolved` is the home, a folder holding it, or "/".
    bool opensTheHome(const QByteArray& resolved) const {
        return resolved == "/" || (!home.isEmpty() && holds(resolved, home));
    }
    bool isUnder(const QByteArray& resolved) const {
        return !home.isEmpty() && holds(home, resolved) && resolved != home;
    }
};

// Whether what `info` tells of is a regular file with no other name: a file under the home that
// is also a hard link elsewhere may be any of the user's files, whatever folder it was put in.
bool isSingleFile(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_nlink == 1;
}

// `path` as a single file (see above), with the device and inode it is now; nothing otherwise.
std::optional<struct stat> singleFile(const QByteArray& path) {
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0 || !isSingleFile(info)) {
        return std::nullopt;
    }
    return info;
}

// The font files fontconfig lists (the system's and the application's sets).
QList<QByteArray> fontconfigFontFiles() {
    QList<QByteArray> files;
    for (const FcSetName set : {FcSetSystem, FcSetApplication}) {
        const FcFontSet* fonts = FcConfigGetFonts(nullptr, set);
        for (int i = 0; fonts && i < fonts->nfont; ++i) {
            FcChar8* file = nullptr;
            if (FcPatternGetString(fonts->fonts[i], FC_FILE, 0, &file) == FcResultMatch && file) {
                const QByteArray path(reinterpret_cast<const char*>(file));
                if (files.isEmpty() || files.last() != path) {
                    files.append(path);
                }
            }
        }
    }
    return files;
}

QList<QByteArray> fontconfigCacheFolders() {
    QList<QByteArray> folders;
    const QByteArray home = qgetenv("HOME");
    if (FcStrList* list = FcConfigGetCacheDirs(nullptr)) {
        while (FcChar8* entry = FcStrListNext(list)) {
            QByteArray path(reinterpret_cast<const char*>(entry));
            if (path.startsWith("~/") && !home.isEmpty()) {
                path = home + path.mid(1);
            }
            folders.append(path);
        }
        FcStrListDone(list);
    }
    return folders;
}

// The folders of the Qt this process loaded, wherever it is installed (under /usr, /opt, a home
// or a bundle): its libraries and its plugins, which a drawing loads when a document asks for
// them (an image format's plugin, and the libraries that plugin needs).
QList<QByteArray> qtFolders() {
    QList<QByteArray> folders{QFile::encodeName(QLibraryInfo::path(QLibraryInfo::PluginsPath)),
                              QFile::encodeName(QLibraryInfo::path(QLibraryInfo::LibrariesPath))};
    Dl_info loaded{};
    if (::dladdr(reinterpret_cast<const void*>(&qVersion), &loaded) != 0 && loaded.dli_fname) {
        const QByteArray library = canonical(loaded.dli_fname);
        if (const qsizetype slash = library.lastIndexOf('/'); slash > 0) {
            folders.append(library.left(slash));
        }
    }
    return folders;
}

// The system's paths drawing reads. A top-level one that is a link (/lib to usr/lib) is given
// as the link, so that namespaces make the same link.
const char* const systemPaths[] = {"/usr",    "/lib",       "/lib64",           "/lib32",
                                   "/libx32", "/etc/fonts", "/etc/ld.so.cache", "/sys/devices/system/cpu"};

} // namespace

int ReadablePaths::openWithoutLinks(const QByteArray& path) {
    if (!path.startsWith('/')) {
        return -1;
    }
    int at = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const QList<QByteArray> parts = path.split('/');
    qsizetype last = parts.size() - 1;
    while (last > 0 && parts.at(last).isEmpty()) {
        --last;
    }
    for (qsizetype i = 1; at >= 0 && i <= last; ++i) {
        const QByteArray& part = parts.at(i);
        if (part.isEmpty()) {
            continue;
        }
        const int next = part == "." || part == ".."
                             ? -1
                             : ::openat(at, part.constData(),
                                        O_PATH | O_NOFOLLOW | O_CLOEXEC | (i < last ? O_DIRECTORY : 0));
        ::close(at);
        at = next;
    }
    struct stat info {};
    if (at >= 0 && (::fstat(at, &info) != 0 || S_ISLNK(info.st_mode))) {
        ::close(at);
        at = -1;
    }
    return at;
}

int ReadablePaths::openOwnProcEntry() {
    return ::open(ownProcEntry, O_PATH | O_CLOEXEC);
}

QList<ReadablePaths::Readable> ReadablePaths::list() {
    const Home home = Home::ofThisProcess();
    QList<Readable> candidates;
    for (const char* path : systemPaths) {
        candidates.append(Readable{path, canonical(path)});
    }
    candidates.append(Readable{ownProcEntry, ownProcEntry});
    // Font files, one by one, rather than the folders fontconfig scanned: a folder opens all that
    // lies beneath it, and fontconfig lists every folder it scanned beneath a configured one. A
    // configuration that names the home (or ~/.config, or the folder holding the homes), or a link
    // in a font folder to the home, would open the user's files; and a folder opens what is put in
    // it later, hard links to any file of the user included. A font file is what fontconfig read
    // as a font, and no more.
    // Resolved through their folders, each once (fonts come hundreds to a folder): only a file
    // that is itself a link is resolved whole.
    QHash<QByteArray, QByteArray> folders;
    const auto resolveFont = [&folders](const QByteArray& file) {
        struct stat info {};
        const qsizetype slash = file.lastIndexOf('/');
        if (slash <= 0 || ::lstat(file.constData(), &info) != 0) {
            return QByteArray();
        }
        if (S_ISLNK(info.st_mode)) {
            return canonical(file);
        }
        const QByteArray folder = file.left(slash);
        auto found = folders.find(folder);
        if (found == folders.end()) {
            found = folders.insert(folder, canonical(folder));
        }
        return found->isEmpty() ? QByteArray() : *found + file.mid(slash);
    };
    QSet<QByteArray> fontFiles;
    for (const QByteArray& file : fontconfigFontFiles()) {
        fontFiles.insert(file);
        const QByteArray resolved = resolveFont(file);
        if (resolved.isEmpty()) {
            continue;
        }
        Readable entry{file, resolved};
        // Under the home, a file with another name may be any of the user's files.
        if (home.isUnder(resolved)) {
            const auto single = singleFile(resolved);
            if (!single) {
                continue;
            }
            entry.device = single->st_dev;
            entry.inode = single->st_ino;
        }
        candidates.append(entry);
    }
    // Font caches: outside the home, as folders; under it, only its cache folder, and that as the
    // files in it, for the same reason (a hard link put there).
    for (const QByteArray& folder : fontconfigCacheFolders()) {
        const QByteArray resolved = canonical(folder);
        if (resolved.isEmpty() || home.opensTheHome(resolved)) {
            continue;
        }
        if (!home.isUnder(resolved)) {
            candidates.append(Readable{folder, resolved});
            continue;
        }
        if (!home.cacheFolders.contains(resolved)) {
            continue;
        }
        const QDir cache(QFile::decodeName(resolved));
        for (const QString& name : cache.entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks)) {
            const QByteArray file = resolved + '/' + QFile::encodeName(name);
            if (const auto single = singleFile(file)) {
                candidates.append(Readable{file, file, quint64(single->st_dev), quint64(single->st_ino)});
            }
        }
    }
    for (const QByteArray& folder : qtFolders()) {
        candidates.append(Readable{folder, canonical(folder)});
    }
    // Never a path that opens the home: the home itself, "/" or a folder holding it.
    QList<Readable> readable;
    QSet<QByteArray> seen;
    const QList<QByteArray> qt = qtFolders();
    for (const Readable& candidate : candidates) {
        if (candidate.resolved.isEmpty() || home.opensTheHome(candidate.resolved) ||
            seen.contains(candidate.path)) {
            continue;
        }
        // A folder under the home is none of drawing's business, but a font cache's.
        struct stat info {};
        if (home.isUnder(candidate.resolved) && ::stat(candidate.resolved.constData(), &info) == 0 &&
            S_ISDIR(info.st_mode) && !home.cacheFolders.contains(candidate.resolved)) {
            const bool ofQt = std::any_of(qt.begin(), qt.end(), [&candidate](const QByteArray& folder) {
                return canonical(folder) == candidate.resolved;
            });
            if (!ofQt) {
                continue;
            }
        }
        seen.insert(candidate.path);
        readable.append(candidate);
    }
    // A path beneath another given one, where it is found under its own name, is given already
    // (the fonts under /usr).
    QList<QByteArray> givenFolders;
    for (const Readable& entry : readable) {
        struct stat info {};
        if (entry.path == entry.resolved && entry.path != ownProcEntry && !fontFiles.contains(entry.path) &&
            ::stat(entry.resolved.constData(), &info) == 0 && S_ISDIR(info.st_mode)) {
            givenFolders.append(entry.resolved);
        }
    }
    QList<Readable> uncovered;
    for (const Readable& entry : readable) {
        const bool beneath =
            entry.path == entry.resolved && entry.path != ownProcEntry &&
            std::any_of(givenFolders.begin(), givenFolders.end(), [&entry](const QByteArray& folder) {
                return folder != entry.resolved && holds(folder, entry.resolved);
            });
        if (!beneath) {
            uncovered.append(entry);
        }
    }
    return uncovered;
}

ReadablePaths::Given ReadablePaths::open() {
    Given what;
    QList<Readable> given;
    const QList<Readable> readable = list();
    for (const Readable& entry : readable) {
        // A system path that is a link (/lib to usr/lib) is made as the same link in a namespace's
        // root; what it leads to is given as itself, unless it is given already (under /usr).
        struct stat info {};
        if (entry.path.count('/') == 1 && ::lstat(entry.path.constData(), &info) == 0 &&
            S_ISLNK(info.st_mode)) {
            char target[PATH_MAX];
            const ssize_t length = ::readlink(entry.path.constData(), target, sizeof target);
            if (length > 0) {
                what.links.append({entry.path, QByteArray(target, length)});
                const bool covered =
                    std::any_of(readable.begin(), readable.end(), [&entry](const Readable& other) {
                        return other.path == other.resolved && holds(other.resolved, entry.resolved);
                    });
                if (!covered) {
                    given.append(Readable{entry.resolved, entry.resolved});
                }
                continue;
            }
        }
        given.append(entry);
    }
    what.held = hold(given);
    return what;
}

std::vector<ReadablePaths::Held> ReadablePaths::hold(const QList<Readable>& readable) {
    // A descriptor for each: where the fonts of a home are many, as many as the limit allows.
    rlimit files{};
    const rlim_t wanted = rlim_t(readable.size()) + 256;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY &&
        files.rlim_cur < wanted) {
        files.rlim_cur = files.rlim_max == RLIM_INFINITY ? wanted : std::min(files.rlim_max, wanted);
        (void)::setrlimit(RLIMIT_NOFILE, &files);
    }
    std::vector<Held> held;
    for (const Readable& entry : readable) {
        if (entry.path == ownProcEntry) {
            continue;
        }
        const int descriptor = openWithoutLinks(entry.resolved);
        if (descriptor < 0) {
            continue;
        }
        struct stat info {};
        const bool judged = entry.device != 0 || entry.inode != 0;
        if (::fstat(descriptor, &info) != 0 ||
            (judged && (!isSingleFile(info) || quint64(info.st_dev) != entry.device ||
                        quint64(info.st_ino) != entry.inode))) {
            ::close(descriptor);
            continue;
        }
        held.push_back({entry, descriptor, info.st_dev, info.st_ino, S_ISDIR(info.st_mode)});
    }
    return held;
}

void ReadablePaths::close(std::vector<Held>& held) {
    for (Held& entry : held) {
        if (entry.descriptor >= 0) {
            ::close(entry.descriptor);
            entry.descriptor = -1;
        }
    }
}

} // namespace velmora::images
