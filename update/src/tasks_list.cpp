#include "update/tasks_list.h"

#include <QCoreApplication>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// Every task end is announced here, so that a waiter wakes as soon as any task it
// watches has ended instead of sleeping out its whole poll interval. Never freed:
// a detached waiter may still use it while the process exits.
struct EndSignal {
    std::mutex lock;
    std::condition_variable changed;
};

EndSignal& endSignal() {
    static auto* const signal = new EndSignal;
    return *signal;
}

void announceEnd() {
    EndSignal& signal = endSignal();
    { const std::lock_guard guard(signal.lock); }
    signal.changed.notify_all();
}

constexpr std::chrono::milliseconds PollInterval{100};
constexpr int ThreadsPerProcessor = 25;

} // namespace

bool isEnded(TTaskStatus status) {
    return status == TTaskStatus::Completed || status == TTaskStatus::Cancelled ||
           status == TTaskStatus::Failed;
}

std::shared_ptr<TTask> TTask::Create(TProc proc) {
    return std::shared_ptr<TTask>(new TTask(std::move(proc)));
}

void TTask::Start(QThreadPool& pool) {
    auto expected = TTaskStatus::Created;
    if (!FStatus.compare_exchange_strong(expected, TTaskStatus::WaitingToRun))
        return;
    pool.start([self = shared_from_this()] { self->Execute(); });
}

bool TTask::Cancel() {
    for (auto from : {TTaskStatus::Created, TTaskStatus::WaitingToRun}) {
        auto expected = from;
        if (FStatus.compare_exchange_strong(expected, TTaskStatus::Cancelled)) {
            announceEnd();
            return true;
        }
    }
    return false;
}

void TTask::Execute() {
    auto expected = TTaskStatus::WaitingToRun;
    if (!FStatus.compare_exchange_strong(expected, TTaskStatus::Running))
        return; // cancelled while queued
    // The captured state goes with the run, not with the task object.
    const TProc proc = std::move(FProc);
    FProc = nullptr;
    try {
        if (proc)
            proc();
    } catch (...) {
        Finish(TTaskStatus::Failed);
        return;
    }
    Finish(TTaskStatus::Completed);
}

void TTask::Finish(TTaskStatus status) {
    FStatus.store(status);
    announceEnd();
}

bool TTask::WaitForAny(const std::vector<std::shared_ptr<ITask>>& tasks,
                       std::chrono::milliseconds timeout) {
    EndSignal& signal = endSignal();
    std::unique_lock lock(signal.lock);
    return signal.changed.wait_for(lock, timeout, [&] {
        return std::any_of(tasks.begin(), tasks.end(),
                           [](const auto& task) { return task && isEnded(task->Status()); });
    });
}

// What the list shares with its waiter thread.
struct TTasksList::State {
    std::mutex lock;
    std::vector<std::shared_ptr<ITask>> entries; // an ended entry is cleared in place
    TProc end;
};

namespace {

// The waiter body: passes over the entries, clearing ended ones, until a pass finds
// nothing pending. Never holds the lock while waiting.
void waitAll(TTasksList::State& state) {
    try {
        for (;;) {
            std::vector<std::shared_ptr<ITask>> pending;
            {
                const std::lock_guard guard(state.lock);
                for (auto& entry : state.entries) {
                    if (!entry)
                        continue;
                    if (isEnded(entry->Status()))
                        entry.reset();
                    else
                        pending.push_back(entry);
                }
            }
            if (pending.empty())
                return;
            TTask::WaitForAny(pending, PollInterval);
        }
    } catch (...) {
        // A failing pass ends the waiting; the end procedure is still called.
    }
}

// Runs the stored end procedure once in the main thread and returns only when it
// has returned. The procedure is moved into this call's frame first: it may
// destroy the list (and so the stored copy) while it runs.
void handOverEnd(const std::shared_ptr<TTasksList::State>& state) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    QMetaObject::invokeMethod(
        app,
        [state] {
            TProc end;
            {
                const std::lock_guard guard(state->lock);
                end = std::exchange(state->end, TProc());
            }
            if (end)
                end();
        },
        Qt::BlockingQueuedConnection);
}

} // namespace

TTasksList::TTasksList()
    : FThreadPool(std::make_unique<QThreadPool>()), FState(std::make_shared<State>()) {
    FThreadPool->setMaxThreadCount(ThreadsPerProcessor * QThread::idealThreadCount());
}

std::shared_ptr<TTasksList> TTasksList::New() {
    return std::shared_ptr<TTasksList>(new TTasksList());
}

TTasksList::~TTasksList() {
    std::vector<std::shared_ptr<ITask>> listed;
    {
        const std::lock_guard guard(FState->lock);
        listed.swap(FState->entries);
    }
    // Queued work must never start: cancel it before the pool lets go of it.
    for (const auto& entry : listed)
        if (auto task = std::dynamic_pointer_cast<TTask>(entry))
            task->Cancel();
    listed.clear();
    FThreadPool->clear();
    FThreadPool->waitForDone();
    FThreadPool.reset();
    TProc end;
    {
        const std::lock_guard guard(FState->lock);
        end = std::exchange(FState->end, TProc());
    }
}

std::shared_ptr<TTask> TTasksList::Start(TProc AFunc) {
    auto task = TTask::Create(std::move(AFunc));
    task->Start(*FThreadPool);
    Add(task);
    return task;
}

std::shared_ptr<ITasks> TTasksList::Run(TProc AFunc) {
    Start(std::move(AFunc));
    return shared_from_this();
}

std::shared_ptr<ITasks> TTasksList::Run(QObject* ASender, TNotifyEvent AEvent) {
    return Run([ASender, AEvent = std::move(AEvent)] {
        if (AEvent)
            AEvent(ASender);
    });
}

std::shared_ptr<ITasks> TTasksList::Add(std::shared_ptr<ITask> ATask) {
    if (ATask) {
        const std::lock_guard guard(FState->lock);
        if (std::find(FState->entries.begin(), FState->entries.end(), ATask) ==
            FState->entries.end())
            FState->entries.push_back(std::move(ATask));
    }
    return shared_from_this();
}

std::shared_ptr<ITasks> TTasksList::AWait(TProc AEnd) {
    {
        const std::lock_guard guard(FState->lock);
        FState->end = std::move(AEnd);
    }
    // The waiter owns a share of the state only; it never touches the list.
    std::thread([state = FState] {
        waitAll(*state);
        handOverEnd(state);
    }).detach();
    return shared_from_this();
}

int TTasksList::maxThreadCount() const {
    return FThreadPool->maxThreadCount();
}
