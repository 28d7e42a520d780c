#include "platform/errors.h"
#include "platform/file_ops.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include "test_files.h"

#include <cstddef>
#include <functional>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/openat2.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using platform::TDateTime;
using test_files::readFile;
using test_files::writeFile;

namespace {

template <typename E, typename F> QString errorOf(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.message();
    }
    return u"<no error>"_s;
}

// Writes a copy's source: size bytes in a pattern of the given step, so that a
// buffer dropped or written twice shows. Returns the content.
QByteArray writePatterned(const QString& path, int size, int step) {
    QByteArray content(size, '\0');
    for (int i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * step);
    writeFile(path, content);
    return content;
}

// The permission bits of path, or -1 when it cannot be read.
int permissionsOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

} // namespace

class TestFileOps : public QObject {
    Q_OBJECT
private slots:
    void stampAndReadBack_data();
    void stampAndReadBack();
    void stampTouchesOnlyLastWrite();
    void stampMissingFileFails();
    void localFileTimeIsLocalClock();
    void readAgeOfMissingOrFolderKeepsValue();
    void existence();
    void deleteErrors();
    void copy();
    void copyErrors();
    void foldersTakeTheParentsGroup_data();
    void foldersTakeTheParentsGroup();
    void copyIntoDescriptor();
    void copyIntoRefusesWhatIsNoFile_data();
    void copyIntoRefusesWhatIsNoFile();
    void copyAtMostStopsAtTheLimit_data();
    void copyAtMostStopsAtTheLimit();
    void openBeneath_data();
    void openBeneath();
    void describeAge_data();
    void describeAge();
    void createFolders();
};

void TestFileOps::stampAndReadBack_data() {
    QTest::addColumn<QDateTime>("clock");
    QTest::addColumn<bool>("throughDescriptor");
    for (const bool descriptor : {false, true}) {
        const char* how = descriptor ? "descriptor" : "path";
        QTest::addRow("with milliseconds, %s", how)
            << QDateTime(QDate(2022, 6, 23), QTime(20, 50, 25, 123)) << descriptor;
        QTest::addRow("whole second, %s", how)
            << QDateTime(QDate(2010, 1, 1), QTime(0, 0, 1)) << descriptor;
        QTest::addRow("last millisecond, %s", how)
            << QDateTime(QDate(2021, 12, 31), QTime(23, 59, 59, 999)) << descriptor;
        QTest::addRow("far future, %s", how)
            << QDateTime(QDate(2090, 7, 4), QTime(8, 15, 0, 7)) << descriptor;
    }
}

void TestFileOps::stampAndReadBack() {
    QFETCH(QDateTime, clock);
    QFETCH(bool, throughDescriptor);
    QTemporaryDir dir;
    const QString path = dir.filePath(u"a.dll"_s);
    writeFile(path, "content");
    const TDateTime age = platform::fromClockTime(clock);
    TDateTime read = -1.0;
    if (throughDescriptor) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY);
        QVERIFY(fd >= 0);
        platform::stampFileAge(fd, age);
        const bool readable = platform::tryReadFileAge(fd, read);
        ::close(fd);
        QVERIFY(readable);
        QVERIFY2(read == age, qPrintable(u"%1 != %2"_s.arg(read, 0, 'f', 12).arg(age, 0, 'f', 12)));
    } else {
        platform::stampFileAge(path, age);
    }
    read = -1.0;
    QVERIFY(platform::tryReadFileAge(path, read));
    QVERIFY2(read == age, qPrintable(u"%1 != %2"_s.arg(read, 0, 'f', 12).arg(age, 0, 'f', 12)));
    QCOMPARE(readFile(path), QByteArray("content"));
}

void TestFileOps::stampTouchesOnlyLastWrite() {
    QTemporaryDir dir;
    const QString path = dir.filePath(u"a.dll"_s);
    writeFile(path, "x");
    struct timespec times[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
    QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0);
    platform::stampFileAge(path, platform::encodeDateTime(2020, 5, 5, 1234));
    struct stat st {};
    QVERIFY(::stat(QFile::encodeName(path).constData(), &st) == 0);
    QCOMPARE(qint64(st.st_atim.tv_sec), qint64(1'000'000'000));
    QVERIFY(st.st_mtim.tv_sec != 1'000'000'000);
}

void TestFileOps::stampMissingFileFails() {
    QTemporaryDir dir;
    QCOMPARE(errorOf<platform::EFileNotFoundException>(
                 [&] { platform::stampFileAge(dir.filePath(u"none"_s), 44000.0); }),
             u"File not found"_s);
}

void TestFileOps::localFileTimeIsLocalClock() {
    // A file written just now reads back as the local clock time of now.
    QTemporaryDir dir;
    const QString path = dir.filePath(u"new.txt"_s);
    const QDateTime before = QDateTime::currentDateTime().addSecs(-2);
    writeFile(path, "x");
    const QDateTime after = QDateTime::currentDateTime().addSecs(2);
    TDateTime age = -1.0;
    QVERIFY(platform::tryReadFileAge(path, age));
    QVERIFY(age >= platform::fromClockTime(before));
    QVERIFY(age <= platform::fromClockTime(after));
}

void TestFileOps::readAgeOfMissingOrFolderKeepsValue() {
    QTemporaryDir dir;
    TDateTime age = 123.0;
    QVERIFY(!platform::tryReadFileAge(dir.filePath(u"none"_s), age));
    QVERIFY(!platform::tryReadFileAge(dir.path(), age));
    QCOMPARE(age, 123.0);
}

void TestFileOps::existence() {
    QTemporaryDir dir;
    const QString file = dir.filePath(u"f"_s);
    writeFile(file, "x");
    QVERIFY(QFile::link(file, dir.filePath(u"link"_s)));
    QVERIFY(QFile::link(dir.filePath(u"gone"_s), dir.filePath(u"dangling"_s)));
    QVERIFY(platform::fileExists(file));
    QVERIFY(platform::fileExists(dir.filePath(u"link"_s)));
    QVERIFY(!platform::fileExists(dir.filePath(u"dangling"_s)));
    QVERIFY(!platform::fileExists(dir.path()));
    QVERIFY(!platform::fileExists(QString()));
    QVERIFY(platform::directoryExists(dir.path()));
    QVERIFY(!platform::directoryExists(file));
}

void TestFileOps::deleteErrors() {
    QTemporaryDir dir;
    const QString file = dir.filePath(u"f"_s);
    writeFile(file, "x");
    platform::deleteFile(file);
    QVERIFY(!QFile::exists(file));
    QCOMPARE(errorOf<platform::EInOutError>([&] { platform::deleteFile(file); }),
             u"The system cannot find the file specified"_s);
}

void TestFileOps::copy() {
    QTemporaryDir dir;
    const QString source = dir.filePath(u"src.exe"_s);
    const QByteArray content = writePatterned(source, 3 * 1024 * 1024 + 17, 31);
    QVERIFY(::chmod(QFile::encodeName(source).constData(), 0751) == 0);
    const QString target = dir.filePath(u"dst.exe"_s);
    platform::copyFileNoOverwrite(source, target);
    QCOMPARE(readFile(target), content);
    QCOMPARE(permissionsOf(target), 0751);
}

void TestFileOps::copyErrors() {
    QTemporaryDir dir;
    const QString source = dir.filePath(u"src"_s);
    writeFile(source, "new");
    const QString existing = dir.filePath(u"existing"_s);
    writeFile(existing, "old");

    QCOMPARE(errorOf<platform::EFileNotFoundException>([&] {
                 platform::copyFileNoOverwrite(dir.filePath(u"none"_s), dir.filePath(u"t"_s));
             }),
             u"File not found"_s);
    QCOMPARE(errorOf<platform::EDirectoryNotFoundException>([&] {
                 platform::copyFileNoOverwrite(source, dir.filePath(u"no/such/folder/t"_s));
             }),
             u"The specified path was not found"_s);
    QCOMPARE(
        errorOf<platform::EInOutError>([&] { platform::copyFileNoOverwrite(source, existing); }),
        u"The specified file already exists"_s);
    QCOMPARE(readFile(existing), QByteArray("old"));
}

void TestFileOps::createFolders() {
    QTemporaryDir dir;
    const QString deep = dir.filePath(u"a/b/c"_s);
    platform::createFolders(deep);
    QVERIFY(platform::directoryExists(deep));
    platform::createFolders(deep); // existing is fine

    QVERIFY(!platform::createFolder(dir.filePath(u"x/y"_s))); // one level only
    QVERIFY(platform::createFolder(dir.filePath(u"x"_s)));
    writeFile(dir.filePath(u"blocked"_s), "x");
    QVERIFY(!platform::createFolder(dir.filePath(u"blocked"_s)));
    QCOMPARE(errorOf<platform::EInOutError>(
                 [&] { platform::createFolders(dir.filePath(u"blocked/sub"_s)); }),
             platform::systemErrorMessage(EEXIST)); // a file where a folder goes
}

void TestFileOps::foldersTakeTheParentsGroup_data() {
    QTest::addColumn<int>("parentMode");
    QTest::addColumn<int>("expectedMode");
    QTest::addColumn<bool>("chain"); // createFolders of two levels, else createFolder
    for (const bool chain : {false, true}) {
        const char* how = chain ? "chain" : "one folder";
        QTest::addRow("setgid group folder, %s", how) << 02775 << 02775 << chain;
        QTest::addRow("group folder, %s", how) << 0775 << 0775 << chain;
        QTest::addRow("folder closed to its group, %s", how) << 0755 << 0755 << chain;
    }
}

// An installation folder shared by a group: what a run makes in it, under any
// umask, belongs to that group and its members may write there.
void TestFileOps::foldersTakeTheParentsGroup() {
    QFETCH(int, parentMode);
    QFETCH(int, expectedMode);
    QFETCH(bool, chain);
    QTemporaryDir dir;
    const QString parent = dir.filePath(u"install"_s);
    QVERIFY(QDir().mkdir(parent));
    // Root may give the folder any group; others use their own.
    const gid_t group = ::geteuid() == 0 ? gid_t(4243) : ::getegid();
    const QByteArray parentPath = QFile::encodeName(parent);
    QVERIFY(::chown(parentPath.constData(), uid_t(-1), group) == 0);
    QVERIFY(::chmod(parentPath.constData(), mode_t(parentMode)) == 0);

    const mode_t previous = ::umask(022);
    QStringList made;
    if (chain) {
        platform::createFolders(parent + u"/Relatorio/sub"_s);
        made = {parent + u"/Relatorio"_s, parent + u"/Relatorio/sub"_s};
    } else {
        QVERIFY(platform::createFolder(parent + u"/Relatorio"_s));
        made = {parent + u"/Relatorio"_s};
    }
    ::umask(previous);
    for (const QString& folder : made) {
        struct stat st {};
        QVERIFY(::stat(QFile::encodeName(folder).constData(), &st) == 0);
        QCOMPARE(st.st_gid, group);
        QCOMPARE(int(st.st_mode & 07777), expectedMode);
    }
}

void TestFileOps::copyIntoDescriptor() {
    QTemporaryDir dir;
    const QString source = dir.filePath(u"src.exe"_s);
    const QByteArray content = writePatterned(source, 2 * 1024 * 1024 + 5, 7);
    QVERIFY(::chmod(QFile::encodeName(source).constData(), 06751) == 0);
    const QString target = dir.filePath(u"dst.exe"_s);
    const int fd = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    QVERIFY(fd >= 0);
    platform::copyFileInto(source, fd);
    const QString missing = errorOf<platform::EFileNotFoundException>(
        [&] { platform::copyFileInto(dir.filePath(u"gone.exe"_s), fd); });
    ::close(fd);
    QCOMPARE(readFile(target), content);
    QCOMPARE(permissionsOf(target), 0600); // the source's bits are not the copy's business
    QVERIFY(missing != u"<no error>"_s);
}

void TestFileOps::copyIntoRefusesWhatIsNoFile_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");
    QTest::newRow("a pipe without writer") << u"pipe"_s << u"Not a regular file"_s;
    QTest::newRow("an endless device") << u"/dev/zero"_s << u"Not a regular file"_s;
    QTest::newRow("a link to an endless device") << u"link"_s << u"Not a regular file"_s;
    QTest::newRow("a folder") << u"folder"_s << u"File not found"_s;
}

// Whatever stands at the source's name, the copy ends at once and writes nothing.
void TestFileOps::copyIntoRefusesWhatIsNoFile() {
    QFETCH(QString, kind);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QString source = dir.filePath(u"src"_s);
    if (kind == u"pipe")
        QVERIFY(::mkfifo(QFile::encodeName(source).constData(), 0644) == 0);
    else if (kind == u"link")
        QVERIFY(QFile::link(u"/dev/zero"_s, source));
    else if (kind == u"folder")
        QVERIFY(QDir().mkdir(source));
    else
        source = kind;
    const QString target = dir.filePath(u"dst"_s);
    const int fd = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    QVERIFY(fd >= 0);
    const QString raised =
        errorOf<platform::Exception>([&] { platform::copyFileInto(source, fd); });
    ::close(fd);
    QVERIFY2(raised.startsWith(message), qPrintable(raised));
    QCOMPARE(QFileInfo(target).size(), 0);
}

void TestFileOps::copyAtMostStopsAtTheLimit_data() {
    QTest::addColumn<QString>("source");
    QTest::addColumn<qint64>("size"); // of a patterned source; 0 for source as it is
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<qint64>("copied"); // -1: fails
    const qint64 big = 3 * 1024 * 1024 + 17;
    QTest::newRow("exactly the limit") << QString() << big << big << big;
    QTest::newRow("shorter than the limit") << QString() << big << big + 1 << big;
    QTest::newRow("one byte too many") << QString() << big << big - 1 << qint64(-1);
    QTest::newRow("empty") << QString() << qint64(0) << qint64(0) << qint64(0);
    QTest::newRow("an endless source") << u"/dev/zero"_s << qint64(0) << qint64(4096) << qint64(-1);
}

void TestFileOps::copyAtMostStopsAtTheLimit() {
    QFETCH(QString, source);
    QFETCH(qint64, size);
    QFETCH(qint64, limit);
    QFETCH(qint64, copied);
    QTemporaryDir dir;
    QByteArray content;
    if (source.isEmpty()) {
        source = dir.filePath(u"src"_s);
        content = writePatterned(source, int(size), 13);
    }
    const QString target = dir.filePath(u"dst"_s);
    const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY);
    const int out =
        ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    QVERIFY(in >= 0 && out >= 0);
    qint64 result = -1;
    QString raised;
    try {
        result = platform::copyAtMost(in, out, limit);
    } catch (const platform::EInOutError& e) {
        raised = e.message();
    }
    ::close(in);
    ::close(out);
    QCOMPARE(result, copied);
    if (copied < 0) {
        QCOMPARE(raised, u"The file grew while it was copied"_s);
        QVERIFY(QFileInfo(target).size() <= limit); // never a byte past the limit
    } else {
        QCOMPARE(readFile(target), content);
    }
}

namespace {

// Runs open in a child process whose kernel answers openat2 with ENOSYS, as an
// older kernel would. Returns 0 when it opened, its errno, or -1 when the child
// could not be set up.
int openedWithoutOpenat2(const std::function<int()>& open) {
    const pid_t child = ::fork();
    if (child == 0) {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{sizeof filter / sizeof filter[0], filter};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            ::_exit(255);
        open_how how{};
        how.flags = O_RDONLY;
        if (::syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how) >= 0 || errno != ENOSYS)
            ::_exit(254); // the filter must be what the open meets
        ::_exit(open());
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) >= 254)
        return -1;
    return WEXITSTATUS(status);
}

} // namespace

void TestFileOps::openBeneath_data() {
    QTest::addColumn<QString>("relative");
    QTest::addColumn<int>("withOpenat2");    // 0: opened, else errno
    QTest::addColumn<int>("withoutOpenat2"); // each component without following links
    QTest::newRow("a nested file") << u"sub/file"_s << 0 << 0;
    QTest::newRow("the root itself") << QString() << 0 << 0;
    QTest::newRow("missing") << u"sub/none"_s << ENOENT << ENOENT;
    QTest::newRow("a step up") << u"sub/../sub/file"_s << EXDEV << EXDEV;
    QTest::newRow("a link inside") << u"sub/inside"_s << 0 << ELOOP;
    QTest::newRow("a link to a folder inside") << u"folder/file"_s << 0 << ELOOP;
    QTest::newRow("an absolute link inside") << u"absolute"_s << 0 << ELOOP;
    QTest::newRow("a link out") << u"out"_s << EXDEV << ELOOP;
    QTest::newRow("an absolute link out") << u"absolute-out"_s << EXDEV << ELOOP;
    QTest::newRow("through /proc") << u"proc/self/root/etc/hostname"_s << EXDEV << ELOOP;
}

// The kernel keeps the walk beneath the root; where it cannot, no link is taken.
void TestFileOps::openBeneath() {
    QFETCH(QString, relative);
    QFETCH(int, withOpenat2);
    QFETCH(int, withoutOpenat2);
    QTemporaryDir dir;
    const QString root = dir.filePath(u"root"_s);
    writeFile(root + u"/sub/file"_s, "inside");
    writeFile(dir.filePath(u"outside"_s), "outside");
    QVERIFY(QFile::link(u"file"_s, root + u"/sub/inside"_s));
    QVERIFY(QFile::link(u"sub"_s, root + u"/folder"_s));
    QVERIFY(QFile::link(root + u"/sub/file"_s, root + u"/absolute"_s));
    QVERIFY(QFile::link(u"../outside"_s, root + u"/out"_s));
    QVERIFY(QFile::link(dir.filePath(u"outside"_s), root + u"/absolute-out"_s));
    QVERIFY(QFile::link(u"/proc"_s, root + u"/proc"_s));
    const int rootFd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY);
    QVERIFY(rootFd >= 0);
    const auto closeRoot = qScopeGuard([rootFd] { ::close(rootFd); });
    const QByteArray path = QFile::encodeName(relative);
    const auto open = [rootFd, path] {
        const int fd = platform::openBeneath(rootFd, path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return errno;
        ::close(fd);
        return 0;
    };
    QCOMPARE(open(), withOpenat2);
    QCOMPARE(openedWithoutOpenat2(open), withoutOpenat2);
}

void TestFileOps::describeAge_data() {
    QTest::addColumn<TDateTime>("age");
    QTest::addColumn<QString>("text");
    QTest::newRow("an ordinary time") << platform::encodeDateTime(2022, 6, 23, 75'025'123)
                                      << u"2022-06-23 20:50:25.123 (44735.868346331015)"_s;
    QTest::newRow("year 0001") << platform::encodeDateTime(1, 1, 1, 0)
                               << u"0001-01-01 00:00:00.000 (-693593)"_s;
    QTest::newRow("null age") << 0.0 << u"1899-12-30 00:00:00.000 (0)"_s;
    QTest::newRow("outside the calendar") << 1e300 << u"1.0000000000000001e+300"_s;
}

void TestFileOps::describeAge() {
    QFETCH(TDateTime, age);
    QTEST(platform::describeAge(age), "text");
}

QTEST_GUILESS_MAIN(TestFileOps)
#include "tst_file_ops.moc"
