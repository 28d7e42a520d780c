#pragma once

#include <QLockFile>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// The lock that lets one update run at a time work on an installation folder,
// whichever process runs it (the launcher, the command, another workstation on a
// shared network folder): a lock file in the folder itself.
//
// A lock left by a process that has died on this machine is taken over at once,
// and so is a lock file that names no holder, or that cannot be read (once its
// maker has had a moment to open it to the group). A holder on another
// machine cannot be asked whether it still lives, so while the lock is held its
// file is touched every refreshInterval, and a lock file that nobody has touched
// for StaleAfter is taken over as well. Any member of the installation folder's
// group may take over a lock another member left: the lock file gets the
// folder's group and is readable and writable by it.
class TInstallationLock {
public:
    static constexpr std::chrono::milliseconds DefaultRefreshInterval{30'000};
    static constexpr std::chrono::milliseconds StaleAfter{10 * 60'000};

    // The lock file's name inside the installation folder.
    static QString fileName();

    explicit TInstallationLock(const QString& installFolder,
                               std::chrono::milliseconds refreshInterval = DefaultRefreshInterval);
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
    void removeIfLeftByAGoneRun() const;
    void removeIfUnreadable(const QByteArray& path) const;
    void shareWithGroup() const;
    void startRefreshing();
    void stopRefreshing();

    QString m_folder;
    QLockFile m_file;
    const std::chrono::milliseconds m_refreshInterval;
    std::mutex m_refreshLock;
    std::condition_variable m_refreshStop;
    bool m_stopping = false;
    std::thread m_refresher;
};
