#include "update/files_updater.h"

#include "platform/errors.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "update/folder_source.h"
#include "update/server_source.h"
#include "update/shared_files.h"
#include "update/staged_replace.h"

#include <QSet>

#include <exception>

namespace {

QString messageOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return platform::errorReport(e);
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

} // namespace

TFilesUpdater::TFilesUpdater(const QString& ALocalPath, const QString& ARemotePath,
                             const QString& AURL, TThreadMethod AOnTerminate,
                             TUpdateObserver AObserver, std::unique_ptr<TInstallationLock> ALock)
    : FURL(AURL), FLocalPath(ALocalPath), FRemotePath(ARemotePath),
      FOnTerminate(std::move(AOnTerminate)), FObserver(std::move(AObserver)),
      FLock(std::move(ALock)) {
    // The test is on the untrimmed URL: blanks select the server, which then fails
    // loudly instead of silently using a share.
    if (FURL.isEmpty()) {
        FillRemoteList = [this] {
            FillRemoteListFromFolder();
        };
        UpdateFile = [this](const QString& localName, const TFileInfoDTO& central,
                            bool executable) {
            UpdateFileFromFolder(localName, central, executable);
        };
    } else {
        FillRemoteList = [this] {
            FillRemoteListFromServer();
        };
        UpdateFile = [this](const QString& localName, const TFileInfoDTO& central,
                            bool executable) {
            UpdateFileFromServer(localName, central, executable);
        };
    }
}

std::shared_ptr<IFilesUpdater> TFilesUpdater::New(const QString& ALocalPath,
                                                  const QString& ARemotePath, const QString& AURL,
                                                  TThreadMethod AOnTerminate,
                                                  TUpdateObserver AObserver,
                                                  std::unique_ptr<TInstallationLock> ALock) {
    return std::shared_ptr<TFilesUpdater>(
        new TFilesUpdater(ALocalPath, ARemotePath, AURL, std::move(AOnTerminate),
                          std::move(AObserver), std::move(ALock)));
}

TFilesUpdater::~TFilesUpdater() {
    // Tasks reach this object by plain pointer: the task list goes first, and with
    // it waits for any task still running, before the fields go.
    FTasks.reset();
}

void TFilesUpdater::Execute(const QString& AModuleName, bool AAdditionalFiles) {
    // The keep-alive reference, shared by every copy of the completion closure and
    // given up by the first call of it.
    auto keepAlive = std::make_shared<std::shared_ptr<TFilesUpdater>>(shared_from_this());
    TProc completion = [keepAlive] {
        const std::shared_ptr<TFilesUpdater> self = std::move(*keepAlive);
        if (!self)
            return;
        // Every task has ended: the renames are made durable, then the next run,
        // of this process or another, may go.
        self->SyncFolders();
        self->FLock.reset();
        self->DoTerminate();
        // With no other reference left the updater ends here, after its creator's
        // method has returned.
    };

    try {
        FTasks = TTasksList::New();
        RemoveStagedLeftovers();
        FillLocalList(AModuleName, AAdditionalFiles);
        FRemoteList.clear();
        FillRemoteList();
        ScheduleUpdates(AModuleName);
    } catch (...) {
        FLock.reset();
        keepAlive->reset();
        throw;
    }
    FTasks->AWait(std::move(completion));
}

void TFilesUpdater::DoTerminate() {
    if (FOnTerminate)
        FOnTerminate();
}

void TFilesUpdater::RemoveStagedLeftovers() {
    // Whatever an interrupted run left, stale file or not: with the lock held no
    // other run can be writing one of them now.
    if (!FLock || !FLock->isLocked())
        return;
    removeStagedTemporaries(FLocalPath);
    removeStagedTemporaries(reportFolderOf(FLocalPath));
}

void TFilesUpdater::SyncFolders() {
    // Once per run rather than once per file: a rename is durable once its folder is.
    if (!FReplaced.exchange(false))
        return;
    syncFolder(FLocalPath);
    syncFolder(reportFolderOf(FLocalPath));
}

void TFilesUpdater::FillLocalList(const QString& AModuleName, bool AAdditionalFiles) {
    FLocalList.clear();
    if (!AModuleName.isEmpty())
        AddLocalFile(AModuleName);
    if (AAdditionalFiles)
        for (const QString& name : AdditionalFiles)
            AddLocalFile(name);
}

void TFilesUpdater::AddLocalFile(const QString& AFileName) {
    const QString fullName = platform::joinPath(FLocalPath, AFileName);
    platform::TDateTime age = -1.0;
    if (platform::fileExists(fullName))
        platform::tryReadFileAge(fullName, age);
    FLocalList.append(TFileInfoDTO(AFileName, age));
}

void TFilesUpdater::ScheduleUpdates(const QString& AModuleName) {
    struct Stale {
        QString localName;
        TFileInfoDTO central;
        bool executable;
    };
    const QString moduleKey = AModuleName.isEmpty() ? QString() : platform::fileKey(AModuleName);
    QSet<QString> checked;
    QSet<QString> scheduled; // one task per file: two tasks never write one file
    QList<Stale> stale;
    for (const TFileInfoDTO& local : FLocalList) {
        const QString key = platform::fileKey(local.FileName());
        checked.insert(key);
        const auto central = FRemoteList.constFind(key);
        const bool exists = platform::fileExists(platform::joinPath(FLocalPath, local.FileName()));
        if (central == FRemoteList.constEnd() || scheduled.contains(key))
            continue;
        // Any difference counts, newer local files included: exact comparison.
        if (!exists || local.Age() != central->Age()) {
            scheduled.insert(key);
            stale.append({local.FileName(), *central, key == moduleKey});
        }
    }
    // Told before the first task starts, so an observer knows the total.
    if (FObserver.filesQueued)
        FObserver.filesQueued(static_cast<int>(checked.size()), static_cast<int>(stale.size()));
    for (const Stale& file : stale)
        AddTask(file.localName, file.central, file.executable);
}

void TFilesUpdater::AddTask(const QString& ALocalName, const TFileInfoDTO& ACentral,
                            bool AExecutable) {
    // Runs on a pool thread with its own copies of the name and the descriptor;
    // this object is kept alive by the run's keep-alive reference until every task
    // has ended.
    FTasks->Run([this, ALocalName, ACentral, AExecutable] {
        if (FObserver.fileStarted)
            FObserver.fileStarted(ALocalName);
        try {
            UpdateFile(ALocalName, ACentral, AExecutable);
        } catch (...) {
            if (FObserver.fileFailed)
                FObserver.fileFailed(ALocalName, messageOf(std::current_exception()));
            throw; // the task ends as failed
        }
        FReplaced = true;
        if (FObserver.fileSucceeded)
            FObserver.fileSucceeded(ALocalName);
    });
}

void TFilesUpdater::FillRemoteListFromFolder() {
    fillRemoteListFromFolder(FRemotePath, FRemoteList);
}

void TFilesUpdater::FillRemoteListFromServer() {
    fillRemoteListFromServer(FURL, FRemoteList, FObserver.listingRefused);
}

void TFilesUpdater::UpdateFileFromFolder(const QString& ALocalName, const TFileInfoDTO& ACentral,
                                         bool AExecutable) {
    updateFileFromFolder(FRemotePath, FLocalPath, ALocalName, ACentral.FileName(), ACentral.Age(),
                         AExecutable, ACentral.Size());
}

void TFilesUpdater::UpdateFileFromServer(const QString& ALocalName, const TFileInfoDTO& ACentral,
                                         bool AExecutable) {
    updateFileFromServer(FURL, FLocalPath, ALocalName, ACentral, AExecutable);
}
