#include "fileserver/rest_clients.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "raw_http_server.h"
#include "running_file_server.h"
#include "update/files_updater.h"
#include "update/server_source.h"
#include "update/shared_files.h"
#include "update/staged_replace.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTest>

#include "test_files.h"

#include <mutex>

using namespace Qt::StringLiterals;
using platform::encodeDateTime;
using platform::TDateTime;
using test_files::ageOf;
using test_files::readFile;
using test_files::writeFile;

namespace {

// The installation folder and the central copy behind a running file server.
struct Installation {
    QTemporaryDir dir;
    QString local = dir.filePath(u"local"_s);
    QString central = dir.filePath(u"central"_s);
    std::unique_ptr<RunningFileServer> server;

    Installation() {
        QDir().mkpath(local + u"/Relatorio"_s);
        QDir().mkpath(central);
    }
    void centralFile(const QString& name, const QByteArray& content, TDateTime age) {
        writeFile(central + u'/' + name, content, age);
    }
    QString url() {
        if (!server)
            server = std::make_unique<RunningFileServer>(central);
        return server->url();
    }
};

struct RunOutcome {
    int checked = -1;
    int queued = -1;
    QStringList fetched;
    QStringList failed;
    bool completed = false;
};

// One update run from the server through the files updater, waited for.
RunOutcome runUpdate(const QString& local, const QString& url, const QString& module,
                     bool sharedFiles) {
    RunOutcome outcome;
    std::mutex mutex;
    QEventLoop loop;
    TUpdateObserver observer;
    observer.filesQueued = [&](int checked, int queued) {
        outcome.checked = checked;
        outcome.queued = queued;
    };
    observer.fileSucceeded = [&](const QString& name) {
        const std::lock_guard lock(mutex);
        outcome.fetched << name;
    };
    observer.fileFailed = [&](const QString& name, const QString& message) {
        const std::lock_guard lock(mutex);
        outcome.failed << name + u": "_s + message;
    };
    auto updater = TFilesUpdater::New(
        local + u'/', QString(), url,
        [&] {
            outcome.completed = true;
            loop.quit();
        },
        observer);
    updater->Execute(module, sharedFiles);
    updater.reset(); // as the update cycle does: the run keeps itself alive
    if (!outcome.completed)
        loop.exec();
    outcome.fetched.sort();
    return outcome;
}

const TDateTime ageA = encodeDateTime(2022, 6, 23, 75'025'123);
const TDateTime ageB = encodeDateTime(2021, 2, 3, 4'005'006);

} // namespace

class TestServerSource : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(u"quorvia.trace.debug=false"_s); }

    void coldRefreshThenNothingToFetch() {
        Installation inst;
        const QString shared = AdditionalFiles[0];
        inst.centralFile(u"Appointments.exe"_s, "MZ app", ageA);
        inst.centralFile(shared, "[shared]", ageB);
        inst.centralFile(u"Relatorio/RelAppointments.rav"_s, "report", ageB);
        inst.centralFile(u"Unrelated.exe"_s, "not asked for", ageA);

        const RunOutcome cold = runUpdate(inst.local, inst.url(), u"Appointments.exe"_s, true);
        QVERIFY(cold.completed);
        QCOMPARE(cold.failed, QStringList{});
        QVERIFY(cold.fetched.contains(u"Appointments.exe"_s));
        QVERIFY(cold.fetched.contains(shared));
        QCOMPARE(readFile(inst.local + u"/Appointments.exe"_s), QByteArray("MZ app"));
        QCOMPARE(ageOf(inst.local + u"/Appointments.exe"_s), ageA);
        QCOMPARE(readFile(inst.local + u'/' + shared), QByteArray("[shared]"));
        QCOMPARE(ageOf(inst.local + u'/' + shared), ageB);
        QVERIFY(!QFile::exists(inst.local + u"/Unrelated.exe"_s));
        // The module is new locally: it gets the execute bits so it can be started.
        QVERIFY(QFileInfo(inst.local + u"/Appointments.exe"_s).isExecutable());

        const RunOutcome warm = runUpdate(inst.local, inst.url(), u"Appointments.exe"_s, true);
        QVERIFY(warm.completed);
        QCOMPARE(warm.queued, 0);
        QCOMPARE(warm.fetched, QStringList{});
        QCOMPARE(warm.failed, QStringList{});
    }

    void staleFileIsReplacedUnderItsLocalName() {
        Installation inst;
        inst.centralFile(u"Appointments.exe"_s, "MZ new", ageA);
        // The local copy differs in letter case and is one millisecond off.
        writeFile(inst.local + u"/appointments.EXE"_s, "MZ old", ageA - 1.0 / 86'400'000.0);
        const RunOutcome run = runUpdate(inst.local, inst.url(), u"appointments.EXE"_s, false);
        QCOMPARE(run.failed, QStringList{});
        QCOMPARE(run.fetched, QStringList{u"appointments.EXE"_s});
        QCOMPARE(readFile(inst.local + u"/appointments.EXE"_s), QByteArray("MZ new"));
        QCOMPARE(ageOf(inst.local + u"/appointments.EXE"_s), ageA);
        QVERIFY(!QFile::exists(inst.local + u"/Appointments.exe"_s));
    }

    void failedDownloadKeepsTheOldFile() {
        Installation inst;
        const QString target = inst.local + u"/Gone.exe"_s;
        writeFile(target, "MZ working", ageB);
        const QString url = inst.url(); // the central copy no longer has the file
        try {
            updateFileFromServer(url, inst.local + u'/', u"Gone.exe"_s,
                                 TFileInfoDTO(u"Gone.exe"_s, ageA), false);
            QFAIL("the update should have failed");
        } catch (const platform::Exception& e) {
            QVERIFY2(e.message().contains(u"404"_s), qPrintable(e.message()));
        }
        QCOMPARE(readFile(target), QByteArray("MZ working"));
        QCOMPARE(ageOf(target), ageB);
        QCOMPARE(stagedTemporariesOf(target), QStringList());
    }

    void failedFileFailsAloneInARun() {
        Installation inst;
        const QString shared = AdditionalFiles[0];
        inst.centralFile(u"Appointments.exe"_s, "MZ app", ageA);
        inst.centralFile(shared, "[shared]", ageB);
        // The local installation has a folder where the module should be.
        QDir().mkpath(inst.local + u"/Appointments.exe/inside"_s);
        const RunOutcome run = runUpdate(inst.local, inst.url(), u"Appointments.exe"_s, true);
        QVERIFY(run.completed);
        QCOMPARE(run.failed.size(), 1);
        QVERIFY(run.failed[0].startsWith(u"Appointments.exe: "_s));
        QCOMPARE(readFile(inst.local + u'/' + shared), QByteArray("[shared]"));
    }

    void remoteListFromServer() {
        Installation inst;
        inst.centralFile(u"Appointments.exe"_s, "a", ageA);
        inst.centralFile(u"Relatorio/RelAppointments.rav"_s, "r", ageB);
        TRemoteList list;
        fillRemoteListFromServer(inst.url(), list);
        QCOMPARE(list.size(), 2);
        const TFileInfoDTO rel = list.value(platform::fileKey(u"relatorio\\relappointments.rav"_s));
        QCOMPARE(rel.FileName(), u"Relatorio\\RelAppointments.rav"_s);
        QCOMPARE(rel.Age(), ageB);
        QCOMPARE(list.value(platform::fileKey(u"APPOINTMENTS.EXE"_s)).Age(), ageA);
    }

    // One stray name must not stop every workstation: the later one wins.
    void remoteListWithCaseTwinsKeepsTheLater() {
        Installation inst;
        inst.centralFile(u"Appointments.exe"_s, "a", ageA);
        inst.centralFile(u"APPOINTMENTS.EXE"_s, "b", ageB);
        TRemoteList list;
        fillRemoteListFromServer(inst.url(), list);
        QCOMPARE(list.size(), 1);
        const TFileInfoDTO kept = list.value(platform::fileKey(u"appointments.exe"_s));
        QCOMPARE(kept.FileName(), u"Appointments.exe"_s); // ordinally after "APPOINTMENTS.EXE"
        QCOMPARE(kept.Age(), ageA);
    }

    void remoteListFromErrorAnswers_data() {
        QTest::addColumn<QByteArray>("statusLine");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error"); // empty: an empty list, no error
        QTest::newRow("error body without status")
            << QByteArray("HTTP/1.1 404 Not Found") << QByteArray(R"({"error":"none"})")
            << QString();
        QTest::newRow("error body with status")
            << QByteArray("HTTP/1.1 404 Not Found") << QByteArray(R"({"status":404})") << QString();
        QTest::newRow("server failure") << QByteArray("HTTP/1.1 503 Service Unavailable")
                                        << QByteArray() << u"HTTP/1.1 503 Service Unavailable"_s;
        QTest::newRow("HTML error page")
            << QByteArray("HTTP/1.1 404 Not Found") << QByteArray("<html></html>")
            << u"The input value is not a valid Object"_s;
    }
    void remoteListFromErrorAnswers() {
        QFETCH(QByteArray, statusLine);
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        RawHttpServer server([&](const RawHttpServer::Request&) {
            return RawHttpServer::reply(statusLine, body, "application/json");
        });
        TRemoteList list;
        try {
            fillRemoteListFromServer(QString::fromLatin1(server.baseUrl()), list);
            QVERIFY2(error.isEmpty(), "an error was expected");
        } catch (const platform::Exception& e) {
            QCOMPARE(e.message(), error);
        }
        QCOMPARE(list.size(), 0);
    }

    void unreachableServerFailsTheListing() {
        TRemoteList list;
        const QString url = u"http://127.0.0.1:"_s + QString::number(unusedLoopbackPort());
        QVERIFY_THROWS_EXCEPTION(ERESTException, fillRemoteListFromServer(url, list));
    }
};

QTEST_GUILESS_MAIN(TestServerSource)
#include "tst_server_source.moc"
