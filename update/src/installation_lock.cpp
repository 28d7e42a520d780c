#include "update/installation_lock.h"

#include "platform/errors.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>

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
    if (m_file.tryLock(waitMs)) {
        startRefreshing();
        return true;
    }
    throwIfUnusable();
    return false;
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
