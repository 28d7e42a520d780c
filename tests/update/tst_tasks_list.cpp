#include "platform/errors.h"
#include "update/tasks_list.h"

#include <QCoreApplication>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTest>
#include <QThread>

#include <atomic>
#include <chrono>
#include <thread>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(TTaskStatus)

namespace {

bool inMainThread() {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

// Longer than two poll intervals of the waiter: a waiter that was going to call
// its end procedure wrongly has done so by then.
constexpr int SettleMs = 300;

} // namespace

class TasksListTest : public QObject {
    Q_OBJECT

private slots:
    void endComesAfterEveryTask_data();
    void endComesAfterEveryTask();
    void taskAddedWhileWaitingIsAwaited();
    void taskAddedAfterTheEndIsNotAwaited();
    void endMayReleaseTheList();
    void destructionWaitsForRunningWorkAndDiscardsQueuedWork();
    void taskStatus_data();
    void taskStatus();
    void runWithSender();
};

void TasksListTest::endComesAfterEveryTask_data() {
    QTest::addColumn<int>("taskCount");
    QTest::addColumn<QList<int>>("failing");

    QTest::newRow("no task") << 0 << QList<int>{};
    QTest::newRow("one task") << 1 << QList<int>{};
    QTest::newRow("several tasks") << 8 << QList<int>{};
    QTest::newRow("one of five fails") << 5 << QList<int>{2};
    QTest::newRow("all fail") << 4 << QList<int>{0, 1, 2, 3};
}

void TasksListTest::endComesAfterEveryTask() {
    QFETCH(int, taskCount);
    QFETCH(QList<int>, failing);

    QSemaphore gate;
    std::atomic<int> ended{0};
    int endCalls = 0;
    int endedAtEnd = -1;
    bool endInMainThread = false;

    std::shared_ptr<TTasksList> list = TTasksList::New();
    // A failed check must not leave the list's destruction waiting on the gate.
    const auto openGate = qScopeGuard([&] { gate.release(taskCount); });
    for (int i = 0; i < taskCount; ++i) {
        const bool fails = failing.contains(i);
        // Failing tasks end at once; the others wait until the gate opens.
        list->Run([&gate, &ended, fails] {
            if (fails) {
                ++ended;
                throw platform::EInOutError(u"broken"_s);
            }
            gate.acquire();
            ++ended;
        });
    }
    list->AWait([&] {
        ++endCalls;
        endedAtEnd = ended.load();
        endInMainThread = inMainThread();
    });
    QCOMPARE(endCalls, 0); // AWait never waits itself
    const int blocked = taskCount - static_cast<int>(failing.size());
    if (blocked > 0) {
        QTest::qWait(SettleMs); // the failures have ended by now, the others not
        QCOMPARE(endCalls, 0);
    }
    gate.release(blocked);

    QVERIFY(QTest::qWaitFor([&] { return endCalls > 0; }, 20000));
    QCOMPARE(endedAtEnd, taskCount);
    QVERIFY(endInMainThread);
    QTest::qWait(SettleMs);
    QCOMPARE(endCalls, 1);
}

void TasksListTest::taskAddedWhileWaitingIsAwaited() {
    QSemaphore first;
    QSemaphore second;
    std::atomic<bool> secondDone{false};
    int endCalls = 0;
    bool secondDoneAtEnd = false;

    std::shared_ptr<TTasksList> list = TTasksList::New();
    const auto openGates = qScopeGuard([&] {
        first.release();
        second.release();
    });
    std::shared_ptr<TTask> firstTask = list->Start([&] { first.acquire(); });
    list->AWait([&] {
        ++endCalls;
        secondDoneAtEnd = secondDone.load();
    });
    // The waiter is polling: the first task cannot end before the gate opens.
    list->Run([&] {
        second.acquire();
        secondDone = true;
    });
    first.release();
    QVERIFY(QTest::qWaitFor([&] { return firstTask->Status() == TTaskStatus::Completed; }, 20000));
    QTest::qWait(SettleMs);
    QCOMPARE(endCalls, 0);

    second.release();
    QVERIFY(QTest::qWaitFor([&] { return endCalls > 0; }, 20000));
    QVERIFY(secondDoneAtEnd);
}

void TasksListTest::taskAddedAfterTheEndIsNotAwaited() {
    QSemaphore gate;
    int endCalls = 0;

    std::shared_ptr<TTasksList> list = TTasksList::New();
    const auto openGate = qScopeGuard([&] { gate.release(); });
    list->AWait([&] { ++endCalls; });
    QVERIFY(QTest::qWaitFor([&] { return endCalls > 0; }, 20000));

    std::shared_ptr<TTask> late = list->Start([&] { gate.acquire(); });
    QTest::qWait(SettleMs);
    QCOMPARE(endCalls, 1);
    QCOMPARE(late->Status(), TTaskStatus::Running);
    gate.release();
    list.reset(); // waits for the late task
    QCOMPARE(late->Status(), TTaskStatus::Completed);
}

void TasksListTest::endMayReleaseTheList() {
    auto holder = std::make_shared<std::shared_ptr<TTasksList>>(TTasksList::New());
    std::weak_ptr<TTasksList> weak = *holder;
    auto afterRelease = std::make_shared<int>(0);
    std::atomic<int> ran{0};

    (*holder)->Run([&ran] { ++ran; });
    (*holder)->AWait([holder, afterRelease] {
        holder->reset(); // the last reference: the list goes inside its own end
        // The end procedure's captured state must still be usable here.
        *afterRelease += 1;
    });
    QVERIFY(QTest::qWaitFor([&] { return *afterRelease > 0; }, 20000));
    QVERIFY(weak.expired());
    QCOMPARE(ran.load(), 1);
    QTest::qWait(SettleMs);
    QCOMPARE(*afterRelease, 1);
}

void TasksListTest::destructionWaitsForRunningWorkAndDiscardsQueuedWork() {
    std::shared_ptr<TTasksList> list = TTasksList::New();
    const int running = list->maxThreadCount();
    QSemaphore gate;
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    std::atomic<int> queuedRan{0};

    for (int i = 0; i < running; ++i)
        list->Run([&] {
            ++started;
            gate.acquire();
            ++finished;
        });
    QVERIFY(QTest::qWaitFor([&] { return started.load() == running; }, 20000));

    std::vector<std::shared_ptr<TTask>> queued;
    for (int i = 0; i < 5; ++i)
        queued.push_back(list->Start([&] { ++queuedRan; }));
    for (const auto& task : queued)
        QCOMPARE(task->Status(), TTaskStatus::WaitingToRun);

    // Opens the gate once the destruction has let go of the queued work (or after
    // a generous bound, so that a faulty list fails the checks instead of hanging).
    std::thread opener([&] {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        auto allCancelled = [&] {
            for (const auto& task : queued)
                if (task->Status() != TTaskStatus::Cancelled)
                    return false;
            return true;
        };
        while (!allCancelled() && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        gate.release(running);
    });
    list.reset();
    opener.join();

    QCOMPARE(finished.load(), running); // the destruction waited for the running work
    QCOMPARE(queuedRan.load(), 0);
    for (const auto& task : queued)
        QCOMPARE(task->Status(), TTaskStatus::Cancelled);
}

void TasksListTest::taskStatus_data() {
    QTest::addColumn<bool>("raises");
    QTest::addColumn<TTaskStatus>("status");

    QTest::newRow("returns") << false << TTaskStatus::Completed;
    QTest::newRow("raises") << true << TTaskStatus::Failed;
}

void TasksListTest::taskStatus() {
    QFETCH(bool, raises);
    QFETCH(TTaskStatus, status);

    std::shared_ptr<TTasksList> list = TTasksList::New();
    std::shared_ptr<TTask> task = list->Start([raises] {
        if (raises)
            throw std::runtime_error("no");
    });
    QVERIFY(QTest::qWaitFor([&] { return isEnded(task->Status()); }, 20000));
    QCOMPARE(task->Status(), status);
    QVERIFY(!task->Cancel()); // an ended task stays as it ended
    QCOMPARE(task->Status(), status);
}

void TasksListTest::runWithSender() {
    QObject sender;
    std::atomic<QObject*> seen{nullptr};
    int endCalls = 0;
    std::shared_ptr<TTasksList> list = TTasksList::New();
    list->Run(&sender, [&seen](QObject* s) { seen = s; })->AWait([&] { ++endCalls; });
    QVERIFY(QTest::qWaitFor([&] { return endCalls > 0; }, 20000));
    QCOMPARE(seen.load(), &sender);
}

QTEST_GUILESS_MAIN(TasksListTest)
#include "tst_tasks_list.moc"
