#include "update/folder_source.h"

#include "platform/errors.h"
#include "platform/file_descriptor.h"
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
    qint64 size = -1; // as listed; -1 when it could not be read
};

// The ages of one walk, with the offset of its start: one stat per file, no more.
class AgeConverter {
public:
    platform::TDateTime operator()(const struct stat& st) const {
        return platform::ageOfFileTime(st.st_mtim, m_offsetMs);
    }

private:
    qint64 m_offsetMs = platform::currentUtcOffsetMs();
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
        const int fd = platform::openBeneath(m_rootFd, folder.path,
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
            // A backslash inside a name would read as a separator of our names.
            if (std::strchr(name, '\\')) {
                skip(folder, name, "with a backslash in its name");
                continue;
            }
            struct stat st {};
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) { // file systems that do not fill in the type
                if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                type = S_ISDIR(st.st_mode)   ? DT_DIR
                       : S_ISLNK(st.st_mode) ? DT_LNK
                       : S_ISREG(st.st_mode) ? DT_REG
                                             : DT_FIFO; // any other kind: not a file
            }
            switch (type) {
            case DT_DIR:
                subfolders.push_back(subfolder(folder, name));
                break;
            case DT_REG:
                // Looked at again: the entry may have been swapped since it was read.
                if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    found.push_back({folder.prefix + QFile::decodeName(name), -1.0});
                else if (S_ISREG(st.st_mode))
                    found.push_back(
                        {folder.prefix + QFile::decodeName(name), m_toAge(st), st.st_size});
                else
                    skip(folder, name, "that is not a regular file");
                break;
            case DT_LNK:
                addLinkedFile(found, folder, name);
                break;
            default:
                skip(folder, name, "that is not a regular file");
                break;
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

    static void skip(const Folder& folder, const char* name, const char* why) {
        platform::traceLine(
            QStringLiteral("Skipped central entry %1: %2")
                .arg(QLatin1StringView(why), folder.prefix + QFile::decodeName(name)));
    }

    static QByteArray pathOf(const Folder& folder, const char* name) {
        return folder.path.isEmpty() ? QByteArray(name) : folder.path + '/' + name;
    }

    static Folder subfolder(const Folder& parent, const char* name) {
        return {pathOf(parent, name), parent.prefix + QFile::decodeName(name) + u'\\'};
    }

    // A link counts as the regular file it leads to, if that lies in the share;
    // the kernel follows it beneath the share's root, so a link out (or through
    // /proc) cannot be taken. O_PATH: finding out what it is opens nothing.
    void addLinkedFile(std::vector<FoundFile>& found, const Folder& folder,
                       const char* name) const {
        const QString logical = folder.prefix + QFile::decodeName(name);
        const platform::FileDescriptor target(
            platform::openBeneath(m_rootFd, pathOf(folder, name), O_PATH | O_CLOEXEC));
        struct stat st {};
        if (!target.valid()) {
            if (errno == EXDEV || errno == ELOOP)
                skip(folder, name, "linked out of the share");
            else
                found.push_back({logical, -1.0}); // a dangling link: no time to read
            return;
        }
        if (::fstat(target.get(), &st) != 0) {
            found.push_back({logical, -1.0});
            return;
        }
        if (S_ISDIR(st.st_mode))
            return;              // links to folders are not followed
        if (S_ISLNK(st.st_mode)) // where links are not followed at all
            skip(folder, name, "linked out of the share");
        else if (!S_ISREG(st.st_mode))
            skip(folder, name, "that is not a regular file");
        else
            found.push_back({logical, m_toAge(st), st.st_size});
    }

    const int m_rootFd;
    const AgeConverter m_toAge;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Folder> m_queue;
    int m_busy = 0;
};

} // namespace

namespace {

// The share's root folder, open for the walk or for one copy.
platform::FileDescriptor openShareRoot(const QString& remotePath) {
    // An unset share would otherwise mean the file system's root.
    if (remotePath.isEmpty())
        throw platform::EDirectoryNotFoundException(platform::messages::pathNotFound(),
                                                    QStringLiteral("no share folder given"));
    if (platform::hasInvalidPathChars(remotePath))
        throw platform::EArgumentException(platform::messages::invalidPathChars());

    const QByteArray root = QFile::encodeName(platform::toNativeSeparators(remotePath));
    platform::FileDescriptor rootFd(::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd.valid()) {
        const int error = errno;
        const QString detail = platform::pathDetail(remotePath, error);
        if (error == ENOENT || error == ENOTDIR)
            throw platform::EDirectoryNotFoundException(platform::messages::pathNotFound(), detail);
        throw platform::EInOutError(platform::systemErrorMessage(error), detail);
    }
    return rootFd;
}

bool sameState(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

[[noreturn]] void throwChanged(const QString& remoteName, const QString& detail) {
    throw platform::EInOutError(
        QStringLiteral("The central file %1 changed while it was copied").arg(remoteName), detail);
}

// Copies the central file relative (beneath rootFd) into out, exactly as it was
// listed: a regular file (never a pipe or a device, not even through a link),
// whose time is still the listed age, and that stays the same file with the same
// size and times from before the first read to after the last. Anything else
// fails this file alone; the next run tries it again.
void copyCentralFile(int rootFd, const QByteArray& relative, const QString& remoteName,
                     platform::TDateTime age, qint64 listedSize, int out) {
    // O_NONBLOCK: a pipe put in the file's place must not hold the open.
    const platform::FileDescriptor in(
        platform::openBeneath(rootFd, relative, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!in.valid()) {
        const int error = errno;
        const QString detail = platform::pathDetail(remoteName, error);
        if (error == ENOENT || error == ENOTDIR)
            throw platform::EFileNotFoundException(platform::messages::fileNotFound(), detail);
        if (error == EXDEV || error == ELOOP)
            throw platform::EInOutError(
                QStringLiteral("The central file %1 leads out of the share").arg(remoteName),
                detail);
        throw platform::EInOutError(platform::systemErrorMessage(error), detail);
    }
    platform::letTruncationsEnd(in.get());
    struct stat before {};
    if (::fstat(in.get(), &before) != 0) {
        const int error = errno;
        throw platform::EInOutError(platform::systemErrorMessage(error),
                                    platform::pathDetail(remoteName, error));
    }
    if (!S_ISREG(before.st_mode))
        throw platform::EInOutError(
            QStringLiteral("The central file %1 is not a regular file").arg(remoteName));
    if (platform::beingTruncated(before))
        throwChanged(remoteName, QStringLiteral("it is being emptied"));
    // The listed age is what the copy gets stamped with. A copy made while the
    // file is being rewritten (truncated, then filled and given its old time back)
    // can see a whole, consistent, empty file; only its time, now, gives it away.
    // The size as listed, too: a truncation shows its new size a moment before its
    // new time, and that moment looks like an unchanged, empty file.
    if (listedSize >= 0 && before.st_size != listedSize)
        throwChanged(
            remoteName,
            QStringLiteral("it has %1 bytes, listed with %2").arg(before.st_size).arg(listedSize));
    if (const platform::TDateTime seen = AgeConverter()(before); seen != age)
        throwChanged(remoteName, QStringLiteral("its time is %1, listed as %2")
                                     .arg(platform::describeAge(seen), platform::describeAge(age)));

    qint64 copied = 0;
    struct stat after {};
    try {
        copied = platform::copyAtMost(in.get(), out, before.st_size);
    } catch (const platform::EInOutError&) {
        // Grown past its size, most likely; a full disk stays what it is.
        if (::fstat(in.get(), &after) == 0 && !sameState(before, after))
            throwChanged(remoteName, QStringLiteral("more than %1 bytes").arg(before.st_size));
        throw;
    }

    platform::letTruncationsEnd(in.get());
    struct stat named {};
    const platform::FileDescriptor again(
        platform::openBeneath(rootFd, relative, O_PATH | O_CLOEXEC));
    if (::fstat(in.get(), &after) != 0 || !again.valid() || ::fstat(again.get(), &named) != 0)
        throwChanged(remoteName, QStringLiteral("it could not be looked at again"));
    // A rename over the name leaves the opened file as it was; only the name,
    // looked up again, shows another file.
    if (copied != before.st_size || !sameState(before, after) || !sameState(before, named))
        throwChanged(remoteName,
                     QStringLiteral("%1 of %2 bytes read").arg(copied).arg(before.st_size));
}

} // namespace

void fillRemoteListFromFolder(const QString& remotePath, TRemoteList& list) {
    const platform::FileDescriptor rootFd = openShareRoot(remotePath);
    std::vector<FoundFile> found = FolderWalker(rootFd.get()).run();
    std::sort(found.begin(), found.end(),
              [](const FoundFile& a, const FoundFile& b) { return a.name < b.name; });

    list.reserve(static_cast<qsizetype>(found.size()));
    for (const FoundFile& file : found)
        addRemoteFile(list, TFileInfoDTO(file.name, file.age, file.size, {}));
}

void updateFileFromFolder(const QString& remotePath, const QString& localPath,
                          const QString& localName, const QString& remoteName,
                          platform::TDateTime age, bool executable, qint64 listedSize) {
    const platform::FileDescriptor rootFd = openShareRoot(remotePath);
    QString relative = remoteName;
    relative.replace(u'\\', u'/');
    const QByteArray onDisk = QFile::encodeName(relative);
    const QString target = platform::joinPath(localPath, localName);
    platform::createFolders(platform::folderOf(target));
    replaceFileStaged(
        target, age,
        [&](const TStagedFile& staged) {
            copyCentralFile(rootFd.get(), onDisk, remoteName, age, listedSize, staged.descriptor);
        },
        executable);
}
