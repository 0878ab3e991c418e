// Broadcast interrogations from two masters in a loop while uplinks give new modems their
// addresses, values change and settings are rewritten: run in the sanitizer build.
#include "../iec60870/iec104_station_fixture.h"
#include "iec104.h"
#include "logger.h"
#include "parser_strova5.h"
#include "ram_modems.h"
#include "storage_double.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QtTest>

namespace {
// Addresses go straight into the registry, as storage does after a good insert.
class Address_storage : public Storage_double
{
public:
    bool add_iec104_modem(uint32_t modem, uint32_t iec_id) override
    {
        RAM_modems::instance->set_iec_id(modem, iec_id);
        return true;
    }
    QMap<uint32_t, uint32_t> get_iec104_map() override { return RAM_modems::instance->iec104_map(); }
    Parser_ul_app get_last_curr(uint32_t) override { return Parser_ul_app(); }
};
} // namespace

class tst_iec104_races : public QObject
{
    Q_OBJECT

private slots:
    void interrogations_beside_uplinks()
    {
        log_set_level(LVL_OFF);
        RAM_modems ram(QVariantMap(), nullptr);
        Address_storage storage;
        IEC104 iec(nullptr);
        const int port = iec104test::free_port();
        station_set_local_port(iec.station, port);
        QVERIFY(iec.start());

        iec104test::Master first, second;
        QList<iec104test::Master*> masters{&first, &second};
        for (iec104test::Master* m : masters) {
            const int id = m->open(port);
            QVERIFY(id > 0);
            QCOMPARE((*m)(QString("send %1 680407000000").arg(id)), QString("ok"));
            QCOMPARE((*m)(QString("recv %1 2000").arg(id)), QString("apdu 68040B000000"));
            m->start(QString("giloop %1 %2").arg(id).arg(qEnvironmentVariableIntValue("STROVA_RACE_MS") ?: 30000));
        }
        QElapsedTimer t;
        t.start();
        uint32_t modem = 10000, round = 0;
        while (t.elapsed() < (qEnvironmentVariableIntValue("STROVA_RACE_MS") ?: 30000)) {
            round++;
            Parser_ul_app ul;
            ul.modem_id = round % 3 == 0 && modem < 10200 ? ++modem : 10001 + round % qMax(1u, modem - 10000);
            Ul_data_record rec(254, 1700000000 + round);
            rec.values[obis_pack(0, 0, 96, 3, 0, 255)] = 0x1ABC2DEFu + round;
            rec.values[obis_pack(0, 0, 96, 3, 1, 255)] = 0x4123856Fu;
            for (unsigned c : {21u, 23u, 32u, 41u, 43u, 52u, 61u, 63u, 72u, 14u})
                rec.values[obis_pack(1, 0, c, 7, 0, 255)] = double(round % 17) + c;
            ul.ul_datas << rec;
            iec.slot_UL(ul);
            ram.slot_set_setting(ul.modem_id, "iec104_params",
                                 QVariantMap{{QString::number(100 + round % 80), QVariantMap{{"k", round % 5}}}}, false);
            QCoreApplication::processEvents();
        }
        for (iec104test::Master* m : masters) {
            const QString r = m->answer();
            qInfo() << r;
            QVERIFY2(r.startsWith("giloop ") && !r.contains("closed"), qPrintable(r));
            const QStringList w = r.split(' ');
            // Under load a loop may finish only a few interrogations; what counts is that they
            // overlapped with uplinks and setting changes and every one ended.
            QVERIFY2(w.value(1).toInt() > 0 && w.value(3).toInt() > 0 && w.value(5).toInt() > 0, qPrintable(r));
        }
        QVERIFY(ram.iec104_map().size() > 10);
        iec.stop();
    }
};

QTEST_GUILESS_MAIN(tst_iec104_races)
#include "tst_iec104_races.moc"
