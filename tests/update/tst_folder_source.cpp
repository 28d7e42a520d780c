#include "update_fixtures.h"

#include "platform/errors.h"
#include "platform/paths.h"
#include "update/folder_source.h"

#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <QLoggingCategory>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using fixtures::centralAge;
using fixtures::writeFile;

class FolderSourceTest : public QObject {
    Q_OBJECT

private slots:
    void listing_data();
    void listing();
    void listingFailures_data();
    void listingFailures();
    void fetch_data();
    void fetch();
    void failedFetchKeepsTarget();
    void refusedFetch_data();
    void refusedFetch();
    void undecodableNamesAreSkipped();
    void onlyRegularFilesOfTheShareAreListed();
    void fileRewrittenWhileCopied();
};

// Fixture entries: "dir/name" a file, "dir/" an empty folder, "link->target" a
// symbolic link.
void FolderSourceTest::listing_data() {
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<bool>("trailingSeparator");
    QTest::addColumn<QStringList>("expected"); // every listed name, backslash separators

    const QStringList nested{u"sub/deeper/z.txt"_s, u"a"_s, u"Relatorio/RelX.rav"_s, u".hidden"_s};
    const QStringList nestedListed{u".hidden"_s, u"Relatorio\\RelX.rav"_s, u"a"_s,
                                   u"sub\\deeper\\z.txt"_s};
    QTest::newRow("ordinal order") << QStringList{u"b.dll"_s, u"a.exe"_s, u"C.ini"_s} << false
                                   << QStringList{u"C.ini"_s, u"a.exe"_s, u"b.dll"_s};
    QTest::newRow("nested and hidden") << nested << false << nestedListed;
    QTest::newRow("root with trailing separator") << nested << true << nestedListed;
    // Enough folders for the walk to spread over its workers.
    QStringList wide;
    QStringList wideListed;
    for (int i = 0; i < 40; ++i) {
        wide << u"w%1/a.txt"_s.arg(i) << u"w%1/deep/er/b.txt"_s.arg(i) << u"w%1/empty/"_s.arg(i);
        wideListed << u"w%1\\a.txt"_s.arg(i) << u"w%1\\deep\\er\\b.txt"_s.arg(i);
    }
    std::sort(wideListed.begin(), wideListed.end());
    QTest::newRow("wide and deep tree") << wide << false << wideListed;
    QTest::newRow("a file whose time cannot be read gets -1.0")
        << QStringList{u"gone->nowhere.dll"_s, u"kept.dll"_s} << false
        << QStringList{u"gone"_s, u"kept.dll"_s};
    QTest::newRow("empty share") << QStringList{} << false << QStringList{};
    QTest::newRow("folders alone are not files")
        << QStringList{u"empty/"_s, u"x/y/"_s} << false << QStringList{};
    QTest::newRow("links to files count, links to folders are not followed")
        << QStringList{u"real.txt"_s, u"sub/x.txt"_s, u"ln->real.txt"_s, u"lnd->sub"_s} << false
        << QStringList{u"ln"_s, u"real.txt"_s, u"sub\\x.txt"_s};
}

void FolderSourceTest::listing() {
    QFETCH(QStringList, entries);
    QFETCH(bool, trailingSeparator);
    QFETCH(QStringList, expected);

    QTemporaryDir share;
    qint64 ms = 0;
    QHash<QString, platform::TDateTime> stamped; // by "/" relative name
    for (const QString& entry : entries) {
        if (entry.contains(u"->"_s)) {
            const QStringList parts = entry.split(u"->"_s);
            QVERIFY(QFile::link(parts[1], share.path() + u'/' + parts[0]));
            stamped.insert(parts[0], stamped.value(parts[1], -1.0)); // -1.0: no time to read
        } else if (entry.endsWith(u'/')) {
            QVERIFY(QDir().mkpath(share.path() + u'/' + entry));
        } else {
            const platform::TDateTime age = fixtures::plusMs(centralAge(), ms += 1001);
            writeFile(share.path(), entry, entry.toUtf8(), age);
            stamped.insert(entry, age);
        }
    }

    TRemoteList list;
    fillRemoteListFromFolder(share.path() + (trailingSeparator ? u"/"_s : QString()), list);

    QCOMPARE(list.size(), expected.size());
    for (const QString& name : expected) {
        const auto found = list.constFind(platform::fileKey(name));
        QVERIFY2(found != list.constEnd(), qPrintable(name));
        QCOMPARE(found->FileName(), name);
        QString relative = name;
        relative.replace(u'\\', u'/');
        QCOMPARE(found->Age(), stamped.value(relative));
        QCOMPARE(found->Age(), fixtures::ageOf(share.path() + u'/' + relative));
    }
}

void FolderSourceTest::listingFailures_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message"); // empty: the listing goes on
    QTest::addColumn<QString>("kept");    // then the name listed under the twins' key

    QTest::newRow("missing") << u"missing"_s << u"The specified path was not found"_s << QString();
    QTest::newRow("not configured")
        << u"empty"_s << u"The specified path was not found"_s << QString();
    QTest::newRow("a file, not a folder")
        << u"file"_s << u"The specified path was not found"_s << QString();
    QTest::newRow("bad characters") << u"bad"_s << u"Invalid characters in path"_s << QString();
    // One stray name does not stop the listing: the later one, ordinally, wins.
    QTest::newRow("names equal but for case") << u"duplicates"_s << QString() << u"common.ini"_s;
    QTest::newRow("nested names equal but for case")
        << u"nested duplicates"_s << QString() << u"relatorio\\A.rav"_s;
}

void FolderSourceTest::listingFailures() {
    QFETCH(QString, kind);
    QFETCH(QString, message);
    QFETCH(QString, kept);

    QTemporaryDir root;
    QString path = root.path();
    writeFile(root.path(), u"common.ini"_s, "ini");
    if (kind == u"missing")
        path += u"/nowhere"_s;
    else if (kind == u"empty")
        path.clear();
    else if (kind == u"file")
        path += u"/common.ini"_s;
    else if (kind == u"bad")
        path += u"/a|b"_s;
    else if (kind == u"duplicates")
        writeFile(root.path(), u"COMMON.ini"_s, "other");
    if (kind == u"nested duplicates") {
        writeFile(root.path(), u"Relatorio/a.rav"_s, "a");
        writeFile(root.path(), u"relatorio/A.rav"_s, "b");
    }

    TRemoteList list;
    QString raised;
    try {
        fillRemoteListFromFolder(path, list);
    } catch (const platform::Exception& e) {
        raised = e.message();
    }
    QCOMPARE(raised, message);
    if (!kept.isEmpty())
        QCOMPARE(list.value(platform::fileKey(kept)).FileName(), kept);
}

void FolderSourceTest::fetch_data() {
    QTest::addColumn<QString>("centralName"); // "/" separators, as on disk
    QTest::addColumn<QString>("remoteName");  // the listing's spelling
    QTest::addColumn<QString>("localName");   // the local list's spelling
    QTest::addColumn<QString>("written");     // expected local file, "/" separators

    QTest::newRow("plain") << u"gds32.dll"_s << u"gds32.dll"_s << u"gds32.dll"_s << u"gds32.dll"_s;
    QTest::newRow("into a missing subfolder")
        << u"Relatorio/RelCosts.rav"_s << u"Relatorio\\RelCosts.rav"_s
        << u"Relatorio\\RelCosts.rav"_s << u"Relatorio/RelCosts.rav"_s;
    QTest::newRow("central spelling read, local spelling written")
        << u"RELATORIO/RELCOSTS.RAV"_s << u"RELATORIO\\RELCOSTS.RAV"_s
        << u"Relatorio\\RelCosts.rav"_s << u"Relatorio/RelCosts.rav"_s;
}

void FolderSourceTest::fetch() {
    QFETCH(QString, centralName);
    QFETCH(QString, remoteName);
    QFETCH(QString, localName);
    QFETCH(QString, written);

    QTemporaryDir share;
    QTemporaryDir installation;
    writeFile(share.path(), centralName, "central", centralAge());

    updateFileFromFolder(share.path(), installation.path(), localName, remoteName, centralAge(),
                         false);

    const QString target = installation.path() + u'/' + written;
    QCOMPARE(fixtures::readFile(target), QByteArray("central"));
    QCOMPARE(fixtures::ageOf(target), centralAge()); // stamped with the listed age
    // Nothing else left in the target's folder.
    QCOMPARE(QDir(platform::folderOf(target)).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

void FolderSourceTest::failedFetchKeepsTarget() {
    QTemporaryDir share;
    QTemporaryDir installation;
    const platform::TDateTime oldAge = fixtures::plusMs(centralAge(), -86'400'000);
    const QString target = writeFile(installation.path(), u"fbclient.dll"_s, "working", oldAge);

    QVERIFY_THROWS_EXCEPTION(platform::Exception,
                             updateFileFromFolder(share.path(), installation.path(),
                                                  u"fbclient.dll"_s, u"fbclient.dll"_s,
                                                  centralAge(), false));
    QCOMPARE(fixtures::readFile(target), QByteArray("working"));
    QCOMPARE(fixtures::ageOf(target), oldAge);
    QCOMPARE(QDir(installation.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

void FolderSourceTest::refusedFetch_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");
    QTest::newRow("its time is not the listed one")
        << u"other time"_s << u"The central file SysAdmin.exe changed while it was copied"_s;
    QTest::newRow("emptied, as a copy with times kept does first")
        << u"emptied now"_s << u"The central file SysAdmin.exe changed while it was copied"_s;
    QTest::newRow("a pipe") << u"pipe"_s
                            << u"The central file SysAdmin.exe is not a regular file"_s;
    QTest::newRow("a link to a pipe")
        << u"link to pipe"_s << u"The central file SysAdmin.exe is not a regular file"_s;
    QTest::newRow("a link to an endless device")
        << u"link to /dev/zero"_s << u"The central file SysAdmin.exe leads out of the share"_s;
    QTest::newRow("a link out of the share")
        << u"link out"_s << u"The central file SysAdmin.exe leads out of the share"_s;
    QTest::newRow("an absolute link out of the share")
        << u"absolute link out"_s << u"The central file SysAdmin.exe leads out of the share"_s;
}

// What stands at a listed name when it is fetched may no longer be what was
// listed: the fetch fails at once and the local file stays as it was.
void FolderSourceTest::refusedFetch() {
    QFETCH(QString, kind);
    QFETCH(QString, message);
    QTemporaryDir root;
    const QString share = root.filePath(u"share"_s);
    const QString installation = root.filePath(u"install"_s);
    QVERIFY(QDir().mkpath(share) && QDir().mkpath(installation));
    writeFile(root.path(), u"outside/secret.exe"_s, "not for the share", centralAge());
    const QString name = u"SysAdmin.exe"_s;
    const QString central = share + u'/' + name;
    const QByteArray pipe = QFile::encodeName(share + u"/feed"_s);
    if (kind == u"other time") {
        writeFile(share, name, "central", fixtures::plusMs(centralAge(), 1));
    } else if (kind == u"emptied now") {
        writeFile(share, name, QByteArray());
    } else if (kind == u"pipe") {
        QVERIFY(::mkfifo(QFile::encodeName(central).constData(), 0644) == 0);
    } else if (kind == u"link to pipe") {
        QVERIFY(::mkfifo(pipe.constData(), 0644) == 0);
        QVERIFY(QFile::link(u"feed"_s, central));
    } else if (kind == u"link to /dev/zero") {
        QVERIFY(QFile::link(u"/dev/zero"_s, central));
    } else if (kind == u"link out") {
        QVERIFY(QFile::link(u"../outside/secret.exe"_s, central));
    } else {
        QVERIFY(QFile::link(root.filePath(u"outside/secret.exe"_s), central));
    }
    const platform::TDateTime oldAge = fixtures::plusMs(centralAge(), -86'400'000);
    const QString target = writeFile(installation, name, "working", oldAge);

    QString raised;
    try {
        updateFileFromFolder(share, installation, name, name, centralAge(), true);
    } catch (const platform::Exception& e) {
        raised = e.message();
    }
    QCOMPARE(raised, message);
    QCOMPARE(fixtures::readFile(target), QByteArray("working"));
    QCOMPARE(fixtures::ageOf(target), oldAge);
    QCOMPARE(QDir(installation).entryList(QDir::Files | QDir::Hidden), QStringList{name});
}

namespace {

std::mutex traceLock;
QStringList traced;

void recordTrace(QtMsgType, const QMessageLogContext& context, const QString& message) {
    if (QByteArrayView(context.category) != "quorvia.trace")
        return;
    const std::lock_guard guard(traceLock);
    traced.append(message);
}

} // namespace

// Names whose bytes do not decode can never match the local list; two of them
// would take one key and stop the listing as duplicates.
void FolderSourceTest::undecodableNamesAreSkipped() {
    QTemporaryDir share;
    writeFile(share.path(), u"good.dll"_s, "good", centralAge());
    const QByteArray root = QFile::encodeName(share.path());
    for (const QByteArray& name : {QByteArray("/bad\xff.dll"), QByteArray("/bad\xfe.dll")}) {
        const int fd = ::open((root + name).constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);
    }
    QVERIFY(::mkdir((root + "/dir\xe9").constData(), 0755) == 0);
    const int fd = ::open((root + "/dir\xe9/inner.rav").constData(), O_WRONLY | O_CREAT, 0644);
    QVERIFY(fd >= 0);
    ::close(fd);

    QLoggingCategory::setFilterRules(u"quorvia.trace=true"_s);
    const QtMessageHandler previous = qInstallMessageHandler(recordTrace);
    TRemoteList list;
    fillRemoteListFromFolder(share.path(), list);
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules(QString());

    QCOMPARE(list.keys(), QStringList{u"GOOD.DLL"_s});
    const std::lock_guard guard(traceLock);
    traced.sort();
    const QString prefix =
        u"Skipped central entry with a name not valid in the file-name encoding: "_s;
    QCOMPARE(traced, (QStringList{prefix + u"bad\\xfe.dll"_s, prefix + u"bad\\xff.dll"_s,
                                  prefix + u"dir\\xe9"_s}));
}

// A share is not trusted to hold only files: what is not a regular file of the
// share, or cannot be a name of ours, is left out with one trace line each and
// never stops the listing.
void FolderSourceTest::onlyRegularFilesOfTheShareAreListed() {
    QTemporaryDir root;
    const QString share = root.filePath(u"share"_s);
    writeFile(share, u"SysAdmin.exe"_s, "module", centralAge());
    writeFile(share, u"Relatorio/RelCosts.rav"_s, "report", centralAge());
    writeFile(root.path(), u"outside/secret.exe"_s, "not for the share", centralAge());
    const QByteArray rootPath = QFile::encodeName(share);
    QVERIFY(::chmod((rootPath + "/SysAdmin.exe").constData(), 06777) == 0);
    QVERIFY(::mkfifo((rootPath + "/pipe").constData(), 0644) == 0);
    QVERIFY(QFile::link(u"pipe"_s, share + u"/gds32.dll"_s));
    QVERIFY(QFile::link(u"/dev/zero"_s, share + u"/fbclient.dll"_s));
    QVERIFY(QFile::link(u"../outside/secret.exe"_s, share + u"/common.ini"_s));
    QVERIFY(QFile::link(root.filePath(u"outside/secret.exe"_s), share + u"/Relatorio/abs.rav"_s));
    QVERIFY(QFile::link(share + u"/Relatorio/RelCosts.rav"_s, share + u"/Relatorio/inside.rav"_s));
    QVERIFY(QFile::link(u"../SysAdmin.exe"_s, share + u"/Relatorio/module.lnk"_s));
    writeFile(share, u"Relatorio\\RelSysAdmin.rav"_s, "a backslash in a file name", centralAge());
    writeFile(share, u"sub\\dir/x.rav"_s, "below a backslash in a folder name", centralAge());
    const QByteArray socketPath = rootPath + "/socket";
    const int listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(listening >= 0);
    const auto closeSocket = qScopeGuard([listening] { ::close(listening); });
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    QVERIFY(size_t(socketPath.size()) < sizeof address.sun_path);
    std::memcpy(address.sun_path, socketPath.constData(), size_t(socketPath.size()));
    QVERIFY(::bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0);
    QStringList devices;
    if (::geteuid() == 0) { // only root makes device nodes
        QVERIFY(::mknod((rootPath + "/zero.dev").constData(), S_IFCHR | 0666, makedev(1, 5)) == 0);
        devices.append(u"Skipped central entry that is not a regular file: zero.dev"_s);
    }

    {
        const std::lock_guard guard(traceLock);
        traced.clear();
    }
    QLoggingCategory::setFilterRules(u"quorvia.trace=true"_s);
    const QtMessageHandler previous = qInstallMessageHandler(recordTrace);
    TRemoteList list;
    fillRemoteListFromFolder(share, list);
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules(QString());

    QStringList listed;
    for (const TFileInfoDTO& file : std::as_const(list)) {
        listed.append(file.FileName());
        QCOMPARE(file.Age(), centralAge()); // links count with the time of their file
    }
    listed.sort();
    QCOMPARE(listed, (QStringList{u"Relatorio\\RelCosts.rav"_s, u"Relatorio\\inside.rav"_s,
                                  u"Relatorio\\module.lnk"_s, u"SysAdmin.exe"_s}));
    const std::lock_guard guard(traceLock);
    QStringList lines = traced;
    traced.clear();
    lines.sort();
    QStringList expected =
        QStringList{
            u"Skipped central entry linked out of the share: Relatorio\\abs.rav"_s,
            u"Skipped central entry linked out of the share: common.ini"_s,
            u"Skipped central entry linked out of the share: fbclient.dll"_s,
            u"Skipped central entry that is not a regular file: gds32.dll"_s,
            u"Skipped central entry that is not a regular file: pipe"_s,
            u"Skipped central entry that is not a regular file: socket"_s,
            u"Skipped central entry with a backslash in its name: Relatorio\\RelSysAdmin.rav"_s,
            u"Skipped central entry with a backslash in its name: sub\\dir"_s,
        } +
        devices;
    expected.sort();
    QCOMPARE(lines, expected);
}

// The central file is copied over again while workstations fetch it, the way a
// copy that keeps times does it: truncated, written piece by piece, its old time
// put back. A fetch installs the whole central file or nothing, and the next run
// (which fetches what is missing or has another age) completes the rest.
void FolderSourceTest::fileRewrittenWhileCopied() {
    QTemporaryDir share;
    QTemporaryDir installation;
    const QString name = u"SysAdmin.exe"_s;
    QByteArray content(8 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = char((i * 131) >> 7);
    const QString central = writeFile(share.path(), name, content, centralAge());
    TRemoteList list;
    fillRemoteListFromFolder(share.path(), list);
    const auto found = list.constFind(platform::fileKey(name));
    QVERIFY(found != list.constEnd());
    const platform::TDateTime listed = found->Age();
    QCOMPARE(listed, centralAge());

    std::atomic<bool> stop = false;
    std::atomic<int> rewrites = 0;
    std::atomic<int> started = 0; // copies begun
    std::thread rewriter([&] {
        constexpr qsizetype Piece = 256 * 1024;
        // In step with the copies: rewrite c begins as copy 2c begins, and copy
        // 2c waits for rewrite c - 1 to end, so copies meet the emptying of the
        // file, its middle, and the file whole again.
        for (int c = 0; !stop; ++c) {
            while (!stop && started <= 2 * c)
                std::this_thread::yield();
            if (stop)
                break;
            const int fd = ::open(QFile::encodeName(central).constData(), O_WRONLY | O_TRUNC);
            if (fd < 0)
                return;
            for (qsizetype done = 0; done < content.size(); done += Piece)
                if (platform::writeAll(fd, content.constData() + done, size_t(Piece)) != 0)
                    break;
            platform::stampFileAge(fd, centralAge());
            ::close(fd);
            ++rewrites;
        }
    });
    constexpr int Copies = 40;
    constexpr int Targets = 8;
    QStringList failures;
    for (int i = 0; i < Copies; ++i) {
        while (rewrites < i / 2)
            std::this_thread::yield();
        ++started;
        try {
            updateFileFromFolder(share.path(), installation.path(),
                                 u"copy%1.exe"_s.arg(i % Targets), name, listed, false);
        } catch (const platform::Exception& e) {
            failures.append(e.message());
        }
    }
    stop = true;
    rewriter.join();
    QVERIFY(rewrites > 1);
    // Any failure is the one that says so, never a damaged copy.
    for (const QString& failure : std::as_const(failures))
        QCOMPARE(failure, u"The central file SysAdmin.exe changed while it was copied"_s);

    for (int i = 0; i < Targets; ++i) {
        const QString target = installation.path() + u"/copy%1.exe"_s.arg(i);
        if (!QFile::exists(target) || fixtures::ageOf(target) != listed)
            updateFileFromFolder(share.path(), installation.path(), u"copy%1.exe"_s.arg(i), name,
                                 listed, false);
    }
    for (int i = 0; i < Targets; ++i) {
        const QString target = installation.path() + u"/copy%1.exe"_s.arg(i);
        const QByteArray installed = fixtures::readFile(target);
        QVERIFY2(installed == content,
                 qPrintable(u"%1: %2 bytes"_s.arg(target).arg(installed.size())));
        QCOMPARE(fixtures::ageOf(target), listed);
    }
    qDebug("%d of %d copies refused while the central file was rewritten %d times",
           int(failures.size()), Copies, int(rewrites));
}

QTEST_GUILESS_MAIN(FolderSourceTest)
#include "tst_folder_source.moc"
