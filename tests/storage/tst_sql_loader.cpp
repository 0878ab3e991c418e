// The loader thread against the throwaway MariaDB: archive-index maps reaching the registry,
// profile tail removal, age-based removal, a connection that opens late, and a clean stop.
#include "logger.h"
#include "ram_modems.h"
#include "sql_exchange.h"
#include "sql_loader.h"
#include "strova_controller.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QSqlQuery>
#include <QtTest>
#include <memory>

namespace {
std::unique_ptr<testsupport::Log_capture> g_log; // from any thread, from initTestCase on

class Storage : public SQL_Exchange
{
public:
    using SQL_Exchange::loader;
    using SQL_Exchange::SQL_Exchange;
};

using index_map = QMap<uint32_t, uint32_t>;

const int64_t now_s = QDateTime::currentSecsSinceEpoch();
const uint32_t day = 86400;

// "type@ts" rows for the age-based removal with the cut-off at 10 days (864000), in stored order:
// 49 holds day records at whole days and other values in between.
const QStringList all_data{"12@86400",  "13@86400",  "14@86400", "15@86400", "49@86400", "49@90000",
                           "49@864000", "49@867600", "50@86400", "64@86400", "66@86400", "66@867600",
                           "68@86400",  "68@864000", "70@86400", "72@86400"};
const QStringList all_events{"3@86400", "3@867600", "5@86400", "15@86400", "49@86400"};

// The blank-separated items of a vector field ("-": none).
QStringList items(const QString& field)
{
    return field == "-" ? QStringList() : field.split(' ', Qt::SkipEmptyParts);
}
// "5:3000 6:4000" -> {5: 3000, 6: 4000}
index_map map_of(const QString& field)
{
    index_map m;
    for (const QString& i : items(field))
        m.insert(i.section(':', 0, 0).toUInt(), i.section(':', 1).toUInt());
    return m;
}
QStringList without(QStringList list, const QString& gone)
{
    for (const QString& g : items(gone))
        list.removeAll(g);
    return list;
}
} // namespace

class tst_sql_loader : public QObject
{
    Q_OBJECT

    QMap<QString, QString> env;
    QSqlDatabase check;
    std::unique_ptr<RAM_modems> ram;
    std::unique_ptr<Storage> storage;

    QVariantMap config(const QString& db_name, const QVariantMap& timers = {})
    {
        QVariantMap t = timers;
        t.insert("data_ms", 50);
        QVariantMap c = testsupport::db_config(env, db_name);
        c.insert("timers", t);
        return c;
    }
    bool start_storage(const QVariantMap& timers = {})
    {
        storage.reset();
        storage = std::make_unique<Storage>(config("st_loader", timers), nullptr);
        return storage->init();
    }
    void exec(const QString& statement)
    {
        QSqlQuery q(check);
        QVERIFY2(q.exec(statement), qPrintable(q.lastError().text() + " " + statement));
    }
    void insert_data(uint32_t modem, uint32_t type, int64_t ts, uint32_t ts_get, uint32_t index)
    {
        exec(
            QString(
                "INSERT INTO modems_data (modem_id, ts, ts_get, `type`, `index`) VALUES (%1, %2, %3, %4, %5)")
                .arg(modem)
                .arg(ts)
                .arg(ts_get)
                .arg(type)
                .arg(index));
    }
    // "type@ts" of the stored rows of a modem, ascending.
    QStringList stored(const QString& table, uint32_t modem = 305)
    {
        QStringList out;
        QSqlQuery q(check);
        q.exec(QString("SELECT `type`, ts FROM %1 WHERE modem_id = %2 ORDER BY `type`, ts")
                   .arg(table)
                   .arg(modem));
        while (q.next())
            out << QString("%1@%2").arg(q.value(0).toUInt()).arg(q.value(1).toUInt());
        return out;
    }
    // Runs one retention tick in the loader thread and returns when it is over.
    void tick()
    {
        SQL_loader* l = storage->loader;
        QVERIFY(QMetaObject::invokeMethod(l, "slot_timer_sec", Qt::BlockingQueuedConnection));
    }

private slots:
    void initTestCase()
    {
        env = testsupport::services();
        QVERIFY2(!env.value("STROVA_MYSQL_PORT").isEmpty(), "no throwaway MariaDB");
        g_log = std::make_unique<testsupport::Log_capture>();
        register_record_metatypes();
        check = testsupport::schema_database("st_loader", "check");
    }
    void init()
    {
        g_log->clear();
        ram = std::make_unique<RAM_modems>(QVariantMap(), nullptr);
        exec("DELETE FROM modems_data");
        exec("DELETE FROM modems_event");
    }
    void cleanup()
    {
        storage.reset();
        ram.reset();
    }

    void archive_indexes_data() { testsupport::vector_rows(VECTORS("sql_loader.txt"), "indexes"); }
    void archive_indexes()
    {
        QFETCH(QStringList, f);
        const uint kind = f[0].toUInt(), limit = f[1].toUInt();
        const bool wrapped = f[5] == "1";
        const uint32_t modem = 305, other = 306;
        for (const QString& r : items(f[2])) {
            const QStringList v = r.split(':');
            insert_data(modem, v[0].toUInt(), v[1].toUInt(), v[2].toUInt(), v[3].toUInt());
        }
        insert_data(other, 68, 100, 9, 1); // another modem's row is never part of the map
        insert_data(other, 66, 100, 9, 1);
        QVERIFY(start_storage());
        modem_record* rec = ram->add_modem(modem, {});
        arch_index& aix = kind == 14 ? rec->aix_day : rec->aix_hour;
        aix.indexes = map_of(f[3]);
        QSignalSpy updated(storage.get(), &SQL_Exchange::signal_modem_index_updated);

        storage->slot_loader_req(modem, uint8_t(kind), limit);
        QTRY_COMPARE_WITH_TIMEOUT(updated.count(), 1, 10000);
        QCOMPARE(updated.at(0).at(0).toUInt(), modem);
        QCOMPARE(aix.indexes, map_of(f[4]));
        QVERIFY(aix.is_loaded);
        const arch_index& untouched = kind == 14 ? rec->aix_hour : rec->aix_day;
        QVERIFY(!untouched.is_loaded && untouched.indexes.isEmpty());
        QCOMPARE(g_log->count("break load"), wrapped ? 1 : 0);
        if (wrapped) QCOMPARE(g_log->count(QString("break load %1 size: 3 index: 7").arg(modem)), 1);
    }

    void requests_without_effect()
    {
        insert_data(305, 13, 100, 9, 1);
        QVERIFY(start_storage());
        modem_record* rec = ram->add_modem(305, {});
        QSignalSpy updated(storage.get(), &SQL_Exchange::signal_modem_index_updated);
        // Requests are served in order: once the last one is answered, the others had their turn.
        storage->slot_loader_req(305, 14, 1); // a limit below 2 asks for nothing
        storage->slot_loader_req(305, 14, 0);
        storage->slot_loader_req(999, 14, 10); // a modem the registry does not hold
        storage->slot_loader_req(305, 13, 10); // a kind the registry keeps no map of
        QTRY_COMPARE_WITH_TIMEOUT(updated.count(), 1, 10000);
        QCOMPARE(updated.at(0).at(0).toUInt(), 305u);
        QVERIFY(!rec->aix_day.is_loaded && !rec->aix_hour.is_loaded);
        QVERIFY(rec->aix_day.indexes.isEmpty() && rec->aix_hour.indexes.isEmpty());
        QCOMPARE(g_log->count("SELECT ts, `type`, `index` FROM modems_data"), 2); // one Trc line per query
    }

    void tail_removal_data() { testsupport::vector_rows(VECTORS("sql_loader.txt"), "tail"); }
    void tail_removal()
    {
        QFETCH(QStringList, f);
        QVariantMap timers;
        for (const QString& t : items(f[0]))
            timers.insert(t.section(':', 0, 0), t.section(':', 1).toInt());
        for (const uint32_t modem : {305u, 306u}) // 306 is not queued
            for (const uint32_t type : {49u, 64u, 66u, 68u, 70u})
                for (const uint32_t days_ago : {400u, 40u, 2u, 0u})
                    insert_data(modem, type, now_s - days_ago * day, 9, 1);
        const QStringList all = stored("modems_data", 306);
        QVERIFY(start_storage(timers));

        for (int i = 0; i < 3; ++i)
            storage->slot_remove_tail(305);
        tick();
        tick();
        QCOMPARE(g_log->count("modem for remove_tail 305"), 1); // queued three times, served once
        QStringList expected = all;
        for (const QString& r : items(f[1]))
            expected.removeAll(QString("%1@%2").arg(r.section(':', 0, 0)).arg(now_s - r.section(':', 1).toUInt() * day));
        QCOMPARE(stored("modems_data", 305), expected);
        QCOMPARE(stored("modems_data", 306), all);
    }

    void age_based_removal_data() { testsupport::vector_rows(VECTORS("sql_loader.txt"), "age"); }
    void age_based_removal()
    {
        QFETCH(QStringList, f);
        QList<uint32_t> types;
        for (const QString& t : items(f[0]))
            types << t.toUInt();
        const uint cut = f[1].toUInt();
        const QStringList data_left = without(all_data, f[2]), events_left = without(all_events, f[3]);
        for (const QString& r : all_data)
            insert_data(305, r.section('@', 0, 0).toUInt(), r.section('@', 1).toUInt(), 9, 1);
        for (const QString& r : all_events)
            exec(
                QString("INSERT INTO modems_event (modem_id, ts, ts_get, `type`, `index`, `event`, worktime) "
                        "VALUES (305, %2, 9, %1, 1, 1, 0)")
                    .arg(r.section('@', 0, 0), r.section('@', 1)));
        QVERIFY(start_storage());

        if (types.size() == 1)
            storage->remove_old(uint8_t(types.first()), cut);
        else
            storage->remove_old(types, cut);
        // Removed in the loader's thread, off the caller's.
        QTRY_COMPARE_WITH_TIMEOUT(stored("modems_data"), data_left, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(stored("modems_event"), events_left, 20000);
        if (types.isEmpty()) {
            QCOMPARE(g_log->count("DELETE"), 0);
            return;
        }
        // One line for the pass: its kinds, and the rows it took from each table.
        QTRY_COMPARE_WITH_TIMEOUT(g_log->count("retention pass done"), 1, 20000);
        const int from_data = all_data.size() - data_left.size(),
                  from_events = all_events.size() - events_left.size();
        const QString line = QString("%1 rows removed (kinds %2; modems_data %3, modems_event %4)")
                                 .arg(from_data + from_events)
                                 .arg(f[0].simplified().replace(' ', ','))
                                 .arg(from_data)
                                 .arg(from_events);
        QVERIFY2(g_log->has(line), qPrintable(line + "\n" + g_log->all()));
    }

    // A table locked elsewhere (a DBA's LOCK TABLES) holds each statement of the loader 2 s, not
    // the link's 10: the retention's piece and a modem's tail removal stay queued, said once, and
    // are done after the unlock; the pass ends as done, nothing of it dropped.
    void locked_table_keeps_removals_queued()
    {
        for (const uint32_t type : {66u, 68u})
            for (const uint32_t modem : {305u, 306u})
                insert_data(modem, type, 86400, 9, 1);
        insert_data(307, 66, now_s - 400 * day, 9, 1);
        QVERIFY(start_storage({{"remove_profile_hour_d", 30}}));
        storage->loader->locked_retry_ms = 300;
        QSqlDatabase locker = testsupport::open_database("locker", check.databaseName(), env);
        QVERIFY(locker.isOpen());
        QVERIFY(QSqlQuery(locker).exec("LOCK TABLES modems_data WRITE"));
        storage->remove_old(QList<uint32_t>{14, 15}, 864000);
        storage->slot_remove_tail(307);
        QTRY_VERIFY2_WITH_TIMEOUT(g_log->has("modems_data is locked elsewhere, its work waits"),
                                  qPrintable(g_log->all()), 10000);
        QElapsedTimer took;
        took.start();
        tick(); // the tail removal meets the lock
        QVERIFY2(took.elapsed() < 6000, qPrintable(QString::number(took.elapsed())));
        QTest::qWait(1500); // a few of the piece's retries meet it too
        QCOMPARE(storage->loader->removals_waiting(), 1);
        QVERIFY(QSqlQuery(locker).exec("UNLOCK TABLES"));
        locker.close();
        QTRY_COMPARE_WITH_TIMEOUT(g_log->count("retention pass done"), 1, 20000);
        QVERIFY2(g_log->has("4 rows removed (kinds 14,15; modems_data 4,"), qPrintable(g_log->all()));
        QCOMPARE(stored("modems_data", 305), QStringList());
        QCOMPARE(stored("modems_data", 306), QStringList());
        QTRY_VERIFY_WITH_TIMEOUT((tick(), stored("modems_data", 307).isEmpty()), 20000);
        QCOMPARE(g_log->count("is locked elsewhere"), 1);
        QVERIFY(!g_log->has("ended by a failed statement"));
    }

    // The controller's pass over every kind, most of them with nothing to remove: one line
    // each pass, not one a kind, naming all its kinds and the rows of each table.
    void a_controller_pass_is_one_line()
    {
        insert_data(305, 66, 86400, 9, 1);
        exec("INSERT INTO modems_event (modem_id, ts, ts_get, `type`, `index`, `event`, worktime) "
             "VALUES (305, 86400, 9, 3, 1, 1, 0)");
        QVERIFY(start_storage());
        strova_controller ctl(
            QVariantMap{{"profiles_len_days",
                         QVariantMap{{"remover_ms", 3600000}, {"hour", 1}, {"day", 1}, {"month", 1}, {"event", 1}}}},
            nullptr);
        for (int pass = 1; pass <= 3; ++pass) {
            ctl.slot_timer_remover();
            QTRY_COMPARE_WITH_TIMEOUT(g_log->count("retention pass done"), pass, 10000);
            QTRY_COMPARE(storage->loader->removals_waiting(), 0);
        }
        QCOMPARE(g_log->count("retention pass done"), 3);
        QCOMPARE(g_log->count("(kinds 15, 14, 13, 0-11; modems_data "), 3);
        QVERIFY(g_log->has("2 rows removed (kinds 15, 14, 13, 0-11; modems_data 1, modems_event 1)"));
    }

    // Many modems a piece, a modem of more rows than a piece, the lowest and the highest modem
    // id: every row before the cut-off goes, none at or after it, whatever the pieces' edges.
    void age_based_removal_walks_every_modem()
    {
        const uint32_t cut = 20000;
        // 3,000 modems with rows at 100, 200 and 30,000; modem 2000 with 25,000 more at 1 to 25,000.
        exec("INSERT INTO modems_data (modem_id, ts, ts_get, `type`, `index`) SELECT 1 + (seq - 1) DIV 3, "
             "ELT(1 + (seq - 1) MOD 3, 100, 200, 30000), 9, 68, 1 FROM seq_1_to_9000");
        exec("INSERT INTO modems_data (modem_id, ts, ts_get, `type`, `index`) SELECT 2000, seq, 9, 68, 2 "
             "FROM seq_1_to_25000");
        for (const uint32_t modem : {0u, 4294967295u})
            for (const uint32_t ts : {cut - 1, cut})
                insert_data(modem, 68, ts, 9, 1);
        insert_data(17, 66, 100, 9, 1); // another type stays
        QVERIFY(start_storage());
        storage->remove_old(14, cut);
        QTRY_COMPARE_WITH_TIMEOUT(g_log->count("retention pass done"), 1, 30000);
        const auto scalar = [this](const QString& sql) {
            QSqlQuery q(check);
            return q.exec(sql) && q.next() ? q.value(0).toLongLong() : -1;
        };
        QCOMPARE(scalar(QString("SELECT COUNT(*) FROM modems_data WHERE `type` = 68 AND ts < %1").arg(cut)),
                 0);
        QCOMPARE(scalar("SELECT COUNT(*) FROM modems_data WHERE `type` = 68"), 3000 + (25000 - cut + 1) + 2);
        QCOMPARE(scalar("SELECT COUNT(*) FROM modems_data WHERE `type` = 66"), 1);
        const int removed = 6000 + (cut - 1) + 2;
        QVERIFY2(
            g_log->has(QString("%1 rows removed (kinds 14; modems_data %1, modems_event 0)").arg(removed)),
            qPrintable(g_log->all().right(1000)));
    }

    void connection_opens_late()
    {
        // The loader starts before its database exists; it keeps trying and drops requests meanwhile.
        {
            QSqlQuery q(check);
            q.exec("DROP DATABASE IF EXISTS st_loader_late");
        }
        auto loader = std::make_unique<SQL_loader>(config("st_loader_late"), 100);
        // Taken in this thread: a spy on the loader's thread would fill its list there.
        QList<QVariantList> results;
        QObject receiver;
        connect(loader.get(), &SQL_loader::signal_loader_res, &receiver,
                [&results](uint32_t modem, uint8_t type, index_map indexes) {
                    results << QVariantList{modem, type, QVariant::fromValue(indexes)};
                },
                Qt::QueuedConnection);
        SQL_loader* l = loader.get();
        // Said once when the outage starts; the retries (every 100 ms here) are only counted.
        QTRY_COMPARE_WITH_TIMEOUT(g_log->count("can't open db_loader"), 1, 10000);
        QCOMPARE(g_log->count("(Exc)"), 1);
        QMetaObject::invokeMethod(l, "slot_loader_req", Qt::QueuedConnection, Q_ARG(uint32_t, 305),
                                  Q_ARG(uint8_t, 14), Q_ARG(uint32_t, 10));
        QMetaObject::invokeMethod(l, "slot_remove_tail", Qt::QueuedConnection, Q_ARG(uint32_t, 305));
        QTRY_COMPARE_WITH_TIMEOUT(g_log->count("index load dropped"), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(g_log->count("remove_tail dropped"), 1, 10000);

        {
            QSqlDatabase late = testsupport::schema_database("st_loader_late", "late");
            QVERIFY(QSqlQuery(late).exec("INSERT INTO modems_data (modem_id, ts, ts_get, `type`, `index`) "
                                         "VALUES (305, 100, 9, 68, 4)"));
            late.close();
        }
        QSqlDatabase::removeDatabase("late");
        QTRY_COMPARE_WITH_TIMEOUT(g_log->count("db_loader open"), 1, 10000);
        // The end of the outage says how many retries failed, in one line.
        QVERIFY(g_log->count("can't open db_loader") <= 2);
        QMetaObject::invokeMethod(l, "slot_loader_req", Qt::QueuedConnection, Q_ARG(uint32_t, 305),
                                  Q_ARG(uint8_t, 14), Q_ARG(uint32_t, 10));
        QTRY_COMPARE_WITH_TIMEOUT(results.count(), 1, 10000);
        QCOMPARE(results.at(0).at(2).value<index_map>(), (index_map{{4, 100}}));
        QCOMPARE(results.count(), 1); // the dropped request stayed dropped

        loader->quit();
        QVERIFY(loader->wait(10000));
        QVERIFY(!QSqlDatabase::contains("loader"));
    }

    void storage_stops_its_loader()
    {
        QVERIFY(start_storage());
        QVERIFY(storage->loader->isRunning());
        QTRY_VERIFY_WITH_TIMEOUT(QSqlDatabase::contains("loader"), 5000);
        storage->slot_loader_req(305, 14, 100); // still in flight: dropped with the thread
        storage.reset();
        QVERIFY(!QSqlDatabase::contains("loader"));
        QVERIFY(!QSqlDatabase::contains("main_connect"));
    }
};

QTEST_GUILESS_MAIN(tst_sql_loader)
#include "tst_sql_loader.moc"
