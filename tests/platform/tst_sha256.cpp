#include "platform/sha256.h"

#include <QTest>

class tst_Sha256 : public QObject {
    Q_OBJECT
private slots:
    void knownDigests_data();
    void knownDigests();
    void piecesGiveTheWholeDigest();
    void finishStartsOver();
};

void tst_Sha256::knownDigests_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("hex");
    QTest::newRow("empty")
        << QByteArray()
        << QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    QTest::newRow("abc") << QByteArray("abc")
                         << QByteArray(
                                "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    QTest::newRow("two blocks")
        << QByteArray("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")
        << QByteArray("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    QTest::newRow("a million a")
        << QByteArray(1'000'000, 'a')
        << QByteArray("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

void tst_Sha256::knownDigests() {
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, hex);
    platform::Sha256 sha;
    sha.update(input.constData(), std::size_t(input.size()));
    const QByteArray digest = sha.finish();
    QCOMPARE(digest.size(), qsizetype(platform::Sha256::DigestBytes));
    QCOMPARE(platform::Sha256::hex(digest), hex);
}

void tst_Sha256::piecesGiveTheWholeDigest() {
    QByteArray data(300'001, '\0');
    for (qsizetype i = 0; i < data.size(); ++i)
        data[i] = char(i * 7 + i / 251);
    platform::Sha256 whole;
    whole.update(data.constData(), std::size_t(data.size()));
    platform::Sha256 pieces;
    for (qsizetype at = 0, step = 1; at < data.size(); at += step, step = step * 3 % 65521 + 1)
        pieces.update(data.constData() + at, std::size_t(qMin(step, data.size() - at)));
    QCOMPARE(pieces.finish(), whole.finish());
}

void tst_Sha256::finishStartsOver() {
    platform::Sha256 sha;
    sha.update("junk", 4);
    sha.finish();
    sha.update("abc", 3);
    QCOMPARE(platform::Sha256::hex(sha.finish()),
             QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
}

QTEST_APPLESS_MAIN(tst_Sha256)
#include "tst_sha256.moc"
