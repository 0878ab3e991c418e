// The tables found locked elsewhere, on a clock of the test's own: no server needed.
#include "sql_busy_tables.h"

#include <QtTest>

class tst_sql_busy_tables : public QObject
{
    Q_OBJECT
private slots:
    // A table is busy for exactly the hold after a read met the lock, and remembering one table
    // neither marks nor keeps another.
    void busy_for_the_hold_only()
    {
        qint64 now = 1000;
        Busy_tables busy([&] { return now; }, 10000);
        QCOMPARE(busy.busy("modems_cmd"), QString());
        busy.remember("modems_cmd");
        now += 9999;
        QCOMPARE(busy.busy("modems_cmd"), QString("modems_cmd"));
        QCOMPARE(busy.busy("modems_data"), QString());
        busy.remember("modems_data");
        now += 1;
        QCOMPARE(busy.busy("modems_cmd"), QString());
        QCOMPARE(busy.busy("modems_data"), QString("modems_data"));
        busy.remember("modems_data"); // met again: held from now
        now += 9999;
        QCOMPARE(busy.busy("modems_data"), QString("modems_data"));
        QCOMPARE(busy.busy(QString()), QString());
    }

    // Only a read's wait tells that the reads of a table wait.
    void reads_told_from_writes_data()
    {
        QTest::addColumn<QString>("statement");
        QTest::addColumn<bool>("read");
        QTest::newRow("select") << "SELECT * FROM modems_cmd WHERE cmd_id in (1)" << true;
        QTest::newRow("lower, indented") << "  select 1 from modems_data" << true;
        QTest::newRow("union in brackets") << "(SELECT a FROM t) UNION (SELECT a FROM u)" << true;
        QTest::newRow("with") << "WITH x AS (SELECT 1) SELECT * FROM x" << true;
        QTest::newRow("explain") << "EXPLAIN SELECT * FROM modems_data" << true;
        QTest::newRow("show") << "SHOW TABLES" << true;
        QTest::newRow("insert") << "INSERT INTO modems_iec104 (modem_id) VALUES (7)" << false;
        QTest::newRow("insert select") << "INSERT INTO a SELECT * FROM b" << false;
        QTest::newRow("update") << "UPDATE modems_cmd SET state = 3" << false;
        QTest::newRow("analyze") << "ANALYZE TABLE modems_data" << false;
        QTest::newRow("selected word later") << "DELETE FROM t WHERE x = 'SELECT'" << false;
    }
    void reads_told_from_writes()
    {
        QFETCH(QString, statement);
        QFETCH(bool, read);
        QCOMPARE(Busy_tables::is_read(statement), read);
    }
};

QTEST_GUILESS_MAIN(tst_sql_busy_tables)
#include "tst_sql_busy_tables.moc"
