#include "update/installation_lock.h"

#include "platform/errors.h"
#include "platform/file_descriptor.h"
#include "platform/trace.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSysInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::chrono::milliseconds PollInterval{100};
// Time enough for a holder to open the file it just made to the group.
constexpr std::chrono::milliseconds UnreadableGrace{2'000};

// Whether the lock file open at fd, with status st, looks left by a run that is
// gone: a file that names no holder (a run killed between making and filling
// it), a holder on this machine whose process has ended, or a holder anywhere
// that stopped touching it. Only looks: a maker still filling its file holds the
// flock that the caller tries next.
bool leftByAGoneRun(int fd, const struct stat& st, std::chrono::milliseconds staleAfter) {
    char buffer[512];
    const ssize_t got = ::pread(fd, buffer, sizeof buffer, 0);
    const QList<QByteArray> lines = QByteArray(buffer, std::max<ssize_t>(got, 0)).split('\n');
    bool numeric = false;
    const qint64 pid = lines.value(0).toLongLong(&numeric);
    if (!numeric || pid <= 0)
        return true;
    const QString host = QString::fromUtf8(lines.value(2));
    if ((host.isEmpty() || host == QSysInfo::machineHostName()) &&
        ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
        return true;
    const qint64 touchedMs =
        static_cast<qint64>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1'000'000;
    return std::abs(QDateTime::currentMSecsSinceEpoch() - touchedMs) > staleAfter.count();
}

} // namespace

QString TInstallationLock::fileName() {
    return QStringLiteral(".quorvia-update.lock");
}

TInstallationLock::TInstallationLock(const QString& installFolder,
                                     std::chrono::milliseconds refreshInterval)
    : m_folder(installFolder), m_file(QDir(installFolder).filePath(fileName())),
      m_refreshInterval(refreshInterval) {
    // A run lasts as long as its files take: the holder keeps the file's time
    // fresh, so only a holder that stopped doing so, long ago, makes it stale.
    m_file.setStaleLockTime(static_cast<int>(StaleAfter.count()));
}

TInstallationLock::~TInstallationLock() {
    unlock();
}

bool TInstallationLock::tryLock() {
    return lock(0);
}

bool TInstallationLock::lock(int waitMs) {
    if (m_file.isLocked())
        return true;
    const QDeadlineTimer deadline(waitMs < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(waitMs));
    for (;;) {
        removeIfLeftByAGoneRun();
        if (m_file.tryLock(0)) {
            shareWithGroup();
            startRefreshing();
            return true;
        }
        throwIfUnusable();
        if (deadline.hasExpired())
            return false;
        std::this_thread::sleep_for(
            std::min(PollInterval, std::chrono::milliseconds(deadline.remainingTime())));
    }
}

// The takeover of a gone run's lock, for any member of the installation's group:
// it needs no more than the right to remove a name from the folder, whoever made
// the file and with whatever bits. A live holder keeps an exclusive flock on its
// file from the moment it creates it, so while the flock is granted here nobody
// holds the file; the name is checked to be that same file before it goes.
void TInstallationLock::removeIfLeftByAGoneRun() const {
    const QByteArray path = QFile::encodeName(m_file.fileName());
    // Read-write where allowed: network file systems lock a whole file only
    // through a descriptor open for writing.
    platform::FileDescriptor fd(
        ::open(path.constData(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() && errno == EACCES)
        fd = platform::FileDescriptor(
            ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == EACCES)
            removeIfUnreadable(path);
        return;
    }
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
        !leftByAGoneRun(fd.get(), opened, StaleAfter))
        return;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return; // held after all: its holder is alive
    struct stat named {};
    if (::lstat(path.constData(), &named) != 0 || named.st_dev != opened.st_dev ||
        named.st_ino != opened.st_ino)
        return; // already taken over and made anew by someone else
    if (::unlink(path.constData()) == 0)
        platform::traceLine(
            QStringLiteral("Took over the lock of a run that is gone: %1").arg(m_file.fileName()));
}

// A lock file this run may not read names no holder to wait for. A holder of
// ours opens its file to the group right after making it, so only a file that
// has stayed unreadable since that moment went by is taken for a gone run's.
void TInstallationLock::removeIfUnreadable(const QByteArray& path) const {
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    const qint64 changedMs =
        static_cast<qint64>(st.st_ctim.tv_sec) * 1000 + st.st_ctim.tv_nsec / 1'000'000;
    if (std::abs(QDateTime::currentMSecsSinceEpoch() - changedMs) < UnreadableGrace.count())
        return;
    if (::unlink(path.constData()) == 0)
        platform::traceLine(
            QStringLiteral("Removed an unreadable lock file: %1").arg(m_file.fileName()));
}

// The lock file is one the next run must be able to read and take over, whoever
// it is among the installation's group: the folder's group and read-write for
// the group, whatever the umask.
void TInstallationLock::shareWithGroup() const {
    const QByteArray path = QFile::encodeName(m_file.fileName());
    const platform::FileDescriptor fd(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    const platform::FileDescriptor folder(
        ::open(QFile::encodeName(m_folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat own {};
    struct stat above {};
    if (!fd.valid() || !folder.valid() || ::fstat(fd.get(), &own) != 0 ||
        ::fstat(folder.get(), &above) != 0)
        return;
    if (own.st_gid != above.st_gid && ::fchown(fd.get(), static_cast<uid_t>(-1), above.st_gid) != 0)
        platform::traceLine(QStringLiteral("Cannot give the lock file the folder's group: %1")
                                .arg(platform::systemErrorMessage(errno)));
    if (::fchmod(fd.get(), 0664) != 0)
        platform::traceLine(QStringLiteral("Cannot open the lock file to the group: %1")
                                .arg(platform::systemErrorMessage(errno)));
}

void TInstallationLock::unlock() {
    stopRefreshing();
    m_file.unlock();
}

void TInstallationLock::startRefreshing() {
    m_stopping = false;
    const QByteArray path = QFile::encodeName(QDir(m_folder).filePath(fileName()));
    m_refresher = std::thread([this, path] {
        std::unique_lock guard(m_refreshLock);
        while (!m_refreshStop.wait_for(guard, m_refreshInterval, [this] { return m_stopping; }))
            ::utimensat(AT_FDCWD, path.constData(), nullptr, 0); // now
    });
}

void TInstallationLock::stopRefreshing() {
    if (!m_refresher.joinable())
        return;
    {
        const std::lock_guard guard(m_refreshLock);
        m_stopping = true;
    }
    m_refreshStop.notify_all();
    m_refresher.join();
}

void TInstallationLock::throwIfUnusable() const {
    switch (m_file.error()) {
    case QLockFile::NoError:
    case QLockFile::LockFailedError:
        return;
    case QLockFile::PermissionError:
        throw platform::EInOutError(
            QStringLiteral("Cannot create the lock file in %1: access denied").arg(m_folder));
    case QLockFile::UnknownError:
        break;
    }
    throw platform::EInOutError(QStringLiteral("Cannot create the lock file in %1").arg(m_folder));
}

QString TInstallationLock::holderDescription() const {
    qint64 pid = 0;
    QString host;
    QString application;
    if (!m_file.getLockInfo(&pid, &host, &application))
        return QString();
    return QStringLiteral("process %1 on host %2")
        .arg(pid)
        .arg(host.isEmpty() ? QStringLiteral("?") : host);
}
