#include "file_server.h"
#include "fileserver/iso_date_time.h"
#include "fileserver/rest_clients.h"
#include "platform/file_ops.h"
#include "running_file_server.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace Qt::Literals::StringLiterals;
using fileserver::NameKind;
using fileserver::ResolvedName;
using platform::encodeDateTime;
using platform::TDateTime;

Q_DECLARE_METATYPE(fileserver::NameKind)
Q_DECLARE_METATYPE(fileserver::ResolvedName::Outcome)

namespace {

// The central copy of the tests, below <temp>/central; <temp>/secret.txt lies
// outside it.
struct CentralCopy {
    QTemporaryDir dir;
    QString root = dir.filePath(u"central"_s);

    struct File {
        QString name; // "/" separators
        QByteArray content;
        TDateTime age;
    };
    QList<File> files = {
        {u"Appointments.exe"_s, "MZ appointments", encodeDateTime(2022, 6, 23, 75'025'123)},
        {u"common.ini"_s, "[Servidor]\r\n", encodeDateTime(2021, 1, 2, 3'000)},
        {u"noext"_s, "n", encodeDateTime(2020, 5, 5, 0)},
        {u"Relatorio/RelAppointments.rav"_s, "report", encodeDateTime(2022, 6, 20, 29'700'000)},
        {u"Relatorio/Sub/Deep.rav"_s, "deep", encodeDateTime(2019, 9, 9, 999)},
        {u"Big.dll"_s, QByteArray(5 * 1024 * 1024 + 17, 'b'), encodeDateTime(2023, 3, 3, 1)},
    };

    CentralCopy() {
        for (const File& f : files)
            write(root + u'/' + f.name, f.content, f.age);
        write(dir.filePath(u"secret.txt"_s), "secret", 0.5);
    }

    static void write(const QString& path, const QByteArray& content, TDateTime age) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(path));
        file.write(content);
        file.close();
        platform::stampFileAge(path, age);
    }

    const File* find(const QString& name) const {
        for (const File& f : files)
            if (f.name == name)
                return &f;
        return nullptr;
    }
};

QStringList listedNames(const TRESTClientFileList& client) {
    QStringList names;
    for (int i = 0; i < client.Count(); ++i)
        names << client.Items(i)->FileName();
    return names;
}

// --- plain HTTP on a socket: requests exactly as written, answers as they come

int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<quint16>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        qFatal("cannot connect to port %d", port);
    return fd;
}

bool sendAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Waits up to timeoutMs for the peer to close the connection (reading and
// dropping whatever arrives meanwhile).
bool closedByPeer(int fd, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return true;
        }
    }
    return false;
}

struct HttpAnswer {
    int status = 0;                       // 0: no complete answer within the time allowed
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
    QByteArray header(const char* name) const { return headers.value(name); }
};

// Reads one answer from fd: the head, then Content-Length bytes (none for HEAD and 304).
HttpAnswer readAnswer(int fd, bool head = false, int timeoutMs = 5000) {
    HttpAnswer answer;
    QByteArray data;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    qsizetype headEnd = -1;
    qint64 wanted = -1;
    char buffer[65536];
    while (std::chrono::steady_clock::now() < end) {
        if (headEnd < 0 && (headEnd = data.indexOf("\r\n\r\n")) >= 0) {
            const QList<QByteArray> lines = data.left(headEnd).split('\n');
            answer.status = lines.first().split(' ').value(1).toInt();
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                answer.headers[lines[i].left(colon).trimmed().toLower()] =
                    lines[i].mid(colon + 1).trimmed();
            }
            wanted =
                head || answer.status == 304 ? 0 : answer.header("content-length").toLongLong();
        }
        if (headEnd >= 0 && data.size() - headEnd - 4 >= wanted) {
            answer.body = data.mid(headEnd + 4, wanted);
            return answer;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        data.append(buffer, n);
    }
    answer.status = 0;
    return answer;
}

// One request on a connection of its own.
HttpAnswer exchange(int port, const QByteArray& method, const QByteArray& target,
                    const QByteArray& extraHeaders = QByteArray(), int timeoutMs = 5000) {
    const int fd = connectTo(port);
    sendAll(fd, method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders +
                    "Connection: close\r\n\r\n");
    const HttpAnswer answer = readAnswer(fd, method == "HEAD", timeoutMs);
    ::close(fd);
    return answer;
}

// The real program on a free loopback port; stopped with SIGTERM when dropped.
// Its log goes to a file: a pipe nobody reads while a test is busy would fill
// up and hold the server back.
class ServerProgram {
public:
    explicit ServerProgram(const QString& root, const QStringList& extra = {}) {
        m_process.setStandardErrorFile(m_logDir.filePath(u"log"_s));
        m_process.start(QStringLiteral(QUORVIA_FILESERVER_BINARY),
                        QStringList{u"--root"_s, root, u"--listen"_s, u"127.0.0.1:0"_s} + extra);
        static const QRegularExpression serving(uR"(on http://127\.0\.0\.1:(\d+))"_s);
        for (int i = 0; i < 500 && m_process.state() != QProcess::NotRunning; ++i) {
            const QRegularExpressionMatch match = serving.match(QString::fromLocal8Bit(output()));
            if (match.hasMatch()) {
                m_port = match.captured(1).toInt();
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~ServerProgram() { stop(); }

    int port() const { return m_port; }
    QString url() const { return u"http://127.0.0.1:%1"_s.arg(m_port); }
    QByteArray output() const {
        QFile f(m_logDir.filePath(u"log"_s));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // Stops the program; its whole output is then at hand.
    QByteArray stop() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(10000))
                m_process.kill();
            m_process.waitForFinished();
        }
        return output();
    }

private:
    QTemporaryDir m_logDir;
    QProcess m_process;
    int m_port = 0;
};

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray sha256Hex(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

QByteArray reprDigestOf(const QByteArray& bytes) {
    return "sha-256=:" + QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toBase64() +
           ':';
}

// The whole tree's listing, its elements by name ("\" separators); empty when
// the server did not answer with one.
QMap<QString, QJsonObject> listingByName(int port, QByteArray* etag = nullptr) {
    const HttpAnswer a = exchange(port, "GET", "/folderlist?folder=%5C&mask=*.*&recursive=");
    QMap<QString, QJsonObject> listed;
    if (a.status != 200)
        return listed;
    if (etag)
        *etag = a.header("etag");
    for (const QJsonValue& v : QJsonDocument::fromJson(a.body).array())
        listed.insert(v[u"fileName"_s].toString(), v.toObject());
    return listed;
}

// Writes content over path (same inode), then puts its access and modification
// times back as `touch -r` does: only the change time tells.
void rewriteKeepingTimes(const QString& path, const QByteArray& content) {
    const QByteArray name = QFile::encodeName(path);
    struct stat before {};
    if (::stat(name.constData(), &before) != 0)
        qFatal("cannot read the times of %s", name.constData());
    const int fd = ::open(name.constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0 || platform::writeAll(fd, content.constData(), std::size_t(content.size())) != 0)
        qFatal("cannot rewrite %s", name.constData());
    const timespec times[2] = {before.st_atim, before.st_mtim};
    if (::futimens(fd, times) != 0 || ::close(fd) != 0)
        qFatal("cannot put back the times of %s", name.constData());
}

// Asks until ready() holds or timeoutMs pass; the time it took, or -1.
template <typename Ready> qint64 pollUntil(Ready ready, int timeoutMs) {
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (ready())
            return std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                .count();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

} // namespace

class TestFileServer : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // Each download writes a trace line; they would drown the test output.
        QLoggingCategory::setFilterRules(u"quorvia.trace.debug=false"_s);
    }

    void maskMatches_data() {
        QTest::addColumn<QString>("mask");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("matches");
        QTest::newRow("*.* takes names without a dot") << u"*.*"_s << u"noext"_s << true;
        QTest::newRow("empty takes all") << QString() << u"a.b"_s << true;
        QTest::newRow("* takes an empty name") << u"*"_s << QString() << true;
        QTest::newRow("extension, other case") << u"*.exe"_s << u"A.EXE"_s << true;
        QTest::newRow("extension must end the name") << u"*.exe"_s << u"a.exe.bak"_s << false;
        QTest::newRow("? is one character") << u"?.txt"_s << u"a.txt"_s << true;
        QTest::newRow("? is not two") << u"?.txt"_s << u"ab.txt"_s << false;
        QTest::newRow("? is not none") << u"a?"_s << u"a"_s << false;
        QTest::newRow("several stars") << u"a*b*c"_s << u"aXXbYYbc"_s << true;
        QTest::newRow("several stars, no end") << u"a*b*c"_s << u"aXXbYY"_s << false;
        QTest::newRow("prefix without regard to case") << u"REL*"_s << u"relatorio.rav"_s << true;
        QTest::newRow("literal name") << u"common.ini"_s << u"Common.INI"_s << true;
        QTest::newRow("literal name differs") << u"common.ini"_s << u"common.in"_s << false;
        QTest::newRow("non-ASCII case") << u"relatório*"_s << u"RELATÓRIO.rav"_s << true;
    }
    void maskMatches() {
        QFETCH(QString, mask);
        QFETCH(QString, name);
        QFETCH(bool, matches);
        QCOMPARE(fileserver::maskMatches(mask, name), matches);
    }

    void resolveName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<NameKind>("kind");
        QTest::addColumn<ResolvedName::Outcome>("outcome");
        QTest::addColumn<QString>("found"); // relative to the root, "/" separators
        using O = ResolvedName::Outcome;
        QTest::newRow("exact") << u"Appointments.exe"_s << NameKind::File << O::Found
                               << u"Appointments.exe"_s;
        QTest::newRow("other case")
            << u"APPOINTMENTS.EXE"_s << NameKind::File << O::Found << u"Appointments.exe"_s;
        QTest::newRow("subfolder, backslash")
            << u"relatorio\\relappointments.RAV"_s << NameKind::File << O::Found
            << u"Relatorio/RelAppointments.rav"_s;
        QTest::newRow("subfolder, slash") << u"Relatorio/Sub/deep.rav"_s << NameKind::File
                                          << O::Found << u"Relatorio/Sub/Deep.rav"_s;
        QTest::newRow("root folder") << u"\\"_s << NameKind::Folder << O::Found << QString();
        QTest::newRow("folder from the root")
            << u"\\RELATORIO"_s << NameKind::Folder << O::Found << u"Relatorio"_s;
        QTest::newRow("missing file")
            << u"Nope.exe"_s << NameKind::File << O::NotFound << QString();
        QTest::newRow("folder is not a file")
            << u"Relatorio"_s << NameKind::File << O::NotFound << QString();
        QTest::newRow("file is not a folder")
            << u"common.ini"_s << NameKind::Folder << O::NotFound << QString();
        QTest::newRow("through a file")
            << u"common.ini\\x"_s << NameKind::File << O::NotFound << QString();
        QTest::newRow("parent") << u"..\\secret.txt"_s << NameKind::File << O::Forbidden
                                << QString();
        QTest::newRow("parent inside")
            << u"Relatorio\\..\\..\\secret.txt"_s << NameKind::File << O::Forbidden << QString();
        QTest::newRow("parent that stays inside")
            << u"Relatorio\\..\\common.ini"_s << NameKind::File << O::Forbidden << QString();
        QTest::newRow("parent folder") << u".."_s << NameKind::Folder << O::Forbidden << QString();
        QTest::newRow("absolute file")
            << u"/etc/passwd"_s << NameKind::File << O::Forbidden << QString();
        QTest::newRow("rooted file")
            << u"\\common.ini"_s << NameKind::File << O::Forbidden << QString();
        QTest::newRow("drive") << u"C:\\Windows\\win.ini"_s << NameKind::File << O::Forbidden
                               << QString();
        QTest::newRow("drive-relative")
            << u"c:common.ini"_s << NameKind::File << O::Forbidden << QString();
        QTest::newRow("network path")
            << u"\\\\server\\share\\a"_s << NameKind::Folder << O::Forbidden << QString();
        QTest::newRow("control character")
            << u"common.ini\n"_s << NameKind::File << O::Forbidden << QString();
        QTest::newRow("link out of the root")
            << u"outside.txt"_s << NameKind::File << O::Forbidden << QString();
    }
    void resolveName() {
        QFETCH(QString, name);
        QFETCH(NameKind, kind);
        QFETCH(ResolvedName::Outcome, outcome);
        QFETCH(QString, found);
        CentralCopy central;
        QVERIFY(
            QFile::link(central.dir.filePath(u"secret.txt"_s), central.root + u"/outside.txt"_s));
        const ResolvedName r = fileserver::resolveName(central.root, name, kind);
        QCOMPARE(r.outcome, outcome);
        if (outcome == ResolvedName::Outcome::Found)
            QCOMPARE(QFileInfo(r.path).canonicalFilePath(),
                     QFileInfo(central.root + u'/' + found).canonicalFilePath());
    }

    void listing_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("mask");
        QTest::addColumn<bool>("recursive");
        QTest::addColumn<QStringList>("names"); // relative to the root, "/" separators
        QTest::addColumn<QString>("prefix");    // the listed folder's part of those names
        const QStringList all = {
            u"Appointments.exe"_s,       u"Big.dll"_s,    u"Relatorio/RelAppointments.rav"_s,
            u"Relatorio/Sub/Deep.rav"_s, u"common.ini"_s, u"noext"_s};
        QTest::newRow("the whole tree") << u"\\"_s << u"*.*"_s << true << all << QString();
        QTest::newRow("top level only")
            << u"\\"_s << u"*.*"_s << false
            << QStringList{u"Appointments.exe"_s, u"Big.dll"_s, u"common.ini"_s, u"noext"_s}
            << QString();
        QTest::newRow("no parameters")
            << QString() << QString() << false
            << QStringList{u"Appointments.exe"_s, u"Big.dll"_s, u"common.ini"_s, u"noext"_s}
            << QString();
        QTest::newRow("mask on names in every folder")
            << u"\\"_s << u"*.RAV"_s << true
            << QStringList{u"Relatorio/RelAppointments.rav"_s, u"Relatorio/Sub/Deep.rav"_s}
            << QString();
        QTest::newRow("subfolder, names relative to it")
            << u"relatorio"_s << u"*.*"_s << true
            << QStringList{u"Relatorio/RelAppointments.rav"_s, u"Relatorio/Sub/Deep.rav"_s}
            << u"Relatorio/"_s;
        QTest::newRow("question mark") << u"\\"_s << u"?ppointments.*"_s << true
                                       << QStringList{u"Appointments.exe"_s} << QString();
        QTest::newRow("nothing matches")
            << u"\\"_s << u"*.pdf"_s << true << QStringList{} << QString();
    }
    void listing() {
        QFETCH(QString, folder);
        QFETCH(QString, mask);
        QFETCH(bool, recursive);
        QFETCH(QStringList, names);
        QFETCH(QString, prefix);
        CentralCopy central;
        RunningFileServer server(central.root);
        TRESTClientFileList client(server.url());
        QVERIFY(client.Execute(folder, mask, recursive));
        QStringList expected;
        for (const QString& n : names)
            expected << QString(n).remove(0, prefix.size()).replace(u'/', u'\\');
        QCOMPARE(listedNames(client), expected);
        for (int i = 0; i < client.Count(); ++i) {
            const auto* file = central.find(names[i]);
            QVERIFY(file);
            QCOMPARE(client.Items(i)->Age(), file->age);
        }
    }

    void listingBodyShape() {
        CentralCopy central;
        const QByteArray body =
            fileserver::folderListBody(central.root + u"/Relatorio"_s, u"*.*"_s, false);
        // The fields of old in their order, then the size and the SHA-256 of "report".
        QCOMPARE(
            body,
            QByteArray(
                R"([{"fileName":"RelAppointments.rav","age":"2022-06-20T08:15:00.000",)"
                R"("size":6,"sha256":"845e91831319e89c4d656bdb80c278ac09a7230d61e5dfd2e1b1fbb436ac8917"}])"));
    }

    void refusedRequests_data() {
        QTest::addColumn<bool>("download"); // else a listing of the folder
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("status");
        QTest::newRow("unknown file") << true << u"Nope.exe"_s << 404;
        QTest::newRow("unknown folder") << false << u"Nope"_s << 404;
        QTest::newRow("parent file") << true << u"..\\secret.txt"_s << 403;
        QTest::newRow("parent through a folder") << true << u"Relatorio/../../secret.txt"_s << 403;
        QTest::newRow("absolute path") << true << u"/etc/passwd"_s << 403;
        QTest::newRow("drive") << true << u"C:\\secret.txt"_s << 403;
        QTest::newRow("parent folder") << false << u"..\\"_s << 403;
        QTest::newRow("network folder") << false << u"\\\\server\\share"_s << 403;
    }
    void refusedRequests() {
        QFETCH(bool, download);
        QFETCH(QString, name);
        QFETCH(int, status);
        CentralCopy central;
        RunningFileServer server(central.root);
        if (download) {
            TRESTClientDownload client(server.url());
            const QString target = central.dir.filePath(u"fetched"_s);
            QVERIFY(!client.Download(name, target));
            QVERIFY(!QFile::exists(target));
            // The message is the error body.
            const auto record = fileserver::fileInfoErrorFromJSONObject(client.LastError());
            QCOMPARE(record->Status(), status);
            QVERIFY(!record->Error().isEmpty());
            QVERIFY(!record->Detail().isEmpty());
        } else {
            TRESTClientFileList client(server.url());
            QVERIFY(!client.Execute(name, u"*.*"_s, true));
            QCOMPARE(client.Error().Status(), status);
            QCOMPARE(client.Count(), 0);
        }
    }

    void downloadsByAnyLetterCase() {
        CentralCopy central;
        RunningFileServer server(central.root);
        TRESTClientDownload client(server.url());
        const QString target = central.dir.filePath(u"r.rav"_s);
        QVERIFY(client.Download(u"RELATORIO\\relappointments.rav"_s, target));
        QFile f(target);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("report"));
    }

    void concurrentClientsAndOneLogLinePerRequest() {
        CentralCopy central;
        RunningFileServer server(central.root, 8);
        constexpr int clients = 12;
        constexpr int rounds = 3;
        std::atomic<int> failures = 0;
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c) {
            threads.emplace_back([&, c] {
                // One client object per thread, reused: keep-alive between requests.
                TRESTClientDownload client(server.url());
                for (int r = 0; r < rounds; ++r) {
                    for (const auto& file : central.files) {
                        const QString target = central.dir.filePath(
                            u"c%1-%2"_s.arg(c).arg(QFileInfo(file.name).fileName()));
                        QFile::remove(target);
                        bool ok = client.Download(QString(file.name).replace(u'/', u'\\'), target);
                        QFile f(target);
                        ok = ok && f.open(QIODevice::ReadOnly) && f.readAll() == file.content;
                        if (!ok)
                            ++failures;
                    }
                }
            });
        }
        for (auto& t : threads)
            t.join();
        QCOMPARE(failures.load(), 0);
        server.stop();
        const QStringList log = server.log();
        QCOMPARE(log.size(), clients * rounds * int(central.files.size()));
        QVERIFY2(
            log.first().contains(QRegularExpression(
                uR"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z 127\.0\.0\.1 "GET /download\?file=\S+" 200 \d+ \d+\.\d{3}ms$)"_s)),
            qPrintable(log.first()));
    }

    // --- what a file is: sizes, digests, versions -------------------------

    void listingCarriesSizesAndDigests() {
        CentralCopy central;
        RunningFileServer server(central.root);
        QByteArray listingEtag;
        QMap<QString, QJsonObject> listed = listingByName(server.port(), &listingEtag);
        QCOMPARE(listed.size(), central.files.size());
        for (const CentralCopy::File& f : central.files) {
            const QJsonObject item = listed.value(QString(f.name).replace(u'/', u'\\'));
            QVERIFY2(item.value(u"size"_s).isDouble(), qPrintable(f.name));
            QCOMPARE(item.value(u"size"_s).toInteger(), f.content.size());
            QCOMPARE(item.value(u"sha256"_s).toString().toLatin1(), sha256Hex(f.content));
        }

        // Same size, the modification time put back: only the change time
        // and the bytes tell. The next listing has the new digest, the
        // download a new tag.
        const QByteArray target = "/download?file=common.ini";
        const HttpAnswer before = exchange(server.port(), "GET", target);
        QCOMPARE(before.status, 200);
        const QByteArray changed = "[SERVIDOR]\r\n";
        QCOMPARE(changed.size(), central.find(u"common.ini"_s)->content.size());
        rewriteKeepingTimes(central.root + u"/common.ini"_s, changed);
        QByteArray newEtag;
        const QMap<QString, QJsonObject> again = listingByName(server.port(), &newEtag);
        const QJsonObject item = again.value(u"common.ini"_s);
        QCOMPARE(item.value(u"age"_s), listed.value(u"common.ini"_s).value(u"age"_s));
        QCOMPARE(item.value(u"size"_s).toInteger(), changed.size());
        QCOMPARE(item.value(u"sha256"_s).toString().toLatin1(), sha256Hex(changed));
        QVERIFY(newEtag != listingEtag);
        const HttpAnswer after = exchange(server.port(), "GET", target);
        QCOMPARE(after.status, 200);
        QCOMPARE(after.body, changed);
        QVERIFY2(after.header("etag") != before.header("etag"), after.header("etag").constData());
        QCOMPARE(after.header("repr-digest"), reprDigestOf(changed));
        // The old tag no longer confirms a cached copy.
        QCOMPARE(exchange(server.port(), "GET", target,
                          "If-None-Match: " + before.header("etag") + "\r\n")
                     .status,
                 200);
    }

    void downloadsCarryTheDigestOfTheirBytes() {
        CentralCopy central;
        fileserver::ServerLimits limits;
        limits.threads = 4;
        limits.recheckInterval = 0; // nothing but inotify tells the catalogue of changes
        RunningFileServer server(central.root, limits);
        QCOMPARE(listingByName(server.port()).size(), central.files.size());
        for (const QByteArray& name :
             {"common.ini"_ba, "Big.dll"_ba, "Relatorio%5CSub%5CDeep.rav"_ba}) {
            const QByteArray target = "/download?file=" + name;
            const HttpAnswer get = exchange(server.port(), "GET", target, {}, 10000);
            QCOMPARE(get.status, 200);
            QVERIFY(!get.body.isEmpty());
            QCOMPARE(get.header("repr-digest"), reprDigestOf(get.body));
            const HttpAnswer head = exchange(server.port(), "HEAD", target);
            QCOMPARE(head.status, 200);
            QCOMPARE(head.header("repr-digest"), reprDigestOf(get.body));
            // A part: the digest still of the whole representation.
            const HttpAnswer part = exchange(server.port(), "GET", target, "Range: bytes=0-0\r\n");
            QCOMPARE(part.status, 206);
            QCOMPARE(part.header("repr-digest"), reprDigestOf(get.body));
        }

        // Written through a hard link from outside the root: inotify does not
        // tell, the catalogue still knows only the old version. The new bytes
        // go out without a digest, never with the old one.
        const QString outside = central.dir.filePath(u"outside-link"_s);
        QVERIFY(::link(QFile::encodeName(central.root + u"/noext"_s).constData(),
                       QFile::encodeName(outside).constData()) == 0);
        rewriteKeepingTimes(outside, "m");
        const HttpAnswer edited = exchange(server.port(), "GET", "/download?file=noext");
        QCOMPARE(edited.status, 200);
        QCOMPARE(edited.body, QByteArray("m"));
        QVERIFY2(!edited.headers.contains("repr-digest"), edited.header("repr-digest").constData());
        QCOMPARE(
            listingByName(server.port()).value(u"noext"_s).value(u"sha256"_s).toString().toLatin1(),
            sha256Hex("n"));
    }

    // A file rewritten while it is being hashed gets no digest for what was
    // read: the listing has none, or the digest of one whole content.
    void fileWrittenWhileHashedGetsNoMixedDigest() {
        CentralCopy central;
        const QByteArray first(16 << 20, 'a');
        const QByteArray second(16 << 20, 'b');
        const QString path = central.root + u"/Busy.dll"_s;
        CentralCopy::write(path, first, 1.0);
        fileserver::ServerLimits limits;
        limits.threads = 4;
        limits.recheckInterval = 0;
        RunningFileServer server(central.root, limits);
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        std::atomic<bool> stop = false;
        std::thread writer([&] {
            // In place, same size, one content after the other; the second last.
            for (int i = 0; !stop; ++i) {
                const QByteArray& content = i % 2 == 0 ? first : second;
                ::pwrite(fd, content.constData(), std::size_t(content.size()), 0);
            }
            ::pwrite(fd, second.constData(), std::size_t(second.size()), 0);
        });
        const QList<QString> whole = {QString::fromLatin1(sha256Hex(first)),
                                      QString::fromLatin1(sha256Hex(second))};
        QStringList mixed;
        for (int i = 0; i < 15; ++i) {
            const QJsonObject item = listingByName(server.port()).value(u"Busy.dll"_s);
            if (item.contains(u"sha256"_s) && !whole.contains(item.value(u"sha256"_s).toString()))
                mixed << item.value(u"sha256"_s).toString();
        }
        stop = true;
        writer.join();
        ::close(fd);
        QVERIFY2(mixed.isEmpty(), qPrintable(mixed.join(u' ')));
        // Left alone, it is listed with the digest of its last content.
        QVERIFY(pollUntil(
                    [&] {
                        return listingByName(server.port())
                                   .value(u"Busy.dll"_s)
                                   .value(u"sha256"_s)
                                   .toString() == whole.last();
                    },
                    10000) >= 0);
    }

    // The re-check finds what inotify cannot see: a file written through a
    // hard link from outside the root, its modification time put back.
    void recheckFindsChangesThroughAnOutsideLink() {
        CentralCopy central;
        const QString outside = central.dir.filePath(u"outside-link"_s);
        QVERIFY(
            ::link(
                QFile::encodeName(central.root + u"/Relatorio/RelAppointments.rav"_s).constData(),
                QFile::encodeName(outside).constData()) == 0);
        fileserver::ServerLimits limits;
        limits.threads = 4;
        limits.recheckInterval = 1;
        RunningFileServer server(central.root, limits);
        const QString name = u"Relatorio\\RelAppointments.rav"_s;
        QCOMPARE(listingByName(server.port()).value(name).value(u"sha256"_s).toString().toLatin1(),
                 sha256Hex("report"));
        rewriteKeepingTimes(outside, "REPORT");
        const qint64 tookMs = pollUntil(
            [&] {
                return listingByName(server.port())
                           .value(name)
                           .value(u"sha256"_s)
                           .toString()
                           .toLatin1() == sha256Hex("REPORT");
            },
            10000);
        QVERIFY2(tookMs >= 0, "the change through the outside link was never listed");
        qInfo("listed after %lld ms", static_cast<long long>(tookMs));
        const HttpAnswer a =
            exchange(server.port(), "GET", "/download?file=" + QUrl::toPercentEncoding(name));
        QCOMPARE(a.body, QByteArray("REPORT"));
        QCOMPARE(a.header("repr-digest"), reprDigestOf("REPORT"));

        // Another age and size through the link as well.
        const TDateTime newAge = encodeDateTime(2025, 5, 6, 7'008);
        CentralCopy::write(outside, "a longer report", newAge);
        QVERIFY(pollUntil(
                    [&] {
                        const QJsonObject item = listingByName(server.port()).value(name);
                        return item.value(u"size"_s).toInteger() == 15 &&
                               fileserver::isoToDateTime(item.value(u"age"_s).toString()) == newAge;
                    },
                    10000) >= 0);
    }

    // A listing costs no hashing, nor does a re-check that finds the tree as
    // it was: only a new version is read.
    void unchangedTreeIsNotHashedAgain() {
        CentralCopy central;
        RunningFileServer server(central.root);
        QByteArray etag;
        QCOMPARE(listingByName(server.port(), &etag).size(), central.files.size());
        const quint64 hashed = server.server().hashedFiles();
        QCOMPARE(hashed, quint64(central.files.size()));
        for (const QByteArray& query :
             {"folder=%5C&mask=*.*&recursive="_ba, "folder=Relatorio&mask=*.rav"_ba,
              "folder=%5C&mask=*.exe"_ba})
            for (int i = 0; i < 3; ++i)
                QCOMPARE(exchange(server.port(), "GET", "/folderlist?" + query).status, 200);
        QCOMPARE(server.server().hashedFiles(), hashed);
        // One file changed: that one is read again.
        CentralCopy::write(central.root + u"/noext"_s, "N", encodeDateTime(2020, 5, 5, 1));
        QCOMPARE(
            listingByName(server.port()).value(u"noext"_s).value(u"sha256"_s).toString().toLatin1(),
            sha256Hex("N"));
        QCOMPARE(server.server().hashedFiles(), hashed + 1);

        // The catalogue re-checked by hand: the same tree keeps its digests
        // and its answers; a change only a re-check can see reads that file alone.
        const fileserver::ServedRoot root(central.root);
        fileserver::FileCatalogue catalogue(central.root, root.fd());
        const auto first = catalogue.listing(QString(), u"*.*"_s, true);
        const quint64 read = catalogue.hashedFiles();
        QCOMPARE(read, quint64(central.files.size()));
        for (int i = 0; i < 3; ++i)
            catalogue.maintain(true);
        QCOMPARE(catalogue.hashedFiles(), read);
        QCOMPARE(catalogue.listing(QString(), u"*.*"_s, true)->etag, first->etag);
        const QString outside = central.dir.filePath(u"outside-link"_s);
        QVERIFY(::link(QFile::encodeName(central.root + u"/common.ini"_s).constData(),
                       QFile::encodeName(outside).constData()) == 0);
        rewriteKeepingTimes(outside, "[SERVIDOR]\r\n");
        QCOMPARE(catalogue.listing(QString(), u"*.*"_s, true)->etag, first->etag); // unseen yet
        catalogue.maintain(true);
        const auto after = catalogue.listing(QString(), u"*.*"_s, true);
        QVERIFY(after->etag != first->etag);
        QVERIFY2(after->body.contains(sha256Hex("[SERVIDOR]\r\n")), after->body.constData());
        QCOMPARE(catalogue.hashedFiles(), read + 1);
    }

    // --- the root followed -------------------------------------------------

    void followsTheRootToAnotherFolder_data() {
        QTest::addColumn<bool>("linkFlip"); // else a folder renamed into place
        QTest::newRow("link switched: ln -sfn + mv -T") << true;
        QTest::newRow("folder renamed into place") << false;
    }
    void followsTheRootToAnotherFolder() {
        QFETCH(bool, linkFlip);
        QTemporaryDir dir;
        const QString v1 = dir.filePath(u"releases/v1"_s);
        const QString v2 = dir.filePath(u"releases/v2"_s);
        CentralCopy::write(v1 + u"/Appointments.exe"_s, "v1", 1.0);
        CentralCopy::write(v1 + u"/common.ini"_s, "one", 1.0);
        CentralCopy::write(v2 + u"/Appointments.exe"_s, "second release", 2.0);
        CentralCopy::write(v2 + u"/New.exe"_s, "new", 2.0);
        const QByteArray root = QFile::encodeName(dir.filePath(linkFlip ? u"cur"_s : u"central"_s));
        if (linkFlip)
            QVERIFY(::symlink("releases/v1", root.constData()) == 0);
        else
            QVERIFY(::rename(QFile::encodeName(v1).constData(), root.constData()) == 0);
        ServerProgram server(QFile::decodeName(root));
        QVERIFY(server.port() > 0);
        QCOMPARE(listingByName(server.port()).keys(),
                 (QList<QString>{u"Appointments.exe"_s, u"common.ini"_s}));

        if (linkFlip) {
            const QByteArray tmp = root + ".tmp";
            QVERIFY(::symlink("releases/v2", tmp.constData()) == 0);
            QVERIFY(::rename(tmp.constData(), root.constData()) == 0);
        } else {
            QVERIFY(::rename(root.constData(), (root + ".old").constData()) == 0);
            QVERIFY(::rename(QFile::encodeName(v2).constData(), root.constData()) == 0);
        }
        const qint64 tookMs = pollUntil(
            [&] {
                return listingByName(server.port()).keys() ==
                       QList<QString>{u"Appointments.exe"_s, u"New.exe"_s};
            },
            10000);
        QVERIFY2(tookMs >= 0, server.output().constData());
        qInfo("the new folder was served after %lld ms", static_cast<long long>(tookMs));
        const QMap<QString, QJsonObject> listed = listingByName(server.port());
        QCOMPARE(listed.value(u"Appointments.exe"_s).value(u"sha256"_s).toString().toLatin1(),
                 sha256Hex("second release"));
        const HttpAnswer a = exchange(server.port(), "GET", "/download?file=Appointments.exe");
        QCOMPARE(a.body, QByteArray("second release"));
        QCOMPARE(a.header("repr-digest"), reprDigestOf("second release"));
        QCOMPARE(exchange(server.port(), "GET", "/download?file=common.ini").status, 404);
        const QByteArray log = server.stop();
        QVERIFY2(log.contains("names another folder now"), log.constData());
    }

    // --- the program itself ------------------------------------------------

    void programServesAndStopsOnSignal() {
        CentralCopy central;
        QProcess server;
        server.start(QStringLiteral(QUORVIA_FILESERVER_BINARY),
                     {u"--root"_s, central.root, u"--listen"_s, u"127.0.0.1:0"_s});
        QVERIFY(server.waitForStarted());
        server.setReadChannel(QProcess::StandardError);
        QByteArray output;
        static const QRegularExpression serving(uR"(on http://127\.0\.0\.1:(\d+))"_s);
        QRegularExpressionMatch match;
        while (!(match = serving.match(QString::fromLocal8Bit(output))).hasMatch()) {
            QVERIFY2(server.waitForReadyRead(), output.constData());
            output += server.readAllStandardError();
        }
        const QString url = u"http://127.0.0.1:"_s + match.captured(1);

        {
            // Clients closed before the stop: idle keep-alive connections would
            // hold the stop back until their keep-alive time ends.
            TRESTClientFileList list(url);
            QVERIFY(list.Execute(u"\\"_s, u"*.*"_s, true));
            QCOMPARE(list.Count(), int(central.files.size()));
            TRESTClientDownload download(url);
            const QString target = central.dir.filePath(u"fetched.exe"_s);
            QVERIFY(download.Download(u"appointments.exe"_s, target));
        }
        server.terminate(); // SIGTERM
        QVERIFY(server.waitForFinished());
        QCOMPARE(server.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.exitCode(), 0);
        output += server.readAllStandardError();
        QVERIFY2(output.contains(R"("GET /folderlist?folder=%5C&mask=*.*&recursive=" 200)"),
                 output.constData());
        QVERIFY2(output.contains(R"("GET /download?file=appointments.exe" 200 15)"),
                 output.constData());
    }

    void programUsage_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("nothing") << QStringList{} << 64;
        QTest::newRow("root without value") << QStringList{u"--root"_s} << 64;
        QTest::newRow("unknown option") << QStringList{u"--root"_s, u"."_s, u"--bogus"_s} << 64;
        QTest::newRow("listen without port")
            << QStringList{u"--root"_s, u"."_s, u"--listen"_s, u"localhost"_s} << 64;
        QTest::newRow("port out of range")
            << QStringList{u"--root"_s, u"."_s, u"--listen"_s, u"127.0.0.1:70000"_s} << 64;
        QTest::newRow("no threads")
            << QStringList{u"--root"_s, u"."_s, u"--threads"_s, u"0"_s} << 64;
        QTest::newRow("re-check not a number")
            << QStringList{u"--root"_s, u"."_s, u"--recheck"_s, u"often"_s} << 64;
        QTest::newRow("negative re-check")
            << QStringList{u"--root"_s, u"."_s, u"--recheck=-1"_s} << 64;
        QTest::newRow("missing root") << QStringList{u"--root"_s, u"/no/such/folder"_s} << 66;
    }
    void programUsage() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QProcess server;
        server.start(QStringLiteral(QUORVIA_FILESERVER_BINARY), arguments);
        QVERIFY(server.waitForFinished());
        QCOMPARE(server.exitCode(), exitCode);
        QVERIFY(!server.readAllStandardError().isEmpty());
    }

    void listingFollowsChangesOfTheTree() {
        CentralCopy central;
        RunningFileServer server(central.root);
        TRESTClientFileList client(server.url());
        QVERIFY(client.Execute(u"\\"_s, u"*.*"_s, true));
        QCOMPARE(client.Count(), int(central.files.size()));

        const TDateTime newAge = encodeDateTime(2024, 1, 2, 3'004);
        CentralCopy::write(central.root + u"/Relatorio/Sub/New.rav"_s, "new", newAge);
        const TDateTime changedAge = encodeDateTime(2024, 2, 3, 4'005);
        CentralCopy::write(central.root + u"/common.ini"_s, "[Servidor]\r\nurl=x\r\n", changedAge);
        QVERIFY(QFile::remove(central.root + u"/noext"_s));

        TRESTClientFileList again(server.url());
        QVERIFY(again.Execute(u"\\"_s, u"*.*"_s, true));
        const QStringList names = listedNames(again);
        QVERIFY2(names.contains(u"Relatorio\\Sub\\New.rav"_s), qPrintable(names.join(u' ')));
        QVERIFY(!names.contains(u"noext"_s));
        for (int i = 0; i < again.Count(); ++i) {
            if (again.Items(i)->FileName() == u"common.ini"_s)
                QCOMPARE(again.Items(i)->Age(), changedAge);
            if (again.Items(i)->FileName() == u"Relatorio\\Sub\\New.rav"_s)
                QCOMPARE(again.Items(i)->Age(), newAge);
        }
    }

    // --- the program on loopback, under normal use and abuse ---------------

    void listingShowsOnlyWhatIsServed() {
        CentralCopy central;
        const QString outsideFolder = central.dir.filePath(u"outside"_s);
        QVERIFY(QDir().mkpath(outsideFolder));
        CentralCopy::write(outsideFolder + u"/leak.txt"_s, "leak", 1.0);
        QVERIFY(QFile::link(central.dir.filePath(u"secret.txt"_s), central.root + u"/out.txt"_s));
        QVERIFY(QFile::link(outsideFolder, central.root + u"/OutFolder"_s));
        QVERIFY(QFile::link(central.root + u"/common.ini"_s, central.root + u"/Inside.ini"_s));
        QVERIFY(QFile::link(u"../common.ini"_s, central.root + u"/Relatorio/Relative.ini"_s));
        QVERIFY(::mkfifo(QFile::encodeName(central.root + u"/pipe"_s).constData(), 0644) == 0);

        ServerProgram server(central.root);
        QVERIFY(server.port() > 0);
        TRESTClientFileList list(server.url());
        QVERIFY(list.Execute(u"\\"_s, u"*.*"_s, true));
        const QStringList names = listedNames(list);
        QVERIFY2(names.contains(u"Inside.ini"_s), qPrintable(names.join(u' ')));
        QVERIFY(names.contains(u"Relatorio\\Relative.ini"_s));
        QVERIFY(!names.contains(u"out.txt"_s));
        QVERIFY(!names.contains(u"pipe"_s));
        QVERIFY(!names.contains(u"OutFolder\\leak.txt"_s));
        QCOMPARE(names.size(), int(central.files.size()) + 2);

        // Each listed file downloads; each left out is refused, without waiting
        // on the FIFO.
        for (const QString& name : names)
            QVERIFY2(
                exchange(server.port(), "GET", "/download?file=" + QUrl::toPercentEncoding(name))
                        .status == 200,
                qPrintable(name));
        QCOMPARE(exchange(server.port(), "GET", "/download?file=out.txt").status, 403);
        QCOMPARE(exchange(server.port(), "GET", "/download?file=OutFolder%5Cleak.txt").status, 403);
        QCOMPARE(exchange(server.port(), "GET", "/download?file=pipe").status, 404);
        QCOMPARE(exchange(server.port(), "GET", "/folderlist?folder=OutFolder").status, 403);
    }

    // A link swapped in for a file or a folder between the check of a name
    // and the read must never lead outside: a bounded race, many rounds.
    void linkSwapRaceNeverLeaks() {
        CentralCopy central;
        const QByteArray secret = readFile(central.dir.filePath(u"secret.txt"_s));
        const QString outsideFolder = central.dir.filePath(u"outside"_s);
        QVERIFY(QDir().mkpath(outsideFolder));
        CentralCopy::write(outsideFolder + u"/x.txt"_s, secret, 1.0);
        QVERIFY(QDir().mkpath(central.root + u"/Swap"_s));
        CentralCopy::write(central.root + u"/Swap/x.txt"_s, "inside", 1.0);
        CentralCopy::write(central.root + u"/swap.txt"_s, "inside", 1.0);
        ServerProgram server(central.root);
        QVERIFY(server.port() > 0);

        std::atomic<bool> stop = false;
        std::thread swapper([&] {
            const QByteArray root = QFile::encodeName(central.root);
            const QByteArray secretPath = QFile::encodeName(central.dir.filePath(u"secret.txt"_s));
            const QByteArray outsidePath = QFile::encodeName(outsideFolder);
            const QByteArray insideFolder = root + "/SwapInside";
            ::rename((root + "/Swap").constData(), insideFolder.constData());
            for (int i = 0; !stop; ++i) {
                const QByteArray tmp = root + "/.tmp";
                const QByteArray tmpFile = root + "/.tmpfile";
                if (i % 2 == 0) {
                    ::symlink(secretPath.constData(), tmp.constData());
                    ::rename(tmp.constData(), (root + "/swap.txt").constData());
                    ::symlink(outsidePath.constData(), tmp.constData());
                    ::rename(tmp.constData(), (root + "/Swap").constData());
                } else {
                    QFile f(QFile::decodeName(tmpFile));
                    if (f.open(QIODevice::WriteOnly))
                        f.write("inside");
                    f.close();
                    ::rename(tmpFile.constData(), (root + "/swap.txt").constData());
                    ::symlink("SwapInside", tmp.constData());
                    ::rename(tmp.constData(), (root + "/Swap").constData());
                }
            }
        });
        int served = 0;
        int leaked = 0;
        for (int i = 0; i < 600; ++i) {
            for (const QByteArray& target : {QByteArray("/download?file=swap.txt"),
                                             QByteArray("/download?file=Swap%5Cx.txt")}) {
                const HttpAnswer a = exchange(server.port(), "GET", target);
                if (a.status == 200) {
                    ++served;
                    if (a.body != "inside")
                        ++leaked;
                }
            }
        }
        stop = true;
        swapper.join();
        QCOMPARE(leaked, 0);
        QVERIFY2(served > 0, "the race never let an inside file through: it tested nothing");
    }

    void pathForms_data() {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body"); // a file's bytes, or a part of the listing
        QTest::newRow("download") << "/download?file=common.ini"_ba << 200 << "[Servidor]\r\n"_ba;
        QTest::newRow("download, base URL with a trailing slash")
            << "//download?file=common.ini"_ba << 200 << "[Servidor]\r\n"_ba;
        QTest::newRow("download, three slashes")
            << "///download?file=Relatorio%5CSub%5CDeep.rav"_ba << 200 << "deep"_ba;
        QTest::newRow("listing, base URL with a trailing slash")
            << "//folderlist?folder=%5C&mask=*.*&recursive="_ba << 200
            << QByteArray(R"("fileName":"Relatorio\\Sub\\Deep.rav")");
        QTest::newRow("listing below a path")
            << "/central//folderlist?folder=%5C"_ba << 404 << QByteArray();
        QTest::newRow("unknown route") << "/upload?file=x"_ba << 404 << QByteArray();
        QTest::newRow("root") << "/"_ba << 404 << QByteArray();
        QTest::newRow("download without a name") << "/download"_ba << 400 << QByteArray();
        QTest::newRow("space as plus") << "/download?file=With+Space.txt"_ba << 200 << "spaced"_ba;
    }
    void pathForms() {
        QFETCH(QByteArray, target);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        CentralCopy central;
        CentralCopy::write(central.root + u"/With Space.txt"_s, "spaced", 1.0);
        ServerProgram server(central.root);
        QVERIFY(server.port() > 0);
        const HttpAnswer a = exchange(server.port(), "GET", target);
        QCOMPARE(a.status, status);
        if (status == 200) {
            QVERIFY2(a.body.contains(body), a.body.constData());
        } else {
            // Every refusal carries the error record.
            const auto record = fileserver::fileInfoErrorFromJSONObject(QString::fromUtf8(a.body));
            QCOMPARE(record->Status(), status);
            QVERIFY(!record->Detail().isEmpty());
        }
    }

    void ranges_data() {
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("contentRange");
        QTest::addColumn<QByteArray>("body");
        // common.ini holds "[Servidor]\r\n", 12 bytes.
        QTest::newRow("first bytes") << "Range: bytes=0-3\r\n"_ba << 206 << "bytes 0-3/12"_ba
                                     << "[Ser"_ba;
        QTest::newRow("from an offset") << "Range: bytes=8-\r\n"_ba << 206 << "bytes 8-11/12"_ba
                                        << "r]\r\n"_ba;
        QTest::newRow("last bytes") << "Range: bytes=-2\r\n"_ba << 206 << "bytes 10-11/12"_ba
                                    << "\r\n"_ba;
        QTest::newRow("end past the size")
            << "Range: bytes=10-99\r\n"_ba << 206 << "bytes 10-11/12"_ba
            << "\r\n"_ba;
        QTest::newRow("more than the file from the end")
            << "Range: bytes=-99\r\n"_ba << 206 << "bytes 0-11/12"_ba
            << "[Servidor]\r\n"_ba;
        QTest::newRow("start past the end")
            << "Range: bytes=99999999-\r\n"_ba << 416 << "bytes */12"_ba << QByteArray();
        QTest::newRow("start at the end")
            << "Range: bytes=12-\r\n"_ba << 416 << "bytes */12"_ba << QByteArray();
        QTest::newRow("nothing from the end")
            << "Range: bytes=-0\r\n"_ba << 416 << "bytes */12"_ba << QByteArray();
        QTest::newRow("reversed: ignored")
            << "Range: bytes=5-2\r\n"_ba << 200 << QByteArray() << "[Servidor]\r\n"_ba;
        QTest::newRow("several: whole file")
            << "Range: bytes=0-1,4-5\r\n"_ba << 200 << QByteArray() << "[Servidor]\r\n"_ba;
        QTest::newRow("other unit")
            << "Range: lines=0-1\r\n"_ba << 200 << QByteArray() << "[Servidor]\r\n"_ba;
        QTest::newRow("huge number") << "Range: bytes=0-99999999999999999999999\r\n"_ba << 200
                                     << QByteArray() << "[Servidor]\r\n"_ba;
        QTest::newRow("If-Range of another version")
            << "Range: bytes=0-3\r\nIf-Range: \"old\"\r\n"_ba << 200 << QByteArray()
            << "[Servidor]\r\n"_ba;
    }
    void ranges() {
        QFETCH(QByteArray, headers);
        QFETCH(int, status);
        QFETCH(QByteArray, contentRange);
        QFETCH(QByteArray, body);
        CentralCopy central;
        ServerProgram server(central.root);
        QVERIFY(server.port() > 0);
        const HttpAnswer a = exchange(server.port(), "GET", "/download?file=common.ini", headers);
        QCOMPARE(a.status, status);
        QCOMPARE(a.header("content-range"), contentRange);
        if (status != 416) {
            QCOMPARE(a.body, body);
            QCOMPARE(a.header("content-length"), QByteArray::number(body.size()));
        }
    }

    void requestsNotServed_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        const QByteArray hugeBody =
            "Content-Length: 150000000\r\n\r\n" + QByteArray(64 * 1024, 'x');
        QTest::newRow("POST with a large body")
            << "POST /download?file=common.ini HTTP/1.1\r\nHost: h\r\n"_ba + hugeBody << 405;
        QTest::newRow("PUT")
            << "PUT /download?file=common.ini HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\n\r\n"_ba
            << 405;
        QTest::newRow("DELETE") << "DELETE /download?file=common.ini HTTP/1.1\r\nHost: h\r\n\r\n"_ba
                                << 405;
        QTest::newRow("GET with a large body")
            << "GET /download?file=common.ini HTTP/1.1\r\nHost: h\r\n"_ba + hugeBody << 413;
        QTest::newRow("GET with a chunked body")
            << "GET /download?file=common.ini HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n"_ba
            << 413;
        QTest::newRow("headers beyond the limit")
            << "GET /download?file=common.ini HTTP/1.1\r\nHost: h\r\nX-Big: "_ba +
                   QByteArray(64 * 1024, 'b') + "\r\n\r\n"
            << 431;
    }
    void requestsNotServed() {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        CentralCopy central;
        ServerProgram server(central.root);
        QVERIFY(server.port() > 0);
        const int fd = connectTo(server.port());
        sendAll(fd, request);
        const HttpAnswer a = readAnswer(fd);
        QCOMPARE(a.status, status);
        if (status != 431) {
            const auto record = fileserver::fileInfoErrorFromJSONObject(QString::fromUtf8(a.body));
            QCOMPARE(record->Status(), status);
        }
        // The body is not read: the connection ends after the answer.
        QVERIFY(closedByPeer(fd, 5000));
        ::close(fd);
        // And the server goes on serving.
        QCOMPARE(exchange(server.port(), "GET", "/download?file=common.ini").status, 200);
    }

    void validators() {
        CentralCopy central;
        ServerProgram server(central.root);
        QVERIFY(server.port() > 0);
        const QByteArray target = "/download?file=common.ini";
        const HttpAnswer first = exchange(server.port(), "GET", target);
        QCOMPARE(first.status, 200);
        const QByteArray etag = first.header("etag");
        QVERIFY(!etag.isEmpty());
        QVERIFY(first.header("cache-control").contains("must-revalidate"));
        QVERIFY(!first.header("last-modified").isEmpty());

        const HttpAnswer same =
            exchange(server.port(), "GET", target, "If-None-Match: " + etag + "\r\n");
        QCOMPARE(same.status, 304);
        QVERIFY(same.body.isEmpty());
        QCOMPARE(same.header("etag"), etag);
        const HttpAnswer head = exchange(server.port(), "HEAD", target);
        QCOMPARE(head.status, 200);
        QCOMPARE(head.header("etag"), etag);

        // Same size, a time 1 ms later: in the same second, so Last-Modified
        // cannot tell the versions apart; the tag must.
        const TDateTime age = central.find(u"common.ini"_s)->age;
        CentralCopy::write(central.root + u"/common.ini"_s, "[SERVIDOR]\r\n",
                           age + 1.0 / 86'400'000.0);
        const HttpAnswer changed = exchange(server.port(), "GET", target,
                                            "If-None-Match: " + etag + "\r\nIf-Modified-Since: " +
                                                first.header("last-modified") + "\r\n");
        QCOMPARE(changed.status, 200);
        QCOMPARE(changed.body, QByteArray("[SERVIDOR]\r\n"));
        QVERIFY(changed.header("etag") != etag);

        const QByteArray listing = "/folderlist?folder=%5C&mask=*.*&recursive=";
        const HttpAnswer list = exchange(server.port(), "GET", listing);
        QCOMPARE(list.status, 200);
        QCOMPARE(exchange(server.port(), "GET", listing,
                          "If-None-Match: " + list.header("etag") + "\r\n")
                     .status,
                 304);
        CentralCopy::write(central.root + u"/another.txt"_s, "a", 2.0);
        QCOMPARE(exchange(server.port(), "GET", listing,
                          "If-None-Match: " + list.header("etag") + "\r\n")
                     .status,
                 200);
    }

    // Idle and slow clients hold connections; a normal client is still answered.
    void idleAndSlowClients() {
        CentralCopy central;
        ServerProgram server(central.root,
                             {u"--request-timeout"_s, u"1"_s, u"--idle-timeout"_s, u"5"_s,
                              u"--max-per-address"_s, u"0"_s, u"--threads"_s, u"2"_s});
        QVERIFY(server.port() > 0);
        std::vector<int> idle, slow;
        for (int i = 0; i < 300; ++i)
            idle.push_back(connectTo(server.port()));
        for (int i = 0; i < 100; ++i) {
            slow.push_back(connectTo(server.port()));
            sendAll(slow.back(), "GET /download?file=common.ini HTTP/1.1\r\n");
        }
        // The slow ones trickle a header byte every 200 ms: never silent for
        // long, never done.
        std::atomic<bool> stop = false;
        std::thread trickle([&] {
            while (!stop) {
                for (const int fd : slow)
                    ::send(fd, "X", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        });
        const HttpAnswer normal =
            exchange(server.port(), "GET", "/download?file=Big.dll", {}, 10000);
        QCOMPARE(normal.status, 200);
        QCOMPARE(normal.body.size(), central.find(u"Big.dll"_s)->content.size());
        TRESTClientFileList list(server.url());
        QVERIFY(list.Execute(u"\\"_s, u"*.*"_s, true));

        // A client that never completes its request is dropped after the
        // deadline although it never falls silent.
        QVERIFY(closedByPeer(slow.front(), 10000));
        stop = true;
        trickle.join();
        for (const int fd : idle)
            ::close(fd);
        for (const int fd : slow)
            ::close(fd);
    }

    void connectionsPerAddressLimited() {
        CentralCopy central;
        ServerProgram server(central.root, {u"--max-per-address"_s, u"3"_s});
        QVERIFY(server.port() > 0);
        std::vector<int> held;
        for (int i = 0; i < 3; ++i) {
            held.push_back(connectTo(server.port()));
            sendAll(held.back(), "GET /download?file=noext HTTP/1.1\r\nHost: h\r\n\r\n");
            QCOMPARE(readAnswer(held.back()).status, 200); // kept alive afterwards
        }
        const int extra = connectTo(server.port());
        QVERIFY(closedByPeer(extra, 5000));
        ::close(extra);
        ::close(held.front());
        held.erase(held.begin());
        // A place is free again once one leaves.
        HttpAnswer again;
        for (int attempt = 0; attempt < 50 && again.status != 200; ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            again = exchange(server.port(), "GET", "/download?file=noext");
        }
        QCOMPARE(again.status, 200);
        for (const int fd : held)
            ::close(fd);
    }

    void logLinesAreSafeForAConsole() {
        CentralCopy central;
        ServerProgram server(central.root);
        QVERIFY(server.port() > 0);
        exchange(server.port(), "GET", "/download?file=\x1b[31mred\x07");
        exchange(server.port(), "GET", "/download?file=noext", "Range: bytes=0-0\r\n");
        const QByteArray output = server.stop();
        QVERIFY2(!output.contains('\x1b') && !output.contains('\x07'), output.constData());
        QVERIFY2(output.contains("\"GET /download?file=\\x1B[31mred\\x07\" 403 "),
                 output.constData());
        static const QRegularExpression line(
            uR"(\n\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z 127\.0\.0\.1 "GET /download\?file=noext" 206 1 \d+\.\d{3}ms\n)"_s);
        QVERIFY2(line.match(QString::fromLocal8Bit(output)).hasMatch(), output.constData());
    }

    void programStartFailures_data() {
        QTest::addColumn<QString>("root"); // "<file>": a plain file instead of a folder
        QTest::addColumn<QString>("listen");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("reason");
        QTest::newRow("port in use")
            << QString() << u"<taken>"_s << 69 << u"Address already in use"_s;
        QTest::newRow("unknown address") << QString() << u"no-such-host.invalid:8080"_s << 69
                                         << u"unknown address \"no-such-host.invalid\""_s;
        QTest::newRow("address of another machine")
            << QString() << u"192.0.2.1:8080"_s << 69 << u"Cannot assign requested address"_s;
        QTest::newRow("root is a file")
            << u"<file>"_s << u"127.0.0.1:0"_s << 66 << u"Not a directory"_s;
    }
    void programStartFailures() {
        QFETCH(QString, root);
        QFETCH(QString, listen);
        QFETCH(int, exitCode);
        QFETCH(QString, reason);
        CentralCopy central;
        std::optional<ServerProgram> first;
        if (listen == u"<taken>"_s) {
            first.emplace(central.root);
            QVERIFY(first->port() > 0);
            listen = u"127.0.0.1:%1"_s.arg(first->port());
        }
        if (root == u"<file>"_s)
            root = central.root + u"/common.ini"_s;
        else
            root = central.root;
        QProcess server;
        server.start(QStringLiteral(QUORVIA_FILESERVER_BINARY),
                     {u"--root"_s, root, u"--listen"_s, listen});
        QVERIFY(server.waitForFinished());
        const QString output = QString::fromLocal8Bit(server.readAllStandardError());
        QCOMPARE(server.exitCode(), exitCode);
        QVERIFY2(output.contains(reason), qPrintable(output));
    }

    // A shared cache in front of the server stores each file and asks the
    // server before every use: a second client gets its bytes from the cache,
    // and once a file changes the next client gets the new bytes, never the
    // old ones under the new age of the listing.
    void nginxCacheServesOnlyCurrentBytes() {
        const QString nginx =
            QStandardPaths::findExecutable(u"nginx"_s, {u"/usr/sbin"_s, u"/usr/bin"_s});
        if (nginx.isEmpty())
            QSKIP("nginx is not installed (scripts/install-deps.sh installs nginx-light)");
        CentralCopy central;
        ServerProgram server(central.root);
        QVERIFY(server.port() > 0);

        // The shipped site file, pointed at this test's server, folders and port.
        int cachePort = 0;
        {
            const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof a;
            ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
            ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
            cachePort = ntohs(a.sin_port);
            ::close(probe);
        }
        QTemporaryDir work;
        QString site = QString::fromUtf8(readFile(QStringLiteral(QUORVIA_NGINX_SITE)));
        QVERIFY(!site.isEmpty());
        site.replace(u"/var/cache/nginx/quorvia"_s, work.filePath(u"cache"_s))
            .replace(u"127.0.0.1:8080"_s, u"127.0.0.1:%1"_s.arg(server.port()))
            .replace(u"listen 80;"_s, u"listen 127.0.0.1:%1;"_s.arg(cachePort));
        const QString w = work.path();
        const QString conf =
            QStringLiteral("daemon off; master_process off; worker_processes 1;\n"
                           "error_log %1/error.log; pid %1/nginx.pid;\n"
                           "events { worker_connections 256; }\n"
                           "http {\n"
                           "access_log off;\n"
                           "client_body_temp_path %1/body; proxy_temp_path %1/proxy;\n"
                           "fastcgi_temp_path %1/fastcgi; uwsgi_temp_path %1/uwsgi;\n"
                           "scgi_temp_path %1/scgi;\n"
                           "%2\n}\n")
                .arg(w, site);
        QFile file(work.filePath(u"nginx.conf"_s));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(conf.toUtf8());
        file.close();
        QProcess cache;
        cache.setProcessChannelMode(QProcess::MergedChannels);
        cache.start(nginx, {u"-p"_s, w, u"-c"_s, file.fileName()});
        QVERIFY(cache.waitForStarted());
        const auto stopCache = qScopeGuard([&] {
            cache.terminate();
            if (!cache.waitForFinished(5000))
                cache.kill();
        });
        bool up = false;
        for (int i = 0; i < 100 && !up; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<quint16>(cachePort));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            up = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            ::close(fd);
        }
        QVERIFY2(up, cache.readAll().constData());

        const QByteArray target = "/download?file=Big.dll";
        const QByteArray original = central.find(u"Big.dll"_s)->content;
        const HttpAnswer first = exchange(cachePort, "GET", target);
        QCOMPARE(first.status, 200);
        QCOMPARE(first.body, original);
        QCOMPARE(first.header("x-cache-status"), QByteArray("MISS"));
        const HttpAnswer second = exchange(cachePort, "GET", target);
        QCOMPARE(second.status, 200);
        QCOMPARE(second.body, original);
        QCOMPARE(second.header("x-cache-status"), QByteArray("REVALIDATED"));

        // Changed within the same second, same size: only the tag tells.
        QByteArray changed = original;
        changed[0] = 'C';
        const TDateTime newAge = encodeDateTime(2023, 3, 3, 2); // Big.dll was 1 ms earlier
        CentralCopy::write(central.root + u"/Big.dll"_s, changed, newAge);
        TRESTClientFileList list(u"http://127.0.0.1:%1/"_s.arg(cachePort));
        QVERIFY2(list.Execute(u"\\"_s, u"*.*"_s, true), qPrintable(list.Error().Detail()));
        QVERIFY(list.Count() > 0);
        bool announced = false;
        for (int i = 0; i < list.Count(); ++i)
            announced = announced || (list.Items(i)->FileName() == u"Big.dll"_s &&
                                      list.Items(i)->Age() == newAge);
        QVERIFY(announced);
        const HttpAnswer third = exchange(cachePort, "GET", target);
        QCOMPARE(third.status, 200);
        QVERIFY(third.body == changed);
        const HttpAnswer fourth = exchange(cachePort, "GET", target);
        QVERIFY(fourth.body == changed);
        QCOMPARE(fourth.header("x-cache-status"), QByteArray("REVALIDATED"));

        // The server sent the bytes twice (first fill, change) and confirmed the rest.
        const QByteArray log = server.stop();
        QCOMPARE(
            log.count("\"GET /download?file=Big.dll\" 200 " + QByteArray::number(original.size())),
            2);
        QCOMPARE(log.count("\"GET /download?file=Big.dll\" 304 0 "), 2);
    }
};

QTEST_GUILESS_MAIN(TestFileServer)
#include "tst_file_server.moc"
