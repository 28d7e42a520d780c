#include "platform/ini_file.h"

#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
// text as a Windows editor saves it in that encoding: byte-order mark first.
QByteArray withMark(QStringConverter::Encoding encoding, const QString& text) {
    QStringEncoder encoder(encoding, QStringConverter::Flag::WriteBom);
    return encoder.encode(text);
}
} // namespace

class TestIniFile : public QObject {
    Q_OBJECT
private slots:
    void read_data();
    void read();
    void missingFileGivesDefault();
    void latin1FileIsRead();
};

void TestIniFile::read_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    QTest::newRow("unc value intact")
        << QByteArray("[Servidor]\r\nLocal Exe=\\\\server\\share\\Quorvia\r\n") << u"Servidor"_s
        << u"Local Exe"_s << u"\\\\server\\share\\Quorvia"_s;
    QTest::newRow("escape-looking text kept")
        << QByteArray("[Servidor]\nLocal Exe=C:\\new\\temp\\x\\t\n") << u"Servidor"_s
        << u"Local Exe"_s << u"C:\\new\\temp\\x\\t"_s;
    QTest::newRow("blanks trimmed") << QByteArray("[Servidor]\nurl =   http://h:8080/  \n")
                                    << u"Servidor"_s << u"url"_s << u"http://h:8080/"_s;
    QTest::newRow("blanks only is empty")
        << QByteArray("[Servidor]\nurl=    \n") << u"Servidor"_s << u"url"_s << QString();
    QTest::newRow("section and key case") << QByteArray("[SERVIDOR]\nLOCAL EXE=/srv/q\n")
                                          << u"servidor"_s << u"local exe"_s << u"/srv/q"_s;
    QTest::newRow("missing key") << QByteArray("[Servidor]\nurl=x\n") << u"Servidor"_s
                                 << u"Local Exe"_s << QString();
    QTest::newRow("missing section")
        << QByteArray("[Other]\nurl=x\n") << u"Servidor"_s << u"url"_s << QString();
    QTest::newRow("key of another section ignored")
        << QByteArray("[Other]\nurl=x\n[Servidor]\nname=y\n") << u"Servidor"_s << u"url"_s
        << QString();
    QTest::newRow("first key wins") << QByteArray("[Servidor]\nurl=first\nurl=second\n")
                                    << u"Servidor"_s << u"url"_s << u"first"_s;
    QTest::newRow("comment line skipped")
        << QByteArray("[Servidor]\n;url=x\nurl=y\n") << u"Servidor"_s << u"url"_s << u"y"_s;
    QTest::newRow("equals sign inside value") << QByteArray("[Servidor]\nurl=http://h/?a=b\n")
                                              << u"Servidor"_s << u"url"_s << u"http://h/?a=b"_s;
    QTest::newRow("quoted value") << QByteArray("[Servidor]\nLocal Exe=\"/srv/my share\"\n")
                                  << u"Servidor"_s << u"Local Exe"_s << u"/srv/my share"_s;
    QTest::newRow("utf-8 with bom")
        << QByteArray("\xEF\xBB\xBF[Servidor]\nLocal Exe=/srv/relatório\n") << u"Servidor"_s
        << u"Local Exe"_s << u"/srv/relatório"_s;
    QTest::newRow("utf-16 le with bom")
        << withMark(QStringConverter::Utf16LE, u"[Servidor]\r\nLocal Exe=\\\\srv\\relatório\r\n"_s)
        << u"Servidor"_s << u"Local Exe"_s << u"\\\\srv\\relatório"_s;
    QTest::newRow("utf-16 be with bom")
        << withMark(QStringConverter::Utf16BE, u"[Servidor]\nLocal Exe=/srv/relatório\n"_s)
        << u"Servidor"_s << u"Local Exe"_s << u"/srv/relatório"_s;
    QTest::newRow("capped at 2047 characters")
        << (QByteArray("[Servidor]\nurl=") + QByteArray(3000, 'a') + "\n") << u"Servidor"_s
        << u"url"_s << QString(2047, u'a');
}

void TestIniFile::read() {
    QFETCH(QByteArray, content);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(u"Quorvia.ini"_s);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    QCOMPARE(platform::readIniString(path, section, key), expected);
}

void TestIniFile::missingFileGivesDefault() {
    QTemporaryDir dir;
    QCOMPARE(platform::readIniString(dir.filePath(u"none.ini"_s), u"Servidor"_s, u"url"_s),
             QString());
    QCOMPARE(platform::readIniString(dir.filePath(u"none.ini"_s), u"Servidor"_s, u"url"_s, u"d"_s),
             u"d"_s);
}

void TestIniFile::latin1FileIsRead() {
    QTemporaryDir dir;
    const QString path = dir.filePath(u"Quorvia.ini"_s);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[Servidor]\nLocal Exe=/srv/relat\xF3rio\n");
    file.close();
    QCOMPARE(platform::readIniString(path, u"Servidor"_s, u"Local Exe"_s), u"/srv/relatório"_s);
}

QTEST_GUILESS_MAIN(TestIniFile)
#include "tst_ini_file.moc"
