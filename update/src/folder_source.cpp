#include "update/folder_source.h"

#include "platform/errors.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "update/staged_replace.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct FoundFile {
    QString name; // relative, backslash separators
    platform::TDateTime age;
};

// Turns a last-write time into an age exactly as platform::tryReadFileAge does
// (local time with the machine's current offset, cut to the millisecond), so a
// central age and a local age of the same clock time are bit-equal. Computed here
// from the stat we already hold: the walk reads one stat per file, no more.
class AgeConverter {
public:
    AgeConverter()
        : m_offsetMs(static_cast<qint64>(QDateTime::currentDateTime().offsetFromUtc()) * 1000) {}

    platform::TDateTime operator()(const struct stat& st) const {
        const qint64 utcMs =
            static_cast<qint64>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1'000'000;
        const qint64 localMs = utcMs + m_offsetMs;
        qint64 days = localMs / platform::MSecsPerDay;
        qint64 msecOfDay = localMs % platform::MSecsPerDay;
        if (msecOfDay < 0) {
            msecOfDay += platform::MSecsPerDay;
            --days;
        }
        return platform::encodeDateTime(QDate::fromJulianDay(UnixEpochJulianDay + days), msecOfDay);
    }

private:
    static constexpr qint64 UnixEpochJulianDay = 2440588;
    qint64 m_offsetMs;
};

// Walks one folder (taking ownership of its descriptor) and everything below it.
// readdir's entry type spares a stat for folders; files get exactly one.
class FolderWalker {
public:
    explicit FolderWalker(std::vector<FoundFile>& found) : m_found(found) {}

    void walk(int folderFd, const QString& prefix) {
        DIR* folder = ::fdopendir(folderFd);
        if (!folder) {
            ::close(folderFd);
            return;
        }
        const int fd = ::dirfd(folder);
        while (const dirent* entry = ::readdir(folder)) {
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            switch (entry->d_type) {
            case DT_DIR:
                descend(fd, name, prefix);
                break;
            case DT_REG:
                addFile(fd, name, prefix, AT_SYMLINK_NOFOLLOW);
                break;
            case DT_LNK:
                addLinkedFile(fd, name, prefix);
                break;
            case DT_UNKNOWN:
                classifyUnknown(fd, name, prefix);
                break;
            default:
                break; // devices, pipes and sockets are not files to copy
            }
        }
        ::closedir(folder);
    }

private:
    void descend(int parentFd, const char* name, const QString& prefix) {
        const int child = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        // A subfolder that cannot be opened is passed over, as an enumeration of
        // the share would; only the root itself must be readable.
        if (child >= 0)
            walk(child, prefix + QFile::decodeName(name) + u'\\');
    }

    void addFile(int parentFd, const char* name, const QString& prefix, int flags) {
        struct stat st {};
        const platform::TDateTime age =
            ::fstatat(parentFd, name, &st, flags) == 0 ? m_toAge(st) : -1.0;
        m_found.push_back({prefix + QFile::decodeName(name), age});
    }

    void addLinkedFile(int parentFd, const char* name, const QString& prefix) {
        struct stat st {};
        if (::fstatat(parentFd, name, &st, 0) == 0 && S_ISDIR(st.st_mode))
            return; // links to folders are not followed
        addFile(parentFd, name, prefix, 0);
    }

    void classifyUnknown(int parentFd, const char* name, const QString& prefix) {
        struct stat st {};
        if (::fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return;
        if (S_ISDIR(st.st_mode))
            descend(parentFd, name, prefix);
        else if (S_ISLNK(st.st_mode))
            addLinkedFile(parentFd, name, prefix);
        else if (S_ISREG(st.st_mode))
            m_found.push_back({prefix + QFile::decodeName(name), m_toAge(st)});
    }

    std::vector<FoundFile>& m_found;
    AgeConverter m_toAge;
};

} // namespace

void fillRemoteListFromFolder(const QString& remotePath, TRemoteList& list) {
    // An unset share would otherwise mean the file system's root.
    if (remotePath.isEmpty())
        throw platform::EDirectoryNotFoundException(platform::messages::pathNotFound());
    if (platform::hasInvalidPathChars(remotePath))
        throw platform::EArgumentException(platform::messages::invalidPathChars());

    const QByteArray root = QFile::encodeName(platform::toNativeSeparators(remotePath));
    const int rootFd = ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            throw platform::EDirectoryNotFoundException(platform::messages::pathNotFound());
        throw platform::EInOutError(platform::systemErrorMessage(errno));
    }

    std::vector<FoundFile> found;
    FolderWalker(found).walk(rootFd, QString());
    std::sort(found.begin(), found.end(),
              [](const FoundFile& a, const FoundFile& b) { return a.name < b.name; });

    list.reserve(static_cast<qsizetype>(found.size()));
    for (const FoundFile& file : found)
        addRemoteFile(list, file.name, file.age);
}

void updateFileFromFolder(const QString& remotePath, const QString& localPath,
                          const QString& localName, const QString& remoteName,
                          platform::TDateTime age, bool executable) {
    const QString source = platform::joinPath(remotePath, remoteName);
    const QString target = platform::joinPath(localPath, localName);
    platform::createFolders(platform::folderOf(target));
    replaceFileStaged(
        target, age,
        [&source](const QString& temporaryPath) {
            platform::copyFileNoOverwrite(source, temporaryPath);
        },
        executable);
}
