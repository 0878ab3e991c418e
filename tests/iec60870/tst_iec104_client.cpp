// The controlling-station client against a fake controlled station of our own (iec104_master.py
// listening), byte for byte, and once against our own station with tshark reading the session.

#include "iec104_station_fixture.h"
#include "iec60870_client.h"

#include <mutex>
#include <thread>

using namespace iec104test;
using testsupport::read_vectors;

namespace {
const QString SPONTANEOUS = asdu_hex(11, 1, 3, 1, "010000000000");

// A client with the callbacks a test reads; APCI times as given.
class Client
{
public:
    Client(int port, int t1 = 2, int t2 = 1, int t3 = 3, bool defaults = false)
    {
        c = controlling_connection_create("127.0.0.1", port);
        if (!defaults) {
            sApciParameters a = *controlling_connection_get_apci_parameters(c);
            a.t1 = t1;
            a.t2 = t2;
            a.t3 = t3;
            controlling_connection_set_apci_parameters(c, &a);
        }
        controlling_connection_set_asdu_handler(c, on_asdu, this);
        controlling_connection_set_connection_handler(c, on_event, this);
        controlling_connection_set_raw_message_handler(c, on_raw, this);
    }
    ~Client() { controlling_connection_destroy(c); }
    QStringList events() const
    {
        std::lock_guard<std::mutex> l(mutex);
        return deep_copy(event_list);
    }
    QStringList asdus() const
    {
        std::lock_guard<std::mutex> l(mutex);
        return deep_copy(asdu_list);
    }
    QStringList raw() const
    {
        std::lock_guard<std::mutex> l(mutex);
        return deep_copy(raw_list);
    }
    ControllingConnection c;

private:
    static bool on_asdu(void* p, int, Asdu asdu)
    {
        Client* self = static_cast<Client*>(p);
        std::lock_guard<std::mutex> l(self->mutex);
        self->asdu_list << QString("type %1 cot %2 n %3")
                               .arg(asdu_get_type_id(asdu))
                               .arg(asdu_get_cot(asdu))
                               .arg(asdu_get_element_count(asdu));
        return true;
    }
    static void on_event(void* p, ControllingConnection, int event)
    {
        Client* self = static_cast<Client*>(p);
        std::lock_guard<std::mutex> l(self->mutex);
        self->event_list << QString::number(event);
    }
    static void on_raw(void* p, uint8_t* bytes, int size, bool sent)
    {
        Client* self = static_cast<Client*>(p);
        std::lock_guard<std::mutex> l(self->mutex);
        self->raw_list << QString(sent ? "c " : "s ") +
                              QString::fromLatin1(QByteArray((const char*)bytes, size).toHex().toUpper());
    }
    mutable std::mutex mutex;
    QStringList event_list, asdu_list, raw_list;
};

// The fake station: listening, then the accepted connection's id.
struct Fake
{
    Master m;
    int port = 0;
    Fake() { port = m("listen").mid(3).toInt(); }
    int accept() { return m("accept 5000").mid(3).toInt(); }
};

// ASDU hex with a 2-byte cause and common address, cut to the given sizes.
QString sized(QString asdu, int cot_size, int ca_size)
{
    asdu.remove(' ');
    if (ca_size == 1) asdu.remove(10, 2);
    if (cot_size == 1) asdu.remove(6, 2);
    return asdu;
}
} // namespace

class tst_iec104_client : public QObject
{
    Q_OBJECT

private slots:
    void connect_and_parameters();
    void u_frames_and_events();
    void command_bytes_data();
    void command_bytes();
    void numbering();
    void keep_alive();
    void bad_input_data();
    void bad_input();
    void against_our_station();
};

void tst_iec104_client::connect_and_parameters()
{
    ControllingConnection d = controlling_connection_create("127.0.0.1", -1);
    QCOMPARE(controlling_connection_get_port(d), 2404);
    sApciParameters a = *controlling_connection_get_apci_parameters(d);
    a.t0 = 3;
    controlling_connection_set_apci_parameters(d, &a);
    QCOMPARE(controlling_connection_get_connect_timeout(d), 3000);
    controlling_connection_destroy(d);

    Client client(free_port());
    QElapsedTimer t;
    t.start();
    QVERIFY(!controlling_connection_connect(client.c));
    QVERIFY(t.elapsed() < 3000);
    QVERIFY(controlling_connection_is_failed(client.c));
    QVERIFY(!controlling_connection_is_running(client.c));
    QVERIFY(!controlling_connection_send_test_command(client.c, 1));
}

void tst_iec104_client::u_frames_and_events()
{
    Fake f;
    Client client(f.port);
    QVERIFY(controlling_connection_connect(client.c));
    const int id = f.accept();
    QCOMPARE(client.events(), QStringList{"0"});
    auto fake = [&](const QString& verb, const QString& rest = QString()) {
        return f.m(QString("%1 %2 %3").arg(verb).arg(id).arg(rest));
    };
    QVERIFY(controlling_connection_send_start_dt(client.c));
    QCOMPARE(fake("recv", "2000"), QString("apdu 680407000000"));
    fake("send", "68040B000000");
    QTRY_COMPARE(client.events(), QStringList({"0", "2"}));
    QVERIFY(controlling_connection_send_stop_dt(client.c));
    QCOMPARE(fake("recv", "2000"), QString("apdu 680413000000"));
    fake("send", "680423000000");
    QTRY_COMPARE(client.events(), QStringList({"0", "2", "3"}));
    // U bytes matched exactly: TESTFR act is answered, 0x47 is not.
    fake("send", "680443000000");
    QCOMPARE(fake("recv", "2000"), QString("apdu 680483000000"));
    fake("send", "680447000000");
    fake("send", "680407000000");
    QCOMPARE(fake("recv", "2000"), QString("apdu 68040B000000")); // STARTDT act answered, nothing before it
    QVERIFY(controlling_connection_is_running(client.c));
    controlling_connection_close(client.c);
    QCOMPARE(client.events(), QStringList({"0", "2", "3", "1"}));
    QCOMPARE(fake("closed", "2000"), QString("closed"));
    QVERIFY(!controlling_connection_is_failed(client.c));
}

void tst_iec104_client::command_bytes_data()
{
    testsupport::vector_rows(VECTORS("iec104_client.txt"), "commands");
}

// Every command as bytes, with 1- and 2-byte causes and common addresses; default APCI times.
void tst_iec104_client::command_bytes()
{
    QFETCH(QStringList, f);
    Fake fake;
    Client client(fake.port, 0, 0, 0, true);
    QVERIFY(controlling_connection_connect(client.c));
    const int id = fake.accept();
    const QString name = QTest::currentDataTag();
    int ns = 0;
    for (int cot_size = 1; cot_size <= 2; cot_size++) {
        for (int ca_size = 1; ca_size <= 2; ca_size++) {
            sAppLayerParameters p{1, 1, cot_size, 0, ca_size, 3, 249};
            controlling_connection_set_app_layer_parameters(client.c, &p);
            bool sent = false;
            if (name.startsWith("interrogation"))
                sent = controlling_connection_send_interrogation_command(client.c, 6, 0x102, 20);
            else if (name.startsWith("counter"))
                sent = controlling_connection_send_counter_interrogation_command(client.c, 6, 0x102, 5);
            else if (name.startsWith("read"))
                sent = controlling_connection_send_read_command(client.c, 0x102, 0x030405);
            else if (name.startsWith("clock")) {
                sCp56Time2a t;
                sent = controlling_connection_send_clock_sync_command(
                    client.c, 0x102, cp56_create_from_ms_timestamp(&t, 1709296496789ULL));
            } else if (name.startsWith("test"))
                sent = controlling_connection_send_test_command(client.c, 0x102);
            else if (name.startsWith("single")) {
                sInformationObject o;
                sent = controlling_connection_send_process_command(
                    client.c, 0, 6, 0x102, single_command_create(&o, 5000, true, false, 0));
            }
            QVERIFY(sent);
            const QString asdu = sized(f[0], cot_size, ca_size);
            const QString apci = "68" + QString("%1").arg(asdu.size() / 2 + 4, 2, 16, QChar('0')) +
                                 QString("%1").arg(ns * 2, 2, 16, QChar('0')) + "000000";
            QCOMPARE(fake.m(QString("recv %1 2000").arg(id)), "apdu " + apci.toUpper() + asdu);
            ns++;
        }
    }
}

void tst_iec104_client::numbering()
{
    Fake f;
    Client client(f.port);
    QVERIFY(controlling_connection_connect(client.c));
    const int id = f.accept();
    auto fake = [&](const QString& rest) { return f.m(rest.arg(id)); };
    // w = 8: the S-frame at once; then one I-frame and t2 = 1 s.
    for (int i = 0; i < 8; i++)
        fake("i %1 " + SPONTANEOUS);
    QCOMPARE(fake("recv %1 2000"), QString("apdu 680401001000"));
    fake("i %1 " + SPONTANEOUS);
    QCOMPARE(fake("recv %1 300"), QString("timeout"));
    QCOMPARE(fake("recv %1 3000"), QString("apdu 680401001200"));
    QTRY_COMPARE(client.asdus().size(), 9);
    QCOMPARE(client.asdus()[0], QString("type 11 cot 3 n 1"));
    // Receive side across 32767 -> 0.
    QCOMPARE(fake("bulk %1 32776 " + SPONTANEOUS), QString("ok nr 17"));
    // Send side across 32767 -> 0: read commands numbered by their address, none lost.
    fake("ack %1 8");
    std::thread sender([&] {
        for (int i = 0; i < 32770; i++)
            while (!controlling_connection_send_read_command(client.c, 1, i))
                if (!controlling_connection_is_running(client.c)) return;
    });
    const QString got = fake("collect %1 32770 120000");
    sender.join();
    QCOMPARE(got, QString("got 32770 ioas 0-32769 badseq 0 other 0"));
    fake("s %1");
    fake("ack %1 0");
    // A TESTFR round trip: the client has read the S-frame before it.
    fake("send %1 680443000000");
    QCOMPARE(fake("recv %1 2000"), QString("apdu 680483000000"));
    // A full window of 12: the 13th send is refused and nothing of it is written.
    for (int i = 0; i < 12; i++)
        QVERIFY(controlling_connection_send_read_command(client.c, 1, 100 + i));
    QVERIFY(!controlling_connection_send_read_command(client.c, 1, 112));
    QCOMPARE(fake("collect %1 13 1000"), QString("got 12 ioas 100-111 badseq 0 other 0"));
    fake("s %1");
    QTRY_VERIFY(controlling_connection_send_read_command(client.c, 1, 112));
    QCOMPARE(fake("collect %1 1 1000"), QString("got 1 ioas 112 badseq 0 other 0"));
    QVERIFY(controlling_connection_is_running(client.c));
}

void tst_iec104_client::keep_alive()
{
    Fake f;
    Client client(f.port, 2, 1, 3);
    QVERIFY(controlling_connection_connect(client.c));
    const int id = f.accept();
    // Quiet for t3: TESTFR act; answered, the connection stays.
    QCOMPARE(f.m(QString("recv %1 300").arg(id)), QString("timeout"));
    QCOMPARE(f.m(QString("recv %1 5000").arg(id)), QString("apdu 680443000000"));
    f.m(QString("send %1 680483000000").arg(id));
    // Unanswered, the connection ends t1 later, with one TESTFR act outstanding and no second one.
    QCOMPARE(f.m(QString("recv %1 5000").arg(id)), QString("apdu 680443000000"));
    QCOMPARE(f.m(QString("recv %1 4000").arg(id)), QString("closed"));
    QVERIFY(controlling_connection_is_failed(client.c));
    QTRY_COMPARE(client.events().last(), QString("1"));
}

void tst_iec104_client::bad_input_data()
{
    QTest::addColumn<QStringList>("f");
    QTest::addColumn<QString>("split");
    for (const testsupport::Vector& v : read_vectors(VECTORS("iec104_client.txt"), "bad"))
        for (const char* split : {"whole", "byte"})
            QTest::newRow(qPrintable(v.name + " " + split)) << v.fields << QString(split);
}

void tst_iec104_client::bad_input()
{
    QFETCH(QStringList, f);
    QFETCH(QString, split);
    Fake fake;
    Client client(fake.port);
    QVERIFY(controlling_connection_connect(client.c));
    const int id = fake.accept();
    fake.m(QString("send %1 %2 %3").arg(id).arg(QString(f[0]).remove(' ')).arg(split));
    QCOMPARE(fake.m(QString("closed %1 5000").arg(id)), QString("closed"));
    QVERIFY(controlling_connection_is_failed(client.c));
    QTRY_COMPARE(client.events(), QStringList({"0", "1"}));
    QVERIFY(client.asdus().isEmpty());
}

void tst_iec104_client::against_our_station()
{
    TestStation s;
    QVERIFY(s.start());
    Client client(s.port, 2, 1, 1);
    QVERIFY(controlling_connection_connect(client.c));
    QVERIFY(controlling_connection_send_start_dt(client.c));
    QTRY_COMPARE(client.events(), QStringList({"0", "2"}));
    QVERIFY(controlling_connection_send_interrogation_command(client.c, 6, 1, 20));
    QTRY_COMPARE(client.asdus().size(), 5);
    QCOMPARE(client.asdus(), QStringList({"type 100 cot 7 n 1", "type 11 cot 20 n 1", "type 11 cot 20 n 1",
                                          "type 11 cot 20 n 1", "type 100 cot 10 n 1"}));
    sInformationObject o;
    QVERIFY(controlling_connection_send_process_command(client.c, 0, 6, 1,
                                                        single_command_create(&o, 5000, true, false, 0)));
    QTRY_COMPARE(client.asdus().size(), 6);
    QCOMPARE(client.asdus().last(), QString("type 45 cot 7 n 1"));
    // Quiet for t3 = 1 s: the client tests the link and our station answers.
    QTRY_VERIFY_WITH_TIMEOUT(client.raw().contains("s 680483000000"), 5000);
    QVERIFY(controlling_connection_send_stop_dt(client.c));
    QTRY_COMPARE(client.events().last(), QString("3"));
    controlling_connection_close(client.c);
    QVERIFY(!controlling_connection_is_failed(client.c));

    QTemporaryDir dir;
    QFile log(dir.filePath("session.txt"));
    QVERIFY(log.open(QIODevice::WriteOnly));
    log.write(client.raw().join('\n').toUtf8() + "\n");
    log.close();
    Master m;
    const QString pcap = dir.filePath("session.pcap");
    const QString written = m(QString("pcapfrom %1 %2 %3").arg(pcap, log.fileName()).arg(s.port));
    QVERIFY2(written.startsWith("ok "), qPrintable(written));
    int nega = 0;
    const QString error = tshark_disagrees(pcap, s.port, written.mid(3).toInt(), &nega);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(nega, 0);
}

QTEST_GUILESS_MAIN(tst_iec104_client)
#include "tst_iec104_client.moc"
