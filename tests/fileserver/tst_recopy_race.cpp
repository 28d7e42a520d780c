#include "platform/errors.h"
#include "platform/file_ops.h"
#include "running_file_server.h"
#include "update/folder_source.h"
#include "update/server_source.h"
#include "update/staged_replace.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include "test_files.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using platform::TDateTime;
using test_files::ageOf;
using test_files::readFile;
using test_files::writeFile;

namespace {

const TDateTime ReleaseAge = platform::encodeDateTime(2024, 3, 15, 45'296'789);

QByteArray release() {
    QByteArray bytes(8 << 20, '\0');
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i * 2654435761u) >> 24);
    return bytes;
}

// What `cp -p` of an unchanged release does to the central file, again and
// again: truncate, write in pieces, put the old time back.
class Recopier {
public:
    Recopier(const QString& path, const QByteArray& content)
        : m_thread([this, path, content] {
              const QByteArray native = QFile::encodeName(path);
              while (!m_stop) {
                  const int fd = ::open(native.constData(), O_WRONLY | O_TRUNC);
                  if (fd < 0)
                      return;
                  // A copy once begun is finished: the administrator stops between copies.
                  for (qsizetype at = 0; at < content.size(); at += 1 << 20)
                      platform::writeAll(
                          fd, content.constData() + at,
                          std::size_t(qMin<qsizetype>(1 << 20, content.size() - at)));
                  platform::stampFileAge(fd, ReleaseAge);
                  ::close(fd);
                  ++m_copies;
                  // Now and then a pause, as between an administrator's copies:
                  // long enough for the server to vouch for the file again.
                  if (m_copies % 4 == 0)
                      std::this_thread::sleep_for(std::chrono::milliseconds(400));
              }
          }) {}
    ~Recopier() { stop(); }
    void stop() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    int copies() const { return m_copies; }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_copies{0};
    std::thread m_thread;
};

} // namespace

// An administrator re-copies an unchanged release over the central copy while
// workstations fetch it: whatever a fetch meets, no wrong file is stamped as
// current, and once the copying stops one more run installs the release.
class RecopyRaceTest : public QObject {
    Q_OBJECT
private slots:
    void noWrongFileIsStampedCurrent_data();
    void noWrongFileIsStampedCurrent();
};

void RecopyRaceTest::noWrongFileIsStampedCurrent_data() {
    QTest::addColumn<bool>("overHttp");
    QTest::newRow("share") << false;
    QTest::newRow("file server") << true;
}

void RecopyRaceTest::noWrongFileIsStampedCurrent() {
    QFETCH(bool, overHttp);
    QTemporaryDir dir;
    const QString central = dir.filePath(u"central"_s);
    const QString local = dir.filePath(u"local"_s);
    QVERIFY(QDir().mkpath(central) && QDir().mkpath(local));
    const QByteArray content = release();
    writeFile(central + u"/SysAdmin.exe"_s, content, ReleaseAge);
    std::unique_ptr<RunningFileServer> server;
    if (overHttp)
        server = std::make_unique<RunningFileServer>(central);
    const QString target = local + u"/SysAdmin.exe"_s;

    // One fetch as a run would make it: the listing of now, then the file.
    const auto fetch = [&] {
        TRemoteList list;
        if (overHttp)
            fillRemoteListFromServer(server->url(), list);
        else
            fillRemoteListFromFolder(central, list);
        const auto found = list.constFind(u"SYSADMIN.EXE"_s);
        if (found == list.constEnd())
            return false; // not offered now: nothing to fetch
        if (overHttp)
            updateFileFromServer(server->url(), local, u"SysAdmin.exe"_s, *found, true);
        else
            updateFileFromFolder(central, local, u"SysAdmin.exe"_s, found->FileName(), found->Age(),
                                 true, found->Size());
        return true;
    };

    int listed = 0;
    int refused = 0;
    int wrong = 0;
    {
        Recopier admin(central + u"/SysAdmin.exe"_s, content);
        for (int run = 0; run < 40; ++run) {
            QFile::remove(target);
            try {
                listed += fetch() ? 1 : 0;
            } catch (const platform::Exception&) {
                ++listed;
                ++refused;
            }
            // Installed with the release's time means installed as current.
            if (QFile::exists(target) && ageOf(target) == ReleaseAge && readFile(target) != content)
                ++wrong;
        }
        admin.stop();
        QVERIFY(admin.copies() > 0);
    }
    qInfo("%d of 40 runs found the release listed, %d of those refused it", listed, refused);
    QVERIFY2(listed > 0, "no run met the release: the test proves nothing");
    QCOMPARE(wrong, 0);

    QFile::remove(target);
    QVERIFY(QTest::qWaitFor([&] { return fetch(); }, 10000));
    QVERIFY(readFile(target) == content);
    QCOMPARE(ageOf(target), ReleaseAge);
}

QTEST_GUILESS_MAIN(RecopyRaceTest)
#include "tst_recopy_race.moc"
