// The guard at the boundary of the HTTP engine's callbacks.

#include "callback_guard.h"

#include <QTest>

#include <new>
#include <stdexcept>

class TestCallbackGuard : public QObject {
    Q_OBJECT

private slots:
    void result_data() {
        QTest::addColumn<int>("thrown"); // 0: nothing, 1: std exception, 2: bad_alloc, 3: not one
        QTest::addColumn<int>("result");
        QTest::newRow("work that ends well gives its own result") << 0 << 7;
        QTest::newRow("a standard exception gives the fallback") << 1 << -1;
        QTest::newRow("out of memory gives the fallback") << 2 << -1;
        QTest::newRow("anything thrown gives the fallback") << 3 << -1;
    }
    void result() {
        QFETCH(int, thrown);
        QFETCH(int, result);
        const auto work = [thrown]() -> int {
            if (thrown == 1)
                throw std::runtime_error("failed");
            if (thrown == 2)
                throw std::bad_alloc();
            if (thrown == 3)
                throw 42;
            return 7;
        };
        static_assert(noexcept(fileserver::guarded(-1, work)));
        QCOMPARE(fileserver::guarded(-1, work), result);
    }

    void voidWorkStopsAtTheThrow() {
        int steps = 0;
        const auto work = [&steps] {
            ++steps;
            throw std::logic_error("stop");
        };
        static_assert(noexcept(fileserver::guarded(work)));
        fileserver::guarded(work);
        QCOMPARE(steps, 1);
        fileserver::guarded([&steps] { steps += 10; });
        QCOMPARE(steps, 11);
    }
};

QTEST_GUILESS_MAIN(TestCallbackGuard)
#include "tst_callback_guard.moc"
