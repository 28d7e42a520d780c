#pragma once

#include <QObject>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

class QThreadPool;

// A parameterless procedure that may capture values; empty is allowed.
using TProc = std::function<void()>;
// A method of an object taking the sender.
using TNotifyEvent = std::function<void(QObject* sender)>;

enum class TTaskStatus {
    Created,
    WaitingToRun,
    Running,
    Completed,
    WaitingForChildren,
    Cancelled,
    Failed
};

// True for the statuses after which a task never runs again.
bool isEnded(TTaskStatus status);

// One piece of work with a status that any thread may read.
class ITask {
public:
    virtual ~ITask() = default;
    virtual TTaskStatus Status() const = 0;
};

// A task that runs its procedure once on a given pool. An exception thrown by the
// procedure ends the task as failed (TTaskStatus::Failed) and goes no further.
class TTask final : public ITask, public std::enable_shared_from_this<TTask> {
public:
    static std::shared_ptr<TTask> Create(TProc proc);

    TTaskStatus Status() const override { return FStatus.load(); }

    // Queues the task on pool. A task starts once; later calls do nothing.
    void Start(QThreadPool& pool);
    // Marks a task that has not started running as cancelled, so that it never
    // runs. Returns false when it was running or had ended already.
    bool Cancel();

    // Waits until one of tasks has ended or timeout has passed, whichever comes
    // first. True when one has ended. Works for every ITask; only TTask wakes it
    // early, other kinds are seen when the time is up.
    static bool WaitForAny(const std::vector<std::shared_ptr<ITask>>& tasks,
                           std::chrono::milliseconds timeout);

private:
    explicit TTask(TProc proc) : FProc(std::move(proc)) {}
    void Execute();
    void Finish(TTaskStatus status);

    TProc FProc;
    std::atomic<TTaskStatus> FStatus{TTaskStatus::Created};
};

class ITasks {
public:
    virtual ~ITasks() = default;
    // Each returns the list itself, so calls can be chained.
    virtual std::shared_ptr<ITasks> Run(TProc AFunc) = 0;
    virtual std::shared_ptr<ITasks> Run(QObject* ASender, TNotifyEvent AEvent) = 0;
    virtual std::shared_ptr<ITasks> Add(std::shared_ptr<ITask> ATask) = 0;
    // Returns at once; a waiter thread waits for every listed task, then AEnd runs
    // in the main thread (the application's event loop must be running).
    virtual std::shared_ptr<ITasks> AWait(TProc AEnd) = 0;
};

// Runs tasks on a pool of its own and, on request, calls an end procedure in the
// main thread once all of them have ended.
//
// The waiter thread shares only the guarded entries and the end procedure with
// the list, never the list itself, so the end procedure may drop the last
// reference to the list. Destroying the list releases every entry, waits for the
// running work, discards queued work and drops the stored end procedure (a waiter
// still polling at that moment then ends without calling anything).
class TTasksList final : public ITasks, public std::enable_shared_from_this<TTasksList> {
public:
    static std::shared_ptr<TTasksList> New();
    ~TTasksList() override;

    TTasksList(const TTasksList&) = delete;
    TTasksList& operator=(const TTasksList&) = delete;

    std::shared_ptr<ITasks> Run(TProc AFunc) override;
    std::shared_ptr<ITasks> Run(QObject* ASender, TNotifyEvent AEvent) override;
    std::shared_ptr<ITasks> Add(std::shared_ptr<ITask> ATask) override;
    std::shared_ptr<ITasks> AWait(TProc AEnd) override;

    // Run that hands back the task it started, for callers that watch it.
    std::shared_ptr<TTask> Start(TProc AFunc);

    // The most worker threads the private pool uses at once.
    int maxThreadCount() const;

    struct State;

private:
    TTasksList();

    std::unique_ptr<QThreadPool> FThreadPool;
    std::shared_ptr<State> FState;
};
