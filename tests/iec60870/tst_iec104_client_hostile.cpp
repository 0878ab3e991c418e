// A hostile controlled station against the client (run in the address/undefined-behaviour
// build): the station corpus and the client's own bad cases whole, byte by byte and in random
// splits, then random APDU streams; the client fails cleanly and a new connection still works.

#include "iec104_station_fixture.h"
#include "iec60870_client.h"

#include <QRandomGenerator>

using namespace iec104test;

namespace {
QString random_hex(QRandomGenerator& r, int size)
{
    QByteArray b(size, 0);
    for (int i = 0; i < size; i++)
        b[i] = char(r.bounded(256));
    return QString::fromLatin1(b.toHex());
}

bool count_asdu(void* parameter, int, Asdu asdu)
{
    // Read what the client hands over, as an application would.
    int* count = static_cast<int*>(parameter);
    if (asdu_get_type_id(asdu) >= 0 && asdu_get_element_count(asdu) >= 0) ++*count;
    return true;
}

// One connection of the client to the fake station; `stream` sent in `split`, then closed.
void exchange(Master& m, int port, const QString& stream, const QString& split, int* asdus)
{
    ControllingConnection c = controlling_connection_create("127.0.0.1", port);
    sApciParameters a = *controlling_connection_get_apci_parameters(c);
    a.t1 = 1;
    controlling_connection_set_apci_parameters(c, &a);
    controlling_connection_set_asdu_handler(c, count_asdu, asdus);
    QVERIFY(controlling_connection_connect(c));
    const int id = m("accept 5000").mid(3).toInt();
    controlling_connection_send_start_dt(c);
    m(QString("send %1 %2 %3").arg(id).arg(stream).arg(split));
    m(QString("recv %1 20").arg(id));
    m(QString("close %1").arg(id));
    controlling_connection_destroy(c);
}
} // namespace

class tst_iec104_client_hostile : public QObject
{
    Q_OBJECT

private slots:
    void hostile_station();
};

void tst_iec104_client_hostile::hostile_station()
{
    Master m;
    const int port = m("listen").mid(3).toInt();
    QRandomGenerator r(0x107);
    int asdus = 0;
    QStringList corpus;
    for (const testsupport::Vector& v : testsupport::read_vectors(VECTORS("iec104_station.txt"), "station"))
        corpus << QString(v.fields[0]).remove(' ');
    for (const testsupport::Vector& v : testsupport::read_vectors(VECTORS("iec104_client.txt"), "bad"))
        corpus << QString(v.fields[0]).remove(' ');
    for (const QString& input : corpus)
        for (const char* split : {"whole", "byte", "random"})
            exchange(m, port, input, split, &asdus);
    for (int round = 0; round < 100; round++) {
        QString stream;
        for (int n = r.bounded(1, 5); n > 0; n--) {
            const int size = r.bounded(252);
            stream += r.bounded(3)
                          ? "68" + QString("%1").arg(size + 4, 2, 16, QChar('0')) + random_hex(r, 4 + size)
                          : random_hex(r, 1 + r.bounded(30));
        }
        exchange(m, port, stream, r.bounded(2) ? "random" : "byte", &asdus);
    }
    // Well-formed I-frames of any type and content reach the callback wrapped, never decoded.
    ControllingConnection c = controlling_connection_create("127.0.0.1", port);
    int received = 0;
    controlling_connection_set_asdu_handler(c, count_asdu, &received);
    QVERIFY(controlling_connection_connect(c));
    const int id = m("accept 5000").mid(3).toInt();
    for (int i = 0; i < 200; i++)
        m(QString("i %1 %2 random").arg(id).arg(random_hex(r, 6 + r.bounded(200))));
    QTRY_COMPARE(received, 200);
    QVERIFY(controlling_connection_is_running(c));
    controlling_connection_destroy(c);
}

QTEST_GUILESS_MAIN(tst_iec104_client_hostile)
#include "tst_iec104_client_hostile.moc"
