// The command lines of the shipped programs, run as real processes: one
// behaviour for --help, --version, --opt=value and wrong usage.

#include "test_process.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

using test_process::Outcome;

constexpr int ProcessTimeoutMs = 60000;

// Rows every shipped program must pass; {name} is the program's name. A
// command line that would start work needs a real folder: {dir}.
void genericRows(const QString& name, const QStringList& valueOption) {
    const QString tryHelp = u"Try '"_s + name + u" --help' for more information.\n"_s;
    const QString n = QRegularExpression::escape(name);
    QTest::addRow("%s --help", qPrintable(name))
        << QStringList{u"--help"_s} << 0
        << u"Usage: "_s + n + u" \\[options\\]\n(.|\n)*--version(.|\n)*"_s << QString();
    QTest::addRow("%s wrong usage wins over --help", qPrintable(name))
        << QStringList{u"--no-such-option"_s, u"--help"_s} << 64 << QString()
        << name + u": Unknown option 'no-such-option'.\n"_s + tryHelp;
    QTest::addRow("%s --version", qPrintable(name))
        << QStringList{u"--version"_s} << 0
        << n + u" "_s + QRegularExpression::escape(QStringLiteral(QUORVIA_VERSION)) + u"\n"_s
        << QString();
    QTest::addRow("%s -v", qPrintable(name))
        << QStringList{u"-v"_s} << 0
        << n + u" "_s + QRegularExpression::escape(QStringLiteral(QUORVIA_VERSION)) + u"\n"_s
        << QString();
    QTest::addRow("%s unknown option", qPrintable(name))
        << QStringList{u"--bogus=1"_s} << 64 << QString()
        << name + u": Unknown option 'bogus'.\n"_s + tryHelp;
    QTest::addRow("%s missing value", qPrintable(name))
        << valueOption << 64 << QString()
        << name + u": Missing value after '"_s + valueOption.constLast() + u"'.\n"_s + tryHelp;
}

void addColumns() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // a pattern for the whole standard output
    QTest::addColumn<QString>("err"); // the whole standard error, {dir} expanded
}

void check(const QString& program) {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (QString& argument : arguments)
        argument.replace(u"{dir}"_s, dir.path());
    const Outcome outcome = test_process::run(program, arguments, ProcessTimeoutMs);
    QCOMPARE(outcome.exitCode, exitCode);
    QVERIFY2(
        QRegularExpression(QRegularExpression::anchoredPattern(out)).match(outcome.out).hasMatch(),
        qPrintable(outcome.out));
    QCOMPARE(outcome.err, QString(err).replace(u"{dir}"_s, dir.path()));
}

} // namespace

class ProgramOptionsTest : public QObject {
    Q_OBJECT

private slots:
    void update_data();
    void update();
    void fileserver_data();
    void fileserver();
};

void ProgramOptionsTest::update_data() {
    addColumns();
    const QString name = u"quorvia-update"_s;
    genericRows(name, {u"--shared-files"_s, u"--dir"_s});
    const QString tryHelp = u"Try 'quorvia-update --help' for more information.\n"_s;
    const QString missingFolder =
        u"quorvia-update: installation folder {dir}/none: No such file or directory\n"_s;

    // Both spellings of a value reach the run: the missing folder is named.
    QTest::newRow("--opt value") << QStringList{u"--dir"_s, u"{dir}/none"_s, u"--shared-files"_s}
                                 << 2 << QString() << missingFolder;
    QTest::newRow("--opt=value") << QStringList{u"--dir={dir}/none"_s, u"--shared-files"_s} << 2
                                 << QString() << missingFolder;
    QTest::newRow("value with blanks") << QStringList{u"--dir= {dir}/none "_s, u"--module= X.exe"_s}
                                       << 2 << QString() << missingFolder;
    QTest::newRow("a value for a flag")
        << QStringList{u"--shared-files=yes"_s} << 64 << QString()
        << u"quorvia-update: Unexpected value after '--shared-files'.\n"_s + tryHelp;
    QTest::newRow("a stray argument")
        << QStringList{u"--shared-files"_s, u"SysAdmin.exe"_s} << 64 << QString()
        << u"quorvia-update: unexpected argument 'SysAdmin.exe'\n"_s + tryHelp;
    QTest::newRow("nothing to do")
        << QStringList{u"--dir"_s, u"{dir}"_s} << 64 << QString()
        << u"quorvia-update: nothing to do: give --module NAME, --shared-files or both\n"_s +
               tryHelp;
}

void ProgramOptionsTest::update() {
    check(QStringLiteral(QUORVIA_UPDATE_BINARY));
}

void ProgramOptionsTest::fileserver_data() {
    addColumns();
    // Only the options every program has: the server's own are changing.
    genericRows(u"quorvia-fileserver"_s, {u"--root"_s});
}

void ProgramOptionsTest::fileserver() {
    check(QStringLiteral(QUORVIA_FILESERVER_BINARY));
}

QTEST_GUILESS_MAIN(ProgramOptionsTest)
#include "tst_program_options.moc"
