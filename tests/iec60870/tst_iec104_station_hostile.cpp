// Hostile controlling stations against the test station (run in the address/undefined-behaviour
// build): every vector of iec104_station.txt whole, byte by byte and in random splits, random
// APDU streams, random but well-formed commands; afterwards a new client is still served.

#include "iec104_station_fixture.h"

#include <QRandomGenerator>

using namespace iec104test;

namespace {
const QString STARTDT_ACT = "680407000000", STARTDT_CON = "68040B000000";
const QString TESTFR_ACT = "680443000000", TESTFR_CON = "680483000000";

QString random_hex(QRandomGenerator& r, int size)
{
    QByteArray b(size, 0);
    for (int i = 0; i < size; i++)
        b[i] = char(r.bounded(256));
    return QString::fromLatin1(b.toHex());
}

// One APDU as a careless or hostile master might write it.
QString random_apdu(QRandomGenerator& r)
{
    switch (r.bounded(5)) {
    case 0: // anything at all
        return random_hex(r, 1 + r.bounded(40));
    case 1: { // a start byte and a length that may not match what follows
        const int length = r.bounded(256);
        return "68" + QString("%1").arg(length, 2, 16, QChar('0')) + random_hex(r, r.bounded(length + 8));
    }
    case 2: // U or S control, any numbers
        return "6804" + QString("%1").arg(r.bounded(256) | 1, 2, 16, QChar('0')) + random_hex(r, 3);
    default: { // a whole I-frame with any numbers and any ASDU
        const int size = r.bounded(250);
        return "68" + QString("%1").arg(size + 4, 2, 16, QChar('0')) +
               QString("%1").arg(r.bounded(256) & 0xFE, 2, 16, QChar('0')) + random_hex(r, 3 + size);
    }
    }
}

// A well-formed command ASDU of a type the station handles or refuses, with a random element.
QString random_command(QRandomGenerator& r)
{
    static const int types[] = {45, 46, 47, 48, 49, 50, 51, 100, 101, 102, 103, 104, 105, 106, 107, 200};
    static const int causes[] = {3, 5, 6, 8, 10, 20};
    const int type = types[r.bounded(int(sizeof types / sizeof *types))];
    const int cause = causes[r.bounded(int(sizeof causes / sizeof *causes))];
    return asdu_hex(type, 1, cause, r.bounded(65536), random_hex(r, r.bounded(16)));
}
} // namespace

class tst_iec104_station_hostile : public QObject
{
    Q_OBJECT

private slots:
    void hostile_masters();
};

void tst_iec104_station_hostile::hostile_masters()
{
    TestStation::Options o;
    o.t0 = 5;
    o.t1 = 1;
    TestStation s(o);
    QVERIFY(s.start());
    Master m;
    QRandomGenerator r(0x104);

    for (const testsupport::Vector& v : testsupport::read_vectors(VECTORS("iec104_station.txt"), "station")) {
        for (const char* split : {"whole", "byte", "random"}) {
            const int c = m.open(s.port);
            QVERIFY(c > 0);
            if (v.fields[1] == "active") m(QString("send %1 %2").arg(c).arg(STARTDT_ACT));
            m(QString("send %1 %2 %3").arg(c).arg(QString(v.fields[0]).remove(' ')).arg(split));
            m(QString("recv %1 50").arg(c));
            m(QString("close %1").arg(c));
        }
    }

    for (int round = 0; round < 150; round++) {
        const int c = m.open(s.port);
        QVERIFY(c > 0);
        QString stream = r.bounded(2) ? STARTDT_ACT : QString();
        for (int n = r.bounded(1, 6); n > 0; n--)
            stream += random_apdu(r);
        m(QString("send %1 %2 %3").arg(c).arg(stream).arg(r.bounded(2) ? "random" : "byte"));
        m(QString("recv %1 20").arg(c));
        m(QString("close %1").arg(c));
    }

    // Well-formed commands in random splits on one active connection: each gets its answer.
    const int c = m.open(s.port);
    m(QString("send %1 %2").arg(c).arg(STARTDT_ACT));
    QCOMPARE(m(QString("recv %1 2000").arg(c)), "apdu " + STARTDT_CON);
    m(QString("ack %1 8").arg(c));
    for (int i = 0; i < 300; i++) {
        QCOMPARE(m(QString("i %1 %2 random").arg(c).arg(random_command(r))), QString("ok"));
        QVERIFY(!m(QString("collect %1 1000 0").arg(c)).endsWith("closed"));
    }
    const QString last = m(QString("collect %1 1000 500").arg(c));
    QVERIFY2(last.contains("badseq 0") && !last.endsWith("closed"), qPrintable(last));
    m(QString("send %1 %2").arg(c).arg(TESTFR_ACT));
    QCOMPARE(m(QString("recv %1 2000").arg(c)), "apdu " + TESTFR_CON);
    m(QString("close %1").arg(c));

    QTRY_COMPARE_WITH_TIMEOUT(station_get_open_connections(s.station), 0, 10000);
    QVERIFY(station_is_running(s.station));
    const int fresh = m.open(s.port);
    m(QString("send %1 %2").arg(fresh).arg(STARTDT_ACT));
    QCOMPARE(m(QString("recv %1 2000").arg(fresh)), "apdu " + STARTDT_CON);
    m(QString("send %1 %2").arg(fresh).arg(TESTFR_ACT));
    QCOMPARE(m(QString("recv %1 2000").arg(fresh)), "apdu " + TESTFR_CON);
}

QTEST_GUILESS_MAIN(tst_iec104_station_hostile)
#include "tst_iec104_station_hostile.moc"
