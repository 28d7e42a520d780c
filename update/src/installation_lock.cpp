#include "update/installation_lock.h"

#include "platform/errors.h"

#include <QDir>

QString TInstallationLock::fileName() { return QStringLiteral(".quorvia-update.lock"); }

TInstallationLock::TInstallationLock(const QString& installFolder)
    : m_folder(installFolder), m_file(QDir(installFolder).filePath(fileName())) {
    // A run lasts as long as its files take, minutes on a slow network: the lock's
    // age says nothing about its holder. Only a holder that is gone makes it stale.
    m_file.setStaleLockTime(0);
}

TInstallationLock::~TInstallationLock() = default; // QLockFile unlocks

bool TInstallationLock::tryLock() { return lock(0); }

bool TInstallationLock::lock(int waitMs) {
    if (m_file.tryLock(waitMs))
        return true;
    throwIfUnusable();
    return false;
}

void TInstallationLock::unlock() { m_file.unlock(); }

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
    return QStringLiteral("process %1 on host %2").arg(pid).arg(host.isEmpty() ? QStringLiteral("?") : host);
}
