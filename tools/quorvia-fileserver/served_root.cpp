#include "served_root.h"

#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace fileserver {

namespace {

bool hasControlCharacters(const QString& name) {
    return std::any_of(name.begin(), name.end(),
                       [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

// The entry of the folder dirFd named like part without regard to case; an
// exact match wins over the others. Empty when there is none.
QByteArray findEntry(int dirFd, const QByteArray& part) {
    struct stat st {};
    if (::fstatat(dirFd, part.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return part;
    FileDescriptor listFd(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listFd.valid())
        return {};
    const Directory dir = listDirectory(std::move(listFd));
    if (!dir)
        return {};
    const QString wanted = QString::fromUtf8(part);
    QByteArray found;
    while (const dirent* e = ::readdir(dir.get())) {
        const QString name = QString::fromUtf8(e->d_name);
        if (name.compare(wanted, Qt::CaseInsensitive) == 0) {
            found = e->d_name;
            break;
        }
    }
    return found;
}

} // namespace

Directory listDirectory(FileDescriptor folder) {
    Directory dir(::fdopendir(folder.get()));
    if (dir) {
        folder.release(); // closed with the listing
    } else {
        const int error = errno;
        folder.reset();
        errno = error;
    }
    return dir;
}

ServedRoot::ServedRoot(const QString& path) : m_path(path) {
    m_fd = FileDescriptor(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!m_fd.valid())
        throw std::runtime_error(std::strerror(errno));
    // A folder that opens may still refuse a listing of its entries.
    const Directory dir = listDirectory(
        FileDescriptor(::openat(m_fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
    if (!dir)
        throw std::runtime_error(std::strerror(errno));
    errno = 0;
    const bool listed = ::readdir(dir.get()) != nullptr || errno == 0;
    const int readError = errno;
    if (!listed)
        throw std::runtime_error(std::strerror(readError));
}

ResolvedName ServedRoot::resolve(const QString& name, NameKind kind) const {
    ResolvedName result;
    QString relative = name;
    const bool network = relative.startsWith(QLatin1StringView("\\\\")) ||
                         relative.startsWith(QLatin1StringView("//"));
    const bool drive = relative.size() >= 2 && relative[1] == u':';
    if (network || drive || hasControlCharacters(relative)) {
        result.outcome = ResolvedName::Outcome::Forbidden;
        return result;
    }
    if (relative.startsWith(u'\\') || relative.startsWith(u'/')) {
        if (kind == NameKind::File) {
            result.outcome = ResolvedName::Outcome::Forbidden;
            return result;
        }
        relative.remove(0, 1);
    }
    relative.replace(u'\\', u'/');
    const QStringList parts = relative.split(u'/', Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        // A colon names a stream or a drive on the servers this stands in for.
        if (part == QLatin1StringView("..") || part.contains(u':')) {
            result.outcome = ResolvedName::Outcome::Forbidden;
            return result;
        }
    }

    // O_NONBLOCK: opening a FIFO for reading must not wait for a writer.
    const int flags = kind == NameKind::File ? O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK
                                             : O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    QByteArray onDisk;
    for (const QString& part : parts) {
        if (part == QLatin1StringView("."))
            continue;
        onDisk += (onDisk.isEmpty() ? QByteArray() : QByteArray("/")) + part.toUtf8();
    }
    // Names mostly arrive spelled as on disk: one open settles them.
    result.fd = FileDescriptor(openBeneath(m_fd.get(), onDisk, flags));
    if (!result.fd.valid() && errno == ENOENT) {
        // Else spell each part as it is on disk, folder by folder, each folder
        // opened beneath the root. The spelling only finds the name; the final
        // open is what is checked and served.
        onDisk = spellAsOnDisk(parts, result);
        if (result.outcome == ResolvedName::Outcome::Forbidden || onDisk.isNull())
            return result;
        result.fd = FileDescriptor(openBeneath(m_fd.get(), onDisk, flags));
    }
    return checked(std::move(result), onDisk, kind);
}

QByteArray ServedRoot::spellAsOnDisk(const QStringList& parts, ResolvedName& result) const {
    QByteArray onDisk("");
    for (const QString& part : parts) {
        if (part == QLatin1StringView("."))
            continue;
        FileDescriptor folder(openBeneath(m_fd.get(), onDisk, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!folder.valid()) {
            if (errno == EXDEV || errno == ELOOP)
                result.outcome = ResolvedName::Outcome::Forbidden;
            return {};
        }
        const QByteArray entry = findEntry(folder.get(), part.toUtf8());
        if (entry.isEmpty())
            return {};
        onDisk += (onDisk.isEmpty() ? QByteArray("") : QByteArray("/")) + entry;
    }
    return onDisk;
}

ResolvedName ServedRoot::checked(ResolvedName result, const QByteArray& onDisk,
                                 NameKind kind) const {
    if (!result.fd.valid()) {
        if (errno == EXDEV || errno == ELOOP)
            result.outcome = ResolvedName::Outcome::Forbidden;
        else if (errno != ENOENT && errno != ENOTDIR)
            result.error = errno;
        return result;
    }
    if (::fstat(result.fd.get(), &result.info) != 0 ||
        (kind == NameKind::File ? !S_ISREG(result.info.st_mode) : !S_ISDIR(result.info.st_mode))) {
        result.fd.reset();
        return result;
    }
    result.outcome = ResolvedName::Outcome::Found;
    result.relative = QFile::decodeName(onDisk);
    result.path = result.relative.isEmpty() ? m_path : m_path + u'/' + result.relative;
    return result;
}

ResolvedName resolveName(const QString& root, const QString& name, NameKind kind) {
    try {
        return ServedRoot(root).resolve(name, kind);
    } catch (const std::runtime_error&) {
        return {};
    }
}

} // namespace fileserver
