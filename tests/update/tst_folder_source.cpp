#include "update_fixtures.h"

#include "platform/errors.h"
#include "platform/paths.h"
#include "update/folder_source.h"

#include <QTemporaryDir>
#include <QTest>

#include <QLoggingCategory>

#include <algorithm>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
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
    void undecodableNamesAreSkipped();
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
    QTest::addColumn<QString>("message");

    QTest::newRow("missing") << u"missing"_s << u"The specified path was not found"_s;
    QTest::newRow("not configured") << u"empty"_s << u"The specified path was not found"_s;
    QTest::newRow("a file, not a folder") << u"file"_s << u"The specified path was not found"_s;
    QTest::newRow("bad characters") << u"bad"_s << u"Invalid characters in path"_s;
    QTest::newRow("names equal but for case") << u"duplicates"_s << u"Duplicates not allowed"_s;
    QTest::newRow("nested names equal but for case")
        << u"nested duplicates"_s << u"Duplicates not allowed"_s;
}

void FolderSourceTest::listingFailures() {
    QFETCH(QString, kind);
    QFETCH(QString, message);

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
    writeFile(share.path(), centralName, "central", fixtures::plusMs(centralAge(), 5));

    updateFileFromFolder(share.path(), installation.path(), localName, remoteName, centralAge(),
                         false);

    const QString target = installation.path() + u'/' + written;
    QCOMPARE(fixtures::readFile(target), QByteArray("central"));
    QCOMPARE(fixtures::ageOf(target), centralAge()); // stamped with the given age
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

QTEST_GUILESS_MAIN(FolderSourceTest)
#include "tst_folder_source.moc"
