// The checking of quorvia-fileserver's own options, on a parsed command line.

#include "server_options.h"

#include <QCommandLineParser>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

fileserver::CheckedOptions check(const QStringList& arguments) {
    QCommandLineParser parser;
    fileserver::addServerOptions(parser);
    if (!parser.parse(QStringList{u"quorvia-fileserver"_s} + arguments))
        qFatal("the test's command line does not parse: %s", qPrintable(parser.errorText()));
    return fileserver::checkServerOptions(parser);
}

} // namespace

class TestServerOptions : public QObject {
    Q_OBJECT

private slots:
    void refused_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("error");
        const QString needsRoot = u"--root is required"_s;
        const QString timeouts =
            u"--request-timeout and --idle-timeout take seconds from 1 to 3600"_s;
        QTest::newRow("nothing") << QStringList{} << needsRoot;
        QTest::newRow("blank root") << QStringList{u"--root= "_s} << needsRoot;
        QTest::newRow("root wins over a bad port") << QStringList{u"--listen=x"_s} << needsRoot;
        QTest::newRow("listen without port") << QStringList{u"--root=."_s, u"--listen=localhost"_s}
                                             << uR"(--listen takes HOST:PORT, not "localhost")"_s;
        QTest::newRow("listen without host") << QStringList{u"--root=."_s, u"--listen=:8080"_s}
                                             << uR"(--listen takes HOST:PORT, not ":8080")"_s;
        QTest::newRow("port out of range")
            << QStringList{u"--root=."_s, u"--listen=127.0.0.1:65536"_s}
            << uR"(--listen takes HOST:PORT, not "127.0.0.1:65536")"_s;
        QTest::newRow("negative port") << QStringList{u"--root=."_s, u"--listen=h:-1"_s}
                                       << uR"(--listen takes HOST:PORT, not "h:-1")"_s;
        QTest::newRow("port not a number") << QStringList{u"--root=."_s, u"--listen=h:http"_s}
                                           << uR"(--listen takes HOST:PORT, not "h:http")"_s;
        QTest::newRow("no threads") << QStringList{u"--root=."_s, u"--threads=0"_s}
                                    << u"--threads takes a number from 1 to 256"_s;
        QTest::newRow("too many threads") << QStringList{u"--root=."_s, u"--threads=257"_s}
                                          << u"--threads takes a number from 1 to 256"_s;
        QTest::newRow("no connections") << QStringList{u"--root=."_s, u"--max-connections=0"_s}
                                        << u"--max-connections takes a number from 1 on"_s;
        QTest::newRow("too many connections")
            << QStringList{u"--root=."_s, u"--max-connections=1000001"_s}
            << u"--max-connections takes a number from 1 on"_s;
        QTest::newRow("per address not a number")
            << QStringList{u"--root=."_s, u"--max-per-address=many"_s}
            << u"--max-per-address takes a number from 0 on"_s;
        QTest::newRow("no request time")
            << QStringList{u"--root=."_s, u"--request-timeout=0"_s} << timeouts;
        QTest::newRow("idle time past an hour")
            << QStringList{u"--root=."_s, u"--idle-timeout=3601"_s} << timeouts;
        QTest::newRow("re-check not a number") << QStringList{u"--root=."_s, u"--recheck=often"_s}
                                               << u"--recheck takes seconds from 0 to 86400"_s;
        QTest::newRow("negative re-check") << QStringList{u"--root=."_s, u"--recheck=-1"_s}
                                           << u"--recheck takes seconds from 0 to 86400"_s;
        QTest::newRow("connections before per address")
            << QStringList{u"--root=."_s, u"--max-per-address=x"_s, u"--max-connections=0"_s}
            << u"--max-connections takes a number from 1 on"_s;
    }
    void refused() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        QCOMPARE(check(arguments).error, error);
    }

    void accepted_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("root");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QList<unsigned>>("limits"); // threads, connections, per address,
                                                     // request, idle, re-check
        const fileserver::ServerLimits d;
        QTest::newRow("defaults") << QStringList{u"--root=/srv/central"_s} << u"/srv/central"_s
                                  << u"127.0.0.1"_s << 8080 << QList<unsigned>{0,
                                                                               d.maxConnections,
                                                                               d.maxPerAddress,
                                                                               d.requestTimeout,
                                                                               d.idleTimeout,
                                                                               d.recheckInterval};
        QTest::newRow("every option, blanks around the values")
            << QStringList{u"--root"_s,
                           u" /srv/c "_s,
                           u"--listen= 0.0.0.0:0 "_s,
                           u"--threads=4"_s,
                           u"--max-connections=100"_s,
                           u"--max-per-address=0"_s,
                           u"--request-timeout=3600"_s,
                           u"--idle-timeout=1"_s,
                           u"--recheck=0"_s}
            << u"/srv/c"_s << u"0.0.0.0"_s << 0 << QList<unsigned>{4, 100, 0, 3600, 1, 0};
        QTest::newRow("IPv6 address, highest limits")
            << QStringList{u"--root=r"_s,
                           u"--listen=[::1]:65535"_s,
                           u"--threads=256"_s,
                           u"--max-connections=1000000"_s,
                           u"--max-per-address=1000000"_s,
                           u"--recheck=86400"_s}
            << u"r"_s << u"[::1]"_s << 65535
            << QList<unsigned>{256, 1'000'000, 1'000'000, d.requestTimeout, d.idleTimeout, 86400};
    }
    void accepted() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, root);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QList<unsigned>, limits);
        const fileserver::CheckedOptions checked = check(arguments);
        QCOMPARE(checked.error, QString());
        const fileserver::ServerOptions& o = checked.options;
        QCOMPARE(o.root, root);
        QCOMPARE(o.host, host);
        QCOMPARE(o.port, port);
        QCOMPARE((QList<unsigned>{unsigned(o.limits.threads), o.limits.maxConnections,
                                  o.limits.maxPerAddress, o.limits.requestTimeout,
                                  o.limits.idleTimeout, o.limits.recheckInterval}),
                 limits);
    }
};

QTEST_GUILESS_MAIN(TestServerOptions)
#include "tst_server_options.moc"
