#include "update/folder_source.h"

#include "platform/errors.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/trace.h"
#include "update/staged_replace.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <iterator>
#include <mutex>
#include <thread>
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

// Walks the tree below a root folder on a few threads: folders wait in one queue,
// each worker lists one folder at a time and queues its subfolders, so the stat
// calls of a wide tree overlap. A worker keeps a single descriptor open (folders
// are opened by their path below the root), so depth never exhausts descriptors.
// readdir's entry type spares a stat for folders; files get exactly one.
class FolderWalker {
public:
    explicit FolderWalker(int rootFd) : m_rootFd(rootFd) {}

    std::vector<FoundFile> run() {
        const int threads =
            static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1U, 4U));
        m_queue.push_back({QByteArray(), QString()});
        std::vector<std::vector<FoundFile>> parts(static_cast<size_t>(threads));
        std::vector<std::exception_ptr> errors(static_cast<size_t>(threads));
        auto work = [&](size_t index) {
            try {
                drain(parts[index]);
            } catch (...) {
                errors[index] = std::current_exception();
                abandon();
            }
        };
        std::vector<std::thread> helpers;
        for (size_t i = 1; i < parts.size(); ++i)
            helpers.emplace_back(work, i);
        work(0);
        for (std::thread& helper : helpers)
            helper.join();
        for (const std::exception_ptr& error : errors)
            if (error)
                std::rethrow_exception(error);

        std::vector<FoundFile> found = std::move(parts[0]);
        for (size_t i = 1; i < parts.size(); ++i)
            std::move(parts[i].begin(), parts[i].end(), std::back_inserter(found));
        return found;
    }

private:
    struct Folder {
        QByteArray path; // below the root, native form; empty for the root itself
        QString prefix;  // the logical prefix of its files' names
    };

    void drain(std::vector<FoundFile>& found) {
        for (;;) {
            Folder folder;
            {
                std::unique_lock lock(m_lock);
                m_changed.wait(lock, [this] { return !m_queue.empty() || m_busy == 0; });
                if (m_queue.empty())
                    return; // nothing queued and nobody listing: the walk is over
                folder = std::move(m_queue.back());
                m_queue.pop_back();
                ++m_busy;
            }
            std::vector<Folder> subfolders;
            list(folder, found, subfolders);
            {
                const std::lock_guard guard(m_lock);
                for (Folder& subfolder : subfolders)
                    m_queue.push_back(std::move(subfolder));
                --m_busy;
            }
            m_changed.notify_all();
        }
    }

    // After a failure elsewhere: the others stop at their next turn.
    void abandon() {
        {
            const std::lock_guard guard(m_lock);
            m_queue.clear();
        }
        m_changed.notify_all();
    }

    void list(const Folder& folder, std::vector<FoundFile>& found,
              std::vector<Folder>& subfolders) {
        // A subfolder that cannot be opened is passed over, as an enumeration of the
        // share would; only the root itself must be readable.
        const int fd = ::openat(m_rootFd, folder.path.isEmpty() ? "." : folder.path.constData(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return;
        DIR* dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            return;
        }
        while (const dirent* entry = ::readdir(dir)) {
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            if (!decodes(name)) {
                skipUndecodable(folder, name);
                continue;
            }
            struct stat st {};
            switch (entry->d_type) {
            case DT_DIR:
                subfolders.push_back(subfolder(folder, name));
                break;
            case DT_REG:
                addFile(found, fd, folder, name, AT_SYMLINK_NOFOLLOW);
                break;
            case DT_LNK:
                addLinkedFile(found, fd, folder, name);
                break;
            case DT_UNKNOWN: // file systems that do not fill in the type
                if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    break;
                if (S_ISDIR(st.st_mode))
                    subfolders.push_back(subfolder(folder, name));
                else if (S_ISLNK(st.st_mode))
                    addLinkedFile(found, fd, folder, name);
                else if (S_ISREG(st.st_mode))
                    found.push_back({folder.prefix + QFile::decodeName(name), m_toAge(st)});
                break;
            default:
                break; // devices, pipes and sockets are not files to copy
            }
        }
        ::closedir(dir);
    }

    // A name whose bytes are not valid in the file-name encoding decodes to
    // replacement characters: it can never equal a name of the local list, and two
    // such names could take one key and stop every run as duplicates.
    static bool decodes(const char* name) {
        return QFile::encodeName(QFile::decodeName(name)) == QByteArrayView(name);
    }

    static void skipUndecodable(const Folder& folder, const char* name) {
        QString shown = folder.prefix;
        for (const char* c = name; *c; ++c) {
            const auto byte = static_cast<unsigned char>(*c);
            shown += byte >= 0x20 && byte < 0x7f
                         ? QString(QChar(char16_t(byte)))
                         : QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
        }
        platform::traceLine(
            QStringLiteral(
                "Skipped central entry with a name not valid in the file-name encoding: ") +
            shown);
    }

    static Folder subfolder(const Folder& parent, const char* name) {
        QByteArray path = parent.path;
        if (!path.isEmpty())
            path += '/';
        path += name;
        return {path, parent.prefix + QFile::decodeName(name) + u'\\'};
    }

    void addFile(std::vector<FoundFile>& found, int folderFd, const Folder& folder,
                 const char* name, int flags) const {
        struct stat st {};
        const platform::TDateTime age =
            ::fstatat(folderFd, name, &st, flags) == 0 ? m_toAge(st) : -1.0;
        found.push_back({folder.prefix + QFile::decodeName(name), age});
    }

    void addLinkedFile(std::vector<FoundFile>& found, int folderFd, const Folder& folder,
                       const char* name) const {
        struct stat st {};
        if (::fstatat(folderFd, name, &st, 0) == 0 && S_ISDIR(st.st_mode))
            return; // links to folders are not followed
        addFile(found, folderFd, folder, name, 0);
    }

    const int m_rootFd;
    const AgeConverter m_toAge;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Folder> m_queue;
    int m_busy = 0;
};

} // namespace

void fillRemoteListFromFolder(const QString& remotePath, TRemoteList& list) {
    // An unset share would otherwise mean the file system's root.
    if (remotePath.isEmpty())
        throw platform::EDirectoryNotFoundException(platform::messages::pathNotFound(),
                                                    QStringLiteral("no share folder given"));
    if (platform::hasInvalidPathChars(remotePath))
        throw platform::EArgumentException(platform::messages::invalidPathChars());

    const QByteArray root = QFile::encodeName(platform::toNativeSeparators(remotePath));
    const int rootFd = ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) {
        const int error = errno;
        const QString detail = platform::pathDetail(remotePath, error);
        if (error == ENOENT || error == ENOTDIR)
            throw platform::EDirectoryNotFoundException(platform::messages::pathNotFound(), detail);
        throw platform::EInOutError(platform::systemErrorMessage(error), detail);
    }

    std::vector<FoundFile> found;
    try {
        found = FolderWalker(rootFd).run();
    } catch (...) {
        ::close(rootFd);
        throw;
    }
    ::close(rootFd);
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
        [&source](const TStagedFile& staged) { platform::copyFileInto(source, staged.descriptor); },
        executable);
}
