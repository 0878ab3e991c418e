// Proves that the harness brought both throwaway services up: a suite that silently ran
// without them would prove nothing.
#include "testsupport.h"

#include <QSqlQuery>
#include <QTcpSocket>
#include <QtTest>

class tst_services : public QObject
{
    Q_OBJECT
private slots:
    void mariadb_answers()
    {
        QVERIFY2(testsupport::services_available(), "services fixture did not run");
        QSqlDatabase db = testsupport::open_database("probe", testsupport::service("STROVA_MYSQL_DB"));
        QVERIFY2(db.isOpen(), "cannot connect to the throwaway MariaDB");
        QSqlQuery q(db);
        QVERIFY(q.exec("SELECT 1 + 1"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toInt(), 2);
    }

    void rabbitmq_answers_protocol_header()
    {
        QVERIFY2(testsupport::services_available(), "services fixture did not run");
        QTcpSocket s;
        s.connectToHost(testsupport::service("STROVA_AMQP_HOST"), testsupport::service("STROVA_AMQP_PORT").toUShort());
        QVERIFY(s.waitForConnected(5000));
        s.write(QByteArray("AMQP\x00\x00\x09\x01", 8));
        QVERIFY(s.waitForReadyRead(5000));
        const QByteArray reply = s.readAll();
        // A method frame on channel 0: Connection.Start (class 10, method 10).
        QVERIFY(reply.size() > 11);
        QCOMPARE(quint8(reply[0]), quint8(1));
        QCOMPARE(reply.mid(7, 4), QByteArray("\x00\x0a\x00\x0a", 4));
    }
};

QTEST_GUILESS_MAIN(tst_services)
#include "tst_services.moc"
