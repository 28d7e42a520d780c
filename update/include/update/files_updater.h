#pragma once

#include "fileserver/file_info_dto.h"
#include "fileserver/file_info_error_dto.h"
#include "platform/datetime.h"
#include "update/installation_lock.h"
#include "update/remote_list.h"
#include "update/tasks_list.h"

#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

// The creator's completion method: called at most once per run, in the main
// thread, after every task of the run has ended.
using TThreadMethod = std::function<void()>;

// Optional progress of a run. Every member may be left empty.
struct TUpdateObserver {
    // Main thread, at the end of Execute, just before the first task is queued:
    // distinct local files compared and files to fetch (each file at most once).
    std::function<void(int checked, int queued)> filesQueued;
    // Pool threads, concurrently (the receiver must be thread-safe): one file's
    // task started, succeeded or failed. Every call of a run comes before its
    // completion method.
    std::function<void(const QString& fileName)> fileStarted;
    std::function<void(const QString& fileName)> fileSucceeded;
    std::function<void(const QString& fileName, const QString& message)> fileFailed;
    // Main thread, during Execute: the file server answered the listing with an
    // error record instead of files; the run goes on with an empty central list.
    std::function<void(const TFileInfoErrorDTO& record)> listingRefused;
};

class IFilesUpdater {
public:
    virtual ~IFilesUpdater() = default;
    // Starts one run: builds both lists in the caller's thread, queues one task per
    // stale file and returns. Throws when the run cannot be prepared; then no
    // completion follows.
    virtual void Execute(const QString& AModuleName, bool AAdditionalFiles) = 0;
};

// Makes a set of local files equal to the central copy (a share folder, or the
// file server when a URL is given), each stale file fetched by its own task.
class TFilesUpdater final : public IFilesUpdater,
                            public std::enable_shared_from_this<TFilesUpdater> {
public:
    // ALock, when given, is the installation's lock, already held: the run keeps it
    // until every task has ended (released just before the completion method, or
    // when Execute fails), and, holding it, first removes the staged leftovers of
    // interrupted runs from the installation folder and its report folder.
    static std::shared_ptr<IFilesUpdater> New(const QString& ALocalPath, const QString& ARemotePath,
                                              const QString& AURL, TThreadMethod AOnTerminate,
                                              TUpdateObserver AObserver = {},
                                              std::unique_ptr<TInstallationLock> ALock = {});
    ~TFilesUpdater() override;

    TFilesUpdater(const TFilesUpdater&) = delete;
    TFilesUpdater& operator=(const TFilesUpdater&) = delete;

    void Execute(const QString& AModuleName, bool AAdditionalFiles) override;

    // The local descriptors of the last run, in the order they were added.
    const QList<TFileInfoDTO>& LocalList() const { return FLocalList; }

private:
    TFilesUpdater(const QString& ALocalPath, const QString& ARemotePath, const QString& AURL,
                  TThreadMethod AOnTerminate, TUpdateObserver AObserver,
                  std::unique_ptr<TInstallationLock> ALock);

    // The two operations of a source, bound once in the constructor.
    using TFillRemoteList = std::function<void()>;
    using TUpdateFile = std::function<void(const QString& ALocalName, const TFileInfoDTO& ACentral,
                                           bool AExecutable)>;

    void DoTerminate();
    void RemoveStagedLeftovers();
    void FillLocalList(const QString& AModuleName, bool AAdditionalFiles);
    void AddLocalFile(const QString& AFileName);
    void ScheduleUpdates(const QString& AModuleName);
    void AddTask(const QString& ALocalName, const TFileInfoDTO& ACentral, bool AExecutable);
    void SyncFolders();

    void FillRemoteListFromFolder();
    void FillRemoteListFromServer();
    void UpdateFileFromFolder(const QString& ALocalName, const TFileInfoDTO& ACentral,
                              bool AExecutable);
    void UpdateFileFromServer(const QString& ALocalName, const TFileInfoDTO& ACentral,
                              bool AExecutable);

    const QString FURL;
    const QString FLocalPath;
    const QString FRemotePath;
    QList<TFileInfoDTO> FLocalList;
    TRemoteList FRemoteList;
    TUpdateFile UpdateFile;
    TFillRemoteList FillRemoteList;
    const TThreadMethod FOnTerminate;
    const TUpdateObserver FObserver;
    std::shared_ptr<ITasks> FTasks;
    std::unique_ptr<TInstallationLock> FLock;
    std::atomic<bool> FReplaced{false}; // some task of this run renamed a file into place
};
