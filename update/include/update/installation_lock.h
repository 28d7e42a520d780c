#pragma once

#include <QLockFile>
#include <QString>

// The lock that lets one update run at a time work on an installation folder,
// whichever process runs it (the launcher, the command, another workstation on a
// shared network folder): a lock file in the folder itself. A lock left by a
// process that has died on this machine is recognised as stale and taken over.
class TInstallationLock {
public:
    // The lock file's name inside the installation folder.
    static QString fileName();

    explicit TInstallationLock(const QString& installFolder);
    ~TInstallationLock(); // releases the lock if held

    TInstallationLock(const TInstallationLock&) = delete;
    TInstallationLock& operator=(const TInstallationLock&) = delete;

    // Takes the lock if it is free, without waiting. Returns false while another
    // run holds it; throws EInOutError when the lock file cannot be created at all
    // (a missing folder, access denied).
    bool tryLock();
    // The same, waiting up to waitMs milliseconds for the holder to let go.
    bool lock(int waitMs);

    bool isLocked() const { return m_file.isLocked(); }
    void unlock();

    const QString& folder() const { return m_folder; }
    // Who holds the lock now, "process 1234 on host ward-3", or an empty string
    // when that cannot be read (the lock was released meanwhile).
    QString holderDescription() const;

private:
    void throwIfUnusable() const;

    QString m_folder;
    QLockFile m_file;
};
