#include "platform/errors.h"
#include "platform/paths.h"

#include <QCoreApplication>
#include <QLocale>
#include <QProcess>
#include <QTest>

#include <cstring>

using namespace Qt::StringLiterals;

class TestPaths : public QObject {
    Q_OBJECT
private slots:
    void join_data();
    void join();
    void joinRejectsInvalidCharacters_data();
    void joinRejectsInvalidCharacters();
    void rooted_data();
    void rooted();
    void fileKeyIgnoresCase();
    void fileKeyIgnoresTheLocale_data();
    void fileKeyIgnoresTheLocale();
    void trailingSeparator();
};

void TestPaths::join_data() {
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty folder") << QString() << u"a\\b.txt"_s << u"a/b.txt"_s;
    QTest::newRow("empty name") << u"/opt/q/"_s << QString() << u"/opt/q/"_s;
    QTest::newRow("both empty") << QString() << QString() << QString();
    QTest::newRow("folder with slash")
        << u"/opt/q/"_s << u"SysAdmin.exe"_s << u"/opt/q/SysAdmin.exe"_s;
    QTest::newRow("folder without separator")
        << u"/opt/q"_s << u"SysAdmin.exe"_s << u"/opt/q/SysAdmin.exe"_s;
    QTest::newRow("folder with backslash") << u"/opt/q\\"_s << u"x.dll"_s << u"/opt/q/x.dll"_s;
    QTest::newRow("folder ending in colon") << u"C:"_s << u"x.dll"_s << u"C:x.dll"_s;
    QTest::newRow("backslash is a folder boundary")
        << u"/opt/q/"_s << u"Relatorio\\RelSysAdmin.rav"_s << u"/opt/q/Relatorio/RelSysAdmin.rav"_s;
    QTest::newRow("rooted name wins") << u"/opt/q/"_s << u"/etc/x"_s << u"/etc/x"_s;
    QTest::newRow("leading backslash is rooted") << u"/opt/q/"_s << u"\\x.dll"_s << u"/x.dll"_s;
    QTest::newRow("drive name is rooted") << u"/opt/q/"_s << u"D:\\x.dll"_s << u"D:/x.dll"_s;
    QTest::newRow("blanks kept") << u"/opt/my q"_s << u"a b.exe"_s << u"/opt/my q/a b.exe"_s;
}

void TestPaths::join() {
    QFETCH(QString, folder);
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QCOMPARE(platform::joinPath(folder, name), expected);
}

void TestPaths::joinRejectsInvalidCharacters_data() {
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");
    QTest::newRow("pipe in name") << u"/opt"_s << u"a|b"_s;
    QTest::newRow("quote in folder") << u"/op\"t"_s << u"a"_s;
    QTest::newRow("less-than") << u"/opt"_s << u"<a"_s;
    QTest::newRow("control character") << u"/opt"_s << u"a\tb"_s;
    QTest::newRow("wildcard") << u"/opt"_s << u"*.exe"_s;
}

void TestPaths::joinRejectsInvalidCharacters() {
    QFETCH(QString, folder);
    QFETCH(QString, name);
    try {
        platform::joinPath(folder, name);
        QFAIL("no error raised");
    } catch (const platform::EArgumentException& e) {
        QCOMPARE(e.message(), u"Invalid characters in path"_s);
    }
}

void TestPaths::rooted_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("rooted");
    QTest::newRow("plain") << u"a.exe"_s << false;
    QTest::newRow("relative folder") << u"Relatorio\\a.rav"_s << false;
    QTest::newRow("unc") << u"\\\\server\\share"_s << true;
    QTest::newRow("slash") << u"/x"_s << true;
    QTest::newRow("drive") << u"c:\\x"_s << true;
    QTest::newRow("digit colon") << u"1:x"_s << false;
}

void TestPaths::rooted() {
    QFETCH(QString, name);
    QFETCH(bool, rooted);
    QCOMPARE(platform::isRootedPath(name), rooted);
}

void TestPaths::fileKeyIgnoresCase() {
    QCOMPARE(platform::fileKey(u"Relatorio\\RelSysAdmin.rav"_s), u"RELATORIO\\RELSYSADMIN.RAV"_s);
    QCOMPARE(platform::fileKey(u"sysadmin.exe"_s), platform::fileKey(u"SysAdmin.EXE"_s));
    QCOMPARE(platform::fileKey(u"relatório"_s), u"RELATÓRIO"_s);
}

void TestPaths::trailingSeparator() {
    QCOMPARE(platform::withTrailingSeparator(u"/a"_s), u"/a/"_s);
    QCOMPARE(platform::withTrailingSeparator(u"/a/"_s), u"/a/"_s);
    QCOMPARE(platform::withTrailingSeparator(u"\\\\srv\\share\\"_s), u"\\\\srv\\share\\"_s);
}

void TestPaths::fileKeyIgnoresTheLocale_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("key");
    const QList<std::pair<QString, QString>> names = {
        {u"COMMON.INI"_s, u"COMMON.INI"_s},
        {u"finance.exe"_s, u"FINANCE.EXE"_s},
        {u"Relatorio\\RelSysAdmin.rav"_s, u"RELATORIO\\RELSYSADMIN.RAV"_s},
        {u"Relatório\\Ação Cirúrgica.rav"_s, u"RELATÓRIO\\AÇÃO CIRÚRGICA.RAV"_s},
        {u"straße.dll"_s, u"STRAßE.DLL"_s}, // one letter stays one letter
        {u"STRASSE.dll"_s, u"STRASSE.DLL"_s},
        {u"ıi.dll"_s, u"II.DLL"_s},
    };
    for (const QString& locale : {u"C"_s, u"pt_BR.UTF-8"_s, u"tr_TR.UTF-8"_s})
        for (const auto& [name, key] : names)
            QTest::addRow("%s: %s", qPrintable(locale), qPrintable(name)) << locale << name << key;
}

// The key is computed in a child started under the locale, as the launcher starts
// under the user's, and in this process under the same default locale.
void TestPaths::fileKeyIgnoresTheLocale() {
    QFETCH(QString, locale);
    QFETCH(QString, name);
    QFETCH(QString, key);
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& variable : {u"LANG"_s, u"LC_ALL"_s, u"LC_CTYPE"_s})
        environment.insert(variable, locale);
    environment.remove(u"LANGUAGE"_s);
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), {u"--file-key"_s, name});
    QVERIFY(child.waitForFinished());
    QCOMPARE(child.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()), key);

    const QLocale previous;
    QLocale::setDefault(QLocale(locale.section(u'.', 0, 0)));
    const QString here = platform::fileKey(name);
    QLocale::setDefault(previous);
    QCOMPARE(here, key);
}

int main(int argc, char* argv[]) {
    // Child mode of fileKeyIgnoresTheLocale: print one name's key.
    if (argc == 3 && std::strcmp(argv[1], "--file-key") == 0) {
        QCoreApplication app(argc, argv);
        const QByteArray key = platform::fileKey(QString::fromUtf8(argv[2])).toUtf8();
        return std::fwrite(key.constData(), 1, size_t(key.size()), stdout) == size_t(key.size())
                   ? 0
                   : 1;
    }
    QCoreApplication app(argc, argv);
    TestPaths test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_paths.moc"
