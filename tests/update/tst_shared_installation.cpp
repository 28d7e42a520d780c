#include "update_fixtures.h"

#include "update/installation_lock.h"
#include "update/staged_replace.h"

#include <QDirIterator>
#include <QHostInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSysInfo>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include "raw_http_server.h"

#include <csignal>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using fixtures::centralAge;
using fixtures::readFile;
using fixtures::writeFile;

namespace {

constexpr qsizetype CentralSize = 48 * 1024 * 1024;
constexpr int WaitMs = 30'000;

const platform::TDateTime OldAge = platform::encodeDateTime(2019, 4, 5, 6'007'008);

// Content that no prefix or shift of itself matches: a half-written copy never
// passes for the whole.
QByteArray centralContent() {
    QByteArray content(CentralSize, Qt::Uninitialized);
    quint32 state = 2463534242u;
    for (qsizetype i = 0; i < content.size(); ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        content[i] = char(state & 0xff);
    }
    return content;
}

int modeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// Every staged temporary anywhere below folder.
QStringList temporariesBelow(const QString& folder) {
    QStringList found;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (isStagedTemporaryName(it.fileName()))
            found.append(path);
    }
    return found;
}

// A program of the build run as a separate process, read line by line.
class Child {
public:
    Child(const QString& program, const QStringList& arguments) {
        m_process.start(program, arguments);
        if (!m_process.waitForStarted())
            qFatal("cannot start %s", qPrintable(program));
    }
    ~Child() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Waits for a line of standard output that starts with prefix; returns it.
    QString waitForLine(const QString& prefix) {
        for (;;) {
            while (m_process.canReadLine()) {
                const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
                m_lines.append(line);
                if (line.startsWith(prefix))
                    return line;
            }
            if (!m_process.waitForReadyRead(WaitMs))
                return QString();
        }
    }
    void killHard() {
        ::kill(pid_t(m_process.processId()), SIGKILL);
        m_process.waitForFinished(); // reaped: no zombie keeps the lock looking alive
    }
    bool running() const { return m_process.state() == QProcess::Running; }
    bool finish() { return m_process.waitForFinished(60'000); }
    int exitCode() const {
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    QString out() {
        return m_lines.join(u'\n') + QString::fromUtf8(m_process.readAllStandardOutput());
    }
    QString err() { return QString::fromUtf8(m_process.readAllStandardError()); }
    qint64 pid() const { return m_process.processId(); }
    void write(const QByteArray& data) {
        m_process.write(data);
        m_process.waitForBytesWritten();
    }

private:
    QProcess m_process;
    QStringList m_lines;
};

QString helperBinary() {
    return QStringLiteral(UPDATE_RUN_HELPER_BINARY);
}
QString updateBinary() {
    return QStringLiteral(QUORVIA_UPDATE_BINARY);
}

// The real file server on the central folder, on a free loopback port.
class FileServerProcess {
public:
    explicit FileServerProcess(const QString& root) {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral(QUORVIA_FILESERVER_BINARY),
                        {u"--root"_s, root, u"--listen"_s, u"127.0.0.1:0"_s});
        m_process.waitForStarted();
        const QRegularExpression address(uR"(http://127\.0\.0\.1:\d+)"_s);
        QString banner;
        while (!address.match(banner).hasMatch() && m_process.waitForReadyRead(WaitMs))
            banner += QString::fromUtf8(m_process.readAll());
        m_url = address.match(banner).captured();
    }
    ~FileServerProcess() {
        m_process.terminate();
        m_process.waitForFinished();
    }
    FileServerProcess(const FileServerProcess&) = delete;
    FileServerProcess& operator=(const FileServerProcess&) = delete;
    const QString& url() const { return m_url; }

private:
    QProcess m_process;
    QString m_url;
};

// Holds the reads of one central file as a stalled network share would, through
// the kernel's permission events (fanotify, root only): every read of the file
// waits for an answer from here. Reads are let through while written() is below
// bytes, and held from then on until this object ends.
class HeldReads {
public:
    HeldReads(const QString& file, std::function<qint64()> written, qint64 bytes)
        : m_written(std::move(written)), m_bytes(bytes) {
        m_group = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_LARGEFILE);
        m_stop = ::eventfd(0, EFD_CLOEXEC);
        if (m_group < 0 || m_stop < 0 ||
            ::fanotify_mark(m_group, FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD,
                            QFile::encodeName(file).constData()) != 0)
            return;
        m_thread = std::thread([this] { answer(); });
    }
    ~HeldReads() {
        if (m_thread.joinable()) {
            const quint64 one = 1;
            (void)::write(m_stop, &one, sizeof one);
            m_thread.join();
        }
        if (m_group >= 0)
            ::close(m_group); // answers whatever is still held with "allow"
        if (m_stop >= 0)
            ::close(m_stop);
    }
    HeldReads(const HeldReads&) = delete;
    HeldReads& operator=(const HeldReads&) = delete;

    bool holding() const { return m_thread.joinable(); }

private:
    void respond(int fd) const {
        fanotify_response response{};
        response.fd = fd;
        response.response = FAN_ALLOW;
        (void)::write(m_group, &response, sizeof response);
        ::close(fd);
    }

    void answer() {
        std::vector<int> held;
        alignas(fanotify_event_metadata) char buffer[4096];
        for (;;) {
            pollfd fds[2] = {{m_group, POLLIN, 0}, {m_stop, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN))
                break;
            const ssize_t got = ::read(m_group, buffer, sizeof buffer);
            if (got <= 0)
                break;
            auto* event = reinterpret_cast<const fanotify_event_metadata*>(buffer);
            for (ssize_t left = got; FAN_EVENT_OK(event, left);
                 event = FAN_EVENT_NEXT(event, left)) {
                if (event->fd < 0)
                    continue;
                if ((event->mask & FAN_ACCESS_PERM) && m_written() >= m_bytes)
                    held.push_back(event->fd);
                else
                    respond(event->fd);
            }
        }
        for (const int fd : held)
            respond(fd);
    }

    std::function<qint64()> m_written;
    qint64 m_bytes;
    int m_group = -1;
    int m_stop = -1;
    std::thread m_thread;
};

} // namespace

// Processes that meet on one installation folder: one run at a time, and a run
// killed at any moment leaves the target whole and nothing behind once the next
// run is through.
class SharedInstallationTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { ::signal(SIGPIPE, SIG_IGN); }
    void killedRunLeavesTargetWhole_data();
    void killedRunLeavesTargetWhole();
    void twoRunsAtOnceFetchOnce();
    void waitGivesUpNamingTheHolder();
    void lockOfAnotherMachine_data();
    void lockOfAnotherMachine();
    void holderKeepsItsLockFresh();
};

void SharedInstallationTest::killedRunLeavesTargetWhole_data() {
    QTest::addColumn<bool>("overHttp");
    QTest::addColumn<QString>("moment");
    for (const bool http : {false, true})
        for (const QString& moment : {u"before writing"_s, u"mid-body"_s, u"after its rename"_s})
            QTest::addRow("%s, %s", http ? "http" : "share", qPrintable(moment)) << http << moment;
}

void SharedInstallationTest::killedRunLeavesTargetWhole() {
    QFETCH(bool, overHttp);
    QFETCH(QString, moment);
#ifndef QUORVIA_FILESERVER_BINARY
    if (overHttp)
        QSKIP("the file server is not part of this build");
#endif
    QTemporaryDir root;
    const QString install = root.filePath(u"install"_s);
    const QString central = root.filePath(u"central"_s);
    const QString feed = root.filePath(u"feed"_s);
    QVERIFY(QDir().mkpath(install) && QDir().mkpath(central) && QDir().mkpath(feed));
    const QString name = u"SysAdmin.exe"_s;
    const QString target = install + u'/' + name;
    static const QByteArray content = centralContent();
    const QByteArray old = "MZ the old module, still working";
    writeFile(central, name, content, centralAge());
    writeFile(install, name, old, OldAge);
    QVERIFY(::chmod(QFile::encodeName(target).constData(), 0644) == 0);

    // What the killed run fetches from: a source that holds it at the moment.
    std::unique_ptr<HeldReads> held;
    std::unique_ptr<QTcpServer> silent;
    std::unique_ptr<RawHttpServer> stalling;
    std::unique_ptr<FileServerProcess> server;
#ifdef QUORVIA_FILESERVER_BINARY
    if (overHttp) {
        server = std::make_unique<FileServerProcess>(central);
        QVERIFY(!server->url().isEmpty());
    }
#endif
    QString kind = overHttp ? u"url"_s : u"share"_s;
    QString source = overHttp ? (server ? server->url() : QString()) : central;
    if (moment == u"before writing" || moment == u"mid-body") {
        if (!overHttp) {
            // A share hangs in the middle of a read, not at a pipe (those are refused).
            writeFile(feed, name, content, centralAge());
            const qint64 bytes = moment == u"mid-body" ? CentralSize / 2 : 0;
            held = std::make_unique<HeldReads>(
                feed + u'/' + name,
                [target] {
                    const QStringList staged = stagedTemporariesOf(target);
                    return staged.isEmpty() ? qint64(0) : QFileInfo(staged[0]).size();
                },
                bytes);
            if (!held->holding())
                QSKIP("holding a share's reads needs root and fanotify permission events");
            source = feed;
        } else if (moment == u"before writing") {
            silent = std::make_unique<QTcpServer>();
            QVERIFY(silent->listen(QHostAddress::LocalHost, 0));
            source = u"http://127.0.0.1:%1"_s.arg(silent->serverPort());
        } else {
            stalling = std::make_unique<RawHttpServer>([](const RawHttpServer::Request&) {
                RawHttpServer::Reply reply = RawHttpServer::reply("HTTP/1.1 200 OK", content);
                reply.mode = RawHttpServer::Reply::Mode::StallMidBody;
                return reply;
            });
            source = QString::fromLatin1(stalling->baseUrl());
        }
    }

    Child killed(helperBinary(),
                 {u"fetch"_s, install, kind, source, name, QString::number(centralAge(), 'g', 17)});
    QCOMPARE(killed.waitForLine(u"locked"_s), u"locked"_s);
    if (moment == u"after its rename") {
        QCOMPARE(killed.waitForLine(u"f"_s), u"fetched"_s);
    } else {
        const qsizetype expected = moment == u"mid-body" ? CentralSize / 2 : 0;
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         const QStringList staged = stagedTemporariesOf(target);
                         return staged.size() == 1 && QFileInfo(staged[0]).size() == expected;
                     },
                     WaitMs),
                 qPrintable(stagedTemporariesOf(target).join(u' ')));
        if (silent)
            QTRY_VERIFY_WITH_TIMEOUT(silent->hasPendingConnections(), WaitMs); // asked, unanswered
    }

    // A second run on the same folder waits for the first instead of meeting it.
    QStringList arguments = {u"--dir"_s, install, u"--module"_s, name, u"--wait"_s, u"60"_s};
    arguments += overHttp ? QStringList{u"--url"_s, server ? server->url() : QString()}
                          : QStringList{u"--share"_s, central};
    Child waiting(updateBinary(), arguments);
    QTest::qWait(500);
    QVERIFY(waiting.running());

    killed.killHard();
    // Right after the kill: the old file or the whole new one, each with its time.
    const QByteArray afterKill = readFile(target);
    QVERIFY(afterKill == old || afterKill == content);
    QCOMPARE(fixtures::ageOf(target), afterKill == old ? OldAge : centralAge());
    QCOMPARE(afterKill == content, moment == u"after its rename");

    // The waiting run takes the dead run's lock over, clears its leftover and ends
    // with the central file; one more run then finds nothing to do.
    QVERIFY(waiting.finish());
    const QString firstErr = waiting.err();
    QVERIFY2(waiting.exitCode() == 0, qPrintable(firstErr));
    for (int run = 0; run < 2; ++run) {
        if (run == 1) {
            Child again(updateBinary(), arguments);
            QVERIFY(again.finish());
            QCOMPARE(again.exitCode(), 0);
            QVERIFY2(again.out().startsWith(u"checked 1, stale 0, fetched 0, failed 0"_s),
                     qPrintable(again.out()));
        }
        QVERIFY(readFile(target) == content);
        QCOMPARE(fixtures::ageOf(target), centralAge());
        QCOMPARE(temporariesBelow(install), QStringList());
        QCOMPARE(modeOf(target), 0755); // a module is startable after its fetch
    }
}

// The launcher's refresh and a scheduled command at the same moment: one fetches,
// the other waits and then finds the file current; neither reports a failure.
void SharedInstallationTest::twoRunsAtOnceFetchOnce() {
    QTemporaryDir install;
    QTemporaryDir central;
    static const QByteArray content = centralContent();
    writeFile(central.path(), u"SysAdmin.exe"_s, content, centralAge());
    writeFile(install.path(), u"SysAdmin.exe"_s, "old", OldAge);
    const QStringList arguments = {u"--dir"_s,     install.path(), u"--share"_s,
                                   central.path(), u"--module"_s,  u"SysAdmin.exe"_s};
    Child first(updateBinary(), arguments);
    Child second(updateBinary(), arguments);
    QVERIFY(first.finish() && second.finish());
    QCOMPARE(first.exitCode(), 0);
    QCOMPARE(second.exitCode(), 0);
    const QStringList summaries = {first.out().section(u", elapsed"_s, 0, 0),
                                   second.out().section(u", elapsed"_s, 0, 0)};
    QVERIFY2(summaries.contains(u"checked 1, stale 1, fetched 1, failed 0"_s),
             qPrintable(summaries.join(u" | "_s)));
    QVERIFY2(summaries.contains(u"checked 1, stale 0, fetched 0, failed 0"_s),
             qPrintable(summaries.join(u" | "_s)));
    QVERIFY(readFile(install.filePath(u"SysAdmin.exe"_s)) == content);
    QCOMPARE(fixtures::ageOf(install.filePath(u"SysAdmin.exe"_s)), centralAge());
    QCOMPARE(temporariesBelow(install.path()), QStringList());
}

void SharedInstallationTest::waitGivesUpNamingTheHolder() {
    QTemporaryDir install;
    QTemporaryDir central;
    writeFile(central.path(), u"common.ini"_s, "[suite]", centralAge());
    Child holder(helperBinary(), {u"hold"_s, install.path()});
    QCOMPARE(holder.waitForLine(u"locked"_s), u"locked"_s);

    const QStringList arguments = {u"--dir"_s,     install.path(),      u"--share"_s,
                                   central.path(), u"--shared-files"_s, u"--wait"_s,
                                   u"1"_s};
    Child refused(updateBinary(), arguments);
    QVERIFY(refused.finish());
    QCOMPARE(refused.exitCode(), 2);
    const QString message = refused.err();
    QVERIFY2(message.contains(install.path()), qPrintable(message));
    QVERIFY2(message.contains(u"process %1 "_s.arg(holder.pid())), qPrintable(message));
    QVERIFY2(message.contains(u"host "_s + QSysInfo::machineHostName()), qPrintable(message));
    QVERIFY(!QFile::exists(install.filePath(u"common.ini"_s)));

    // Let go: the next run goes ahead at once.
    holder.write("\n");
    QVERIFY(holder.finish());
    Child next(updateBinary(), arguments);
    QVERIFY(next.finish());
    QCOMPARE(next.exitCode(), 0);
    QCOMPARE(readFile(install.filePath(u"common.ini"_s)), QByteArray("[suite]"));
}

void SharedInstallationTest::lockOfAnotherMachine_data() {
    QTest::addColumn<int>("untouchedMinutes");
    QTest::addColumn<bool>("takenOver");
    QTest::newRow("touched a minute ago: its run goes on") << 1 << false;
    QTest::newRow("untouched for an hour: its holder is gone") << 60 << true;
}

// A holder on another workstation of a shared folder cannot be asked whether it
// lives: its lock counts as long as it keeps the file's time fresh.
void SharedInstallationTest::lockOfAnotherMachine() {
    QFETCH(int, untouchedMinutes);
    QFETCH(bool, takenOver);
    QTemporaryDir install;
    const QString lockPath = install.filePath(TInstallationLock::fileName());
    writeFile(install.path(), TInstallationLock::fileName(),
              "4711\nquorvia-update\nward-3-elsewhere\n0123456789abcdef\n\n");
    const qint64 when = QDateTime::currentSecsSinceEpoch() - untouchedMinutes * 60;
    struct timespec times[2] = {{when, 0}, {when, 0}};
    QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(lockPath).constData(), times, 0) == 0);

    TInstallationLock lock(install.path());
    QCOMPARE(lock.tryLock(), takenOver);
    if (!takenOver)
        QCOMPARE(lock.holderDescription(), u"process 4711 on host ward-3-elsewhere"_s);
}

void SharedInstallationTest::holderKeepsItsLockFresh() {
    QTemporaryDir install;
    const QString lockPath = install.filePath(TInstallationLock::fileName());
    TInstallationLock held(install.path(), std::chrono::milliseconds(50));
    QVERIFY(held.tryLock());
    const qint64 longAgo = QDateTime::currentSecsSinceEpoch() - 3600;
    struct timespec times[2] = {{longAgo, 0}, {longAgo, 0}};
    QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(lockPath).constData(), times, 0) == 0);
    QTRY_VERIFY(QFileInfo(lockPath).lastModified().secsTo(QDateTime::currentDateTime()) < 60);

    TInstallationLock other(install.path());
    QVERIFY(!other.tryLock());
    QVERIFY(other.holderDescription().startsWith(
        u"process %1 on host "_s.arg(QCoreApplication::applicationPid())));
    held.unlock();
    QVERIFY(!QFile::exists(lockPath));
    QVERIFY(other.tryLock());
}

QTEST_GUILESS_MAIN(SharedInstallationTest)
#include "tst_shared_installation.moc"
