// Hostile items for the command, setting, registry and parse handlers: random hex payloads
// (the decoder's own vectors mangled) at "parse", random lists at "status" and "RAM"/"indexes",
// random codes and values at "set". Nothing may crash or read out of range; what is written
// follows the items.
#include "api_controller.h"
#include "logger.h"
#include "radio_exchange.h"
#include "ram_modems.h"
#include "storage_double.h"
#include "strova_controller.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

class tst_api_handlers_hostile : public QObject
{
    Q_OBJECT

    QRandomGenerator rng{22071};
    QTemporaryDir dir;
    Storage_double* sql = nullptr;
    API_controller* api = nullptr;

    QString random_text(int max)
    {
        static const char alphabet[] = "0123456789,,, -xX+.\"'\\%00{}[]:";
        QString out;
        for (int n = int(rng.bounded(max + 1)); n > 0; --n)
            out += rng.bounded(5) == 0 ? QChar(ushort(rng.bounded(1, 0x500)))
                                       : QChar(alphabet[rng.bounded(int(sizeof(alphabet) - 1))]);
        return out;
    }
    QString random_list(int max)
    {
        QStringList parts;
        for (int n = int(rng.bounded(max + 1)); n > 0; --n) {
            const int kind = int(rng.bounded(4));
            parts << (kind == 0   ? QString::number(rng.generate())
                      : kind == 1 ? QString::number(rng.bounded(20))
                      : kind == 2 ? QString::number(qint64(rng.generate64()))
                                  : random_text(4));
        }
        return parts.join(',');
    }
    // The answer as the client reads it: routes built in slices answer written JSON text.
    QVariant run(const QString& path, const QVariantMap& qitems)
    {
        const QVariant answer =
            api->api_exec({{"path", path.split('/')}, {"qitems", qitems}, {"rights", QStringList{"admin"}}});
        if (answer.userType() != qMetaTypeId<api_json_text>()) return answer;
        return QJsonDocument::fromJson(answer.value<api_json_text>().json).toVariant();
    }

private slots:
    void initTestCase()
    {
        API_controller::files_dir = dir.path();
        new RAM_modems(QVariantMap(), this);
        new strova_controller(QVariantMap(), this);
        new Radio_Exchange(QVariantMap(), this);
        sql = new Storage_double;
        api = new API_controller(QVariantMap(), this);
        log_set_level(0);
        for (uint32_t m = 1; m <= 12; ++m) {
            modem_record* rec = RAM_modems::instance->add_modem(
                m, {{"arch_info_15", QVariantMap{{"index", 1200}, {"count_max", 1100}, {"rec_size", 20}}}});
            for (uint32_t i = 0; i < 40; ++i) {
                rec->aix_day.indexes.insert(i, 1700000000 + i);
                rec->aix_hour.indexes.insert(i * 30, 1700000000 + i);
            }
        }
    }
    void cleanupTestCase() { delete sql; }

    void parse_random_payloads()
    {
        QList<QByteArray> seeds;
        for (const testsupport::Vector& v : testsupport::read_vectors(VECTORS("parser_ul.txt"), "decode"))
            seeds << testsupport::vector_bytes(v.fields.value(0), 1700006700);
        QVERIFY(!seeds.isEmpty());
        for (int i = 0; i < 6000; ++i) {
            QByteArray payload = seeds.at(int(rng.bounded(seeds.size())));
            for (int k = int(rng.bounded(4)); k > 0 && !payload.isEmpty(); --k) {
                const int at = int(rng.bounded(payload.size()));
                const int how = int(rng.bounded(3));
                if (how == 0) payload[at] = char(rng.bounded(256));
                else if (how == 1) payload.truncate(at);
                else payload.insert(at, QByteArray(int(rng.bounded(9)), char(rng.bounded(256))));
            }
            QString data = QString::fromLatin1(payload.toHex());
            if (rng.bounded(4) == 0) data.insert(int(rng.bounded(data.size() + 1)), random_text(6));
            const QVariantMap answer = run("api/diagnostics/parse", {{"data", data}}).toMap();
            QCOMPARE(answer.value("modem_id").toUInt(), 1u);
        }
        QVERIFY(sql->uplinks.isEmpty()); // decoded, never stored
    }

    void status_random_lists()
    {
        for (int i = 0; i < 3000; ++i)
            QVERIFY(run("api/cmd/status", {{"cmd_id", random_list(30)}}).type() == QVariant::Map);
        QStringList many;
        for (int i = 0; i < 100000; ++i)
            many << QString::number(rng.generate());
        QVERIFY(run("api/cmd/status", {{"cmd_id", many.join(',')}}).type() == QVariant::Map);
    }

    void indexes_random_lists()
    {
        const QStringList codes{"remove", "clear", "reload", "", "x"};
        for (int i = 0; i < 3000; ++i) {
            const QVariantMap qitems{{"modem", random_list(6)}, {"code", codes.at(int(rng.bounded(codes.size())))},
                                     {"arch", rng.bounded(2) ? QString::number(rng.bounded(300)) : random_text(5)},
                                     {"indexes", random_list(40)}};
            const QVariantMap answer = run("api/RAM/indexes", qitems).toMap();
            for (auto it = answer.cbegin(); it != answer.cend(); ++it) {
                const uint32_t id = it.key().toUInt();
                QVERIFY(id >= 1 && id <= 12); // modems the registry lacks get no entry
                QCOMPARE(it.value().toMap().value("modem_id").toUInt(), id);
            }
        }
    }

    void set_random_codes_and_values()
    {
        for (int i = 0; i < 3000; ++i) {
            QString code = rng.bounded(8) == 0 ? QString(int(127 + rng.bounded(4)), 'c') : random_text(10);
            const QVariant value = rng.bounded(6) == 0 ? QVariant() : QVariant(random_text(24));
            const QString modems = random_list(3);
            sql->uplinks.clear();
            const QVariantMap answer = run("api/setting/set", {{"modem", modems}, {"code", code}, {"value", value}}).toMap();
            const int selected = api->get_modems({{"modem", modems}}).size();
            QCOMPARE(answer.size(), selected);
            const bool writes = !code.isEmpty() && code.size() <= 128;
            QCOMPARE(sql->saved().size(), writes ? selected : 0);
        }
    }

    // Ids read in place agree with a plain split of the list, whatever surrounds them; a list of
    // more distinct ids than one request serves keeps its first ones, in their order.
    void modem_lists_read_in_place()
    {
        const QStringList parts{"",   "0",  "7",          " 8",         "9 ",   "+5",
                                "-5", "x1", "4294967295", "4294967296", "0012", "1e3"};
        for (int i = 0; i < 2000; ++i) {
            QStringList list;
            for (int n = rng.bounded(12); n >= 0; --n)
                list << (rng.bounded(3) ? parts.at(rng.bounded(parts.size()))
                                        : QString::number(rng.generate()));
            QList<uint32_t> expected;
            for (const QString& p : list) {
                const uint32_t id = p.toUInt();
                if (id != 0 && !expected.contains(id)) expected << id;
            }
            QCOMPARE(api->get_modems({{"modem", list.join(',')}}), expected);
        }
        QStringList many;
        for (int i = API_controller::k_modems_max + 500; i >= 1; --i)
            many << QString::number(i) << QString::number(i); // repeats count once
        testsupport::Log_capture log;
        const QList<uint32_t> kept = api->get_modems({{"modem", many.join(',')}});
        QCOMPARE(kept.size(), API_controller::k_modems_max);
        QCOMPARE(kept.first(), uint32_t(API_controller::k_modems_max + 500));
        QCOMPARE(kept.last(), 501u);
        QVERIFY2(log.has("modem list: 1000 entries after the first 100000 ids left out"),
                 qPrintable(log.all().right(500)));
    }

    // Lists of hundreds of thousands of ids, mostly repeats, and texts of megabytes: each id is
    // served once, and no log line carries more than its cut of the outside text.
    void long_lists_and_texts()
    {
        QStringList ids;
        for (int i = 0; i < 200000; ++i)
            ids << QString::number(rng.bounded(1, 30000));
        const QString list = ids.join(',');
        const int distinct = api->get_modems({{"modem", list}}).size();
        QVERIFY(distinct > 25000);
        const QVariantMap sizes =
            run("api/setting/version_list", {{"modem", list}}).toMap().value("sw_size").toMap();
        int served = 0;
        for (const QVariant& n : sizes)
            served += n.toInt();
        QCOMPARE(served, distinct);

        const QString text =
            QString(4 << 20, QLatin1Char('\'')) + random_text(2000) + QString(4 << 20, QLatin1Char('\\'));
        testsupport::Log_capture log;
        sql->uplinks.clear();
        run("api/setting/set", {{"modem", "3,3,3,4"}, {"code", "c"}, {"value", text}, {"x", text}});
        QCOMPARE(sql->saved().size(), 2);
        run("api/cmd/send", {{"modem", list.left(1000)}, {"code", text}, {"value", text}});
        run("api/cmd/send",
            {{"modem", "5"}, {"code", "relay"}, {"value", QString(1 << 20, QLatin1Char(','))}});
        run("api/time_sync/set", {{"sync_url", text}, {"sync_source", text}});
        int longest = 0;
        for (const QString& line : log.all().split('\n'))
            longest = qMax(longest, line.size());
        QVERIFY2(longest < 4096, qPrintable(QString::number(longest)));
        QVERIFY(log.has(" in all)"));
    }
};

QTEST_GUILESS_MAIN(tst_api_handlers_hostile)
#include "tst_api_handlers_hostile.moc"
