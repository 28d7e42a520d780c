#include "update_fixtures.h"

#include "platform/file_descriptor.h"
#include "update/installation_lock.h"
#include "update/staged_replace.h"

#include <QDirIterator>
#include <QHostInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
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
#include <sys/file.h>
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
        m_group = platform::FileDescriptor(
            ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_LARGEFILE));
        m_stop = platform::FileDescriptor(::eventfd(0, EFD_CLOEXEC));
        if (!m_group.valid() || !m_stop.valid() ||
            ::fanotify_mark(m_group.get(), FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD,
                            QFile::encodeName(file).constData()) != 0)
            return;
        m_thread = std::thread([this] { answer(); });
    }
    ~HeldReads() {
        if (m_thread.joinable()) {
            const quint64 one = 1;
            (void)::write(m_stop.get(), &one, sizeof one);
            m_thread.join();
        }
        // Closing the group (m_group's end) answers whatever is still held: allowed.
    }
    HeldReads(const HeldReads&) = delete;
    HeldReads& operator=(const HeldReads&) = delete;

    bool holding() const { return m_thread.joinable(); }

private:
    void respond(int fd) const {
        fanotify_response response{};
        response.fd = fd;
        response.response = FAN_ALLOW;
        (void)::write(m_group.get(), &response, sizeof response);
        ::close(fd);
    }

    void answer() {
        std::vector<int> held;
        alignas(fanotify_event_metadata) char buffer[4096];
        for (;;) {
            pollfd fds[2] = {{m_group.get(), POLLIN, 0}, {m_stop.get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN))
                break;
            const ssize_t got = ::read(m_group.get(), buffer, sizeof buffer);
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
    platform::FileDescriptor m_group;
    platform::FileDescriptor m_stop;
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
    void lockWithoutHolder_data();
    void lockWithoutHolder();
    void lockOfAnotherMember_data();
    void lockOfAnotherMember();
    void reportFolderIsTheGroups();
    void hostileShare();
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
    if (overHttp) {
        server = std::make_unique<FileServerProcess>(central);
        QVERIFY(!server->url().isEmpty());
    }
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

void SharedInstallationTest::lockWithoutHolder_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("flockedByItsMaker");
    QTest::addColumn<bool>("takenOver");
    QTest::newRow("empty: taken over at once") << QByteArray() << false << true;
    QTest::newRow("no holder in it: taken over at once")
        << QByteArray("not a lock file\n") << false << true;
    QTest::newRow("empty, its maker about to fill it: kept") << QByteArray() << true << false;
}

// A lock file that names no holder has nobody to wait for (a run killed between
// making and filling it), however fresh its time; only a maker that still holds
// it, in that moment, keeps it.
void SharedInstallationTest::lockWithoutHolder() {
    QFETCH(QByteArray, content);
    QFETCH(bool, flockedByItsMaker);
    QFETCH(bool, takenOver);
    QTemporaryDir install;
    const QString lockPath = writeFile(install.path(), TInstallationLock::fileName(), content);
    const int maker = ::open(QFile::encodeName(lockPath).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(maker >= 0);
    const auto closeMaker = qScopeGuard([maker] { ::close(maker); });
    if (flockedByItsMaker)
        QVERIFY(::flock(maker, LOCK_EX | LOCK_NB) == 0);

    TInstallationLock lock(install.path());
    QCOMPARE(lock.tryLock(), takenOver);
    if (takenOver)
        QVERIFY(lock.holderDescription().startsWith(
            u"process %1 on host "_s.arg(QCoreApplication::applicationPid())));
}

namespace {

// Two members of an installation's group, neither root: the group owns the
// installation folder (2775), as on the workstations.
constexpr uid_t FirstMember = 4242;
constexpr uid_t SecondMember = 4244;
constexpr gid_t InstallationGroup = 4243;

QStringList asMember(uid_t uid, const QString& program, const QStringList& arguments) {
    return QStringList{u"--reuid=%1"_s.arg(uid), u"--regid=%1"_s.arg(InstallationGroup),
                       u"--clear-groups"_s, program} +
           arguments;
}

QString setprivBinary() {
    return QStandardPaths::findExecutable(u"setpriv"_s);
}

struct stat statOf(const QString& path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        st.st_mode = 0;
    return st;
}

// A folder the members can reach and whose group they are.
QString groupFolder(const QTemporaryDir& root, const QString& name) {
    const QString folder = root.filePath(name);
    const QByteArray path = QFile::encodeName(folder);
    if (::chmod(QFile::encodeName(root.path()).constData(), 0755) != 0 ||
        ::mkdir(path.constData(), 0700) != 0 ||
        ::chown(path.constData(), 0, InstallationGroup) != 0 ||
        ::chmod(path.constData(), 02775) != 0)
        return QString();
    return folder;
}

} // namespace

void SharedInstallationTest::lockOfAnotherMember_data() {
    QTest::addColumn<QString>("left");
    QTest::addRow("killed, its lock file as it made it") << u"as made"_s;
    QTest::addRow("killed, its lock file readable by its owner alone") << u"owner only"_s;
    QTest::addRow("alive: waited for and named") << u"alive"_s;
}

// One member's run is killed (or still runs) holding the installation's lock;
// the next run is another member's.
void SharedInstallationTest::lockOfAnotherMember() {
    QFETCH(QString, left);
    if (::geteuid() != 0 || setprivBinary().isEmpty())
        QSKIP("runs two other users: needs root and setpriv");
    QTemporaryDir root;
    const QString install = groupFolder(root, u"install"_s);
    QVERIFY(!install.isEmpty());
    const QString lockPath = install + u'/' + TInstallationLock::fileName();

    const mode_t previousMask = ::umask(022);
    const auto restoreMask = qScopeGuard([previousMask] { ::umask(previousMask); });
    Child first(setprivBinary(), asMember(FirstMember, helperBinary(), {u"hold"_s, install}));
    QCOMPARE(first.waitForLine(u"locked"_s), u"locked"_s);
    // Whoever comes next in the group can read the lock and clear it.
    const struct stat made = statOf(lockPath);
    QCOMPARE(made.st_uid, FirstMember);
    QCOMPARE(made.st_gid, InstallationGroup);
    QCOMPARE(int(made.st_mode & 07777), 0664);

    if (left == u"alive") {
        Child refused(setprivBinary(), asMember(SecondMember, updateBinary(),
                                                {u"--dir"_s, install, u"--share"_s, root.path(),
                                                 u"--wait"_s, u"1"_s, u"--shared-files"_s}));
        QVERIFY(refused.finish());
        QCOMPARE(refused.exitCode(), 2);
        const QString message = refused.err();
        QVERIFY2(message.contains(u"process %1 "_s.arg(first.pid())), qPrintable(message));
        QCOMPARE(statOf(lockPath).st_ino, made.st_ino);
        first.write("\n");
        QVERIFY(first.finish());
        QCOMPARE(first.exitCode(), 0);
        return;
    }
    first.killHard();
    QCOMPARE(statOf(lockPath).st_ino, made.st_ino); // left behind
    if (left == u"owner only")
        QVERIFY(::chmod(QFile::encodeName(lockPath).constData(), 0600) == 0);

    Child second(setprivBinary(), asMember(SecondMember, helperBinary(), {u"hold"_s, install}));
    QCOMPARE(second.waitForLine(u"locked"_s), u"locked"_s);
    const struct stat taken = statOf(lockPath);
    QCOMPARE(taken.st_uid, SecondMember);
    QCOMPARE(taken.st_gid, InstallationGroup);
    second.write("\n");
    QVERIFY(second.finish());
    QCOMPARE(second.exitCode(), 0);
    QVERIFY(!QFile::exists(lockPath));
}

// The report folder a run makes belongs to the installation's group, whatever
// the umask of whoever ran first, and every member can write reports into it.
void SharedInstallationTest::reportFolderIsTheGroups() {
    QTemporaryDir root;
    QTemporaryDir central;
    writeFile(central.path(), u"Relatorio/RelCosts.rav"_s, "report", centralAge());
    // Root runs it for a group of its choosing; others for their own group.
    const bool asRoot = ::geteuid() == 0;
    QString install = root.filePath(u"install"_s);
    gid_t group = ::getegid();
    if (asRoot) {
        install = groupFolder(root, u"install"_s);
        group = InstallationGroup;
    } else {
        QVERIFY(QDir().mkdir(install));
        QVERIFY(::chmod(QFile::encodeName(install).constData(), 02775) == 0);
    }
    QVERIFY(!install.isEmpty());

    const mode_t previousMask = ::umask(022);
    const auto restoreMask = qScopeGuard([previousMask] { ::umask(previousMask); });
    Child run(updateBinary(),
              {u"--dir"_s, install, u"--share"_s, central.path(), u"--shared-files"_s});
    QVERIFY(run.finish());
    QVERIFY2(run.exitCode() == 0, qPrintable(run.err()));

    const struct stat report = statOf(install + u"/Relatorio"_s);
    QVERIFY(S_ISDIR(report.st_mode));
    QCOMPARE(report.st_gid, group);
    QCOMPARE(int(report.st_mode & (S_IRWXG | S_ISGID)), int(S_IRWXG | S_ISGID));
    QCOMPARE(readFile(install + u"/Relatorio/RelCosts.rav"_s), QByteArray("report"));
}

// A share that holds more than files: a setuid module, links to a pipe, to an
// endless device and out of the share, and names that cannot be ours. The run
// ends, installs what is a file of the share, and nothing of the rest.
void SharedInstallationTest::hostileShare() {
    QTemporaryDir root;
    const QString central = root.filePath(u"central"_s);
    const QString install = root.filePath(u"install"_s);
    QVERIFY(QDir().mkpath(install));
    writeFile(central, u"SysAdmin.exe"_s, "MZ module", centralAge());
    QVERIFY(::chmod(QFile::encodeName(central + u"/SysAdmin.exe"_s).constData(), 06777) == 0);
    writeFile(central, u"qtintf70.dll"_s, "qt", centralAge());
    writeFile(central, u"Relatorio/RelSysAdmin.rav"_s, "report", centralAge());
    writeFile(root.path(), u"outside/secret"_s, "not central", centralAge());
    QVERIFY(::mkfifo(QFile::encodeName(central + u"/pipe"_s).constData(), 0644) == 0);
    QVERIFY(QFile::link(u"pipe"_s, central + u"/gds32.dll"_s));
    QVERIFY(QFile::link(u"/dev/zero"_s, central + u"/fbclient.dll"_s));
    QVERIFY(QFile::link(u"../outside/secret"_s, central + u"/common.ini"_s));
    QVERIFY(QFile::link(u"qtintf70.dll"_s, central + u"/dbxfb.dll"_s)); // inside: a file
    writeFile(central, u"Relatorio\\RelCosts.rav"_s, "a backslash in the name", centralAge());

    Child run(updateBinary(), {u"--dir"_s, install, u"--share"_s, central, u"--module"_s,
                               u"SysAdmin.exe"_s, u"--shared-files"_s});
    QVERIFY(run.finish());
    QVERIFY2(run.exitCode() == 0, qPrintable(run.err()));

    QCOMPARE(readFile(install + u"/SysAdmin.exe"_s), QByteArray("MZ module"));
    QVERIFY((modeOf(install + u"/SysAdmin.exe"_s) & (S_ISUID | S_ISGID)) == 0);
    QCOMPARE(readFile(install + u"/qtintf70.dll"_s), QByteArray("qt"));
    QCOMPARE(readFile(install + u"/dbxfb.dll"_s), QByteArray("qt"));
    QCOMPARE(readFile(install + u"/Relatorio/RelSysAdmin.rav"_s), QByteArray("report"));
    for (const QString& refused : {u"gds32.dll"_s, u"fbclient.dll"_s, u"common.ini"_s,
                                   u"Relatorio/RelCosts.rav"_s, u"Relatorio\\RelCosts.rav"_s})
        QVERIFY2(!QFile::exists(install + u'/' + refused), qPrintable(refused));
    QCOMPARE(temporariesBelow(install), QStringList());
}

QTEST_GUILESS_MAIN(SharedInstallationTest)
#include "tst_shared_installation.moc"
