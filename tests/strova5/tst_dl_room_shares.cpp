// The downlink room among the callers holding a command right: the queued counts follow the
// queue's order over random interleavings (untracked downlinks among them), and what a caller may
// add meets its part, the reserve of the last places and the room itself.
#include "dl_room_shares.h"

#include <QRandomGenerator>
#include <QtTest>
#include <vector>

class tst_dl_room_shares : public QObject
{
    Q_OBJECT

private slots:
    void counts_follow_the_queue_order()
    {
        QRandomGenerator rng(8911);
        const QStringList names{"token a", "token b", "address 127.0.0.9", ""}; // "": the daemon's own
        for (int round = 0; round < 20; ++round) {
            Dl_room_shares shares;
            std::vector<int> owner; // by order number: the index of its caller
            quint64 left = 0;
            for (int step = 0; step < 200; ++step) {
                if (rng.bounded(3) > 0) {
                    const int who = int(rng.bounded(names.size()));
                    for (int n = int(rng.bounded(1, 30)); n > 0; --n) {
                        if (!names.at(who).isEmpty()) shares.entered(names.at(who), owner.size());
                        owner.push_back(who);
                    }
                } else {
                    left += rng.bounded(quint32(owner.size() - left + 1));
                    shares.advance(left);
                }
                int holding = 0;
                for (int who = 0; who < names.size() - 1; ++who) {
                    int expected = 0;
                    for (size_t seq = left; seq < owner.size(); ++seq)
                        expected += owner[seq] == who;
                    QCOMPARE(shares.queued(names.at(who)), expected);
                    holding += expected > 0;
                }
                QCOMPARE(shares.callers(), holding);
            }
        }
    }

    void allowance_data()
    {
        QTest::addColumn<QList<int>>("held"); // queued downlinks of callers a, b, c
        QTest::addColumn<int>("free_room");
        QTest::addColumn<QList<int>>("allowed");
        // The room of 10,000 with its last 1,000 places kept.
        QTest::newRow("alone: all but the kept places")
            << QList<int>{0, 0, 0} << 10000 << QList<int>{9000, 9000, 9000};
        QTest::newRow("a flood alone leaves the kept places to others")
            << QList<int>{9000, 0, 0} << 1000 << QList<int>{0, 100, 100};
        QTest::newRow("a second caller takes an equal part")
            << QList<int>{4000, 0, 0} << 6000 << QList<int>{5000, 4500, 4500};
        QTest::newRow("two floods at their parts leave the third its commands")
            << QList<int>{4500, 4500, 0} << 1000 << QList<int>{0, 0, 100};
        QTest::newRow("a small caller within the kept places up to 100")
            << QList<int>{4500, 4500, 60} << 940 << QList<int>{0, 0, 40};
        QTest::newRow("three parts") << QList<int>{3000, 2000, 50} << 4950 << QList<int>{0, 1000, 2950};
        QTest::newRow("never beyond the free room") << QList<int>{0, 0, 10} << 30 << QList<int>{30, 30, 30};
        QTest::newRow("no room") << QList<int>{0, 0, 0} << 0 << QList<int>{0, 0, 0};
    }
    void allowance()
    {
        QFETCH(QList<int>, held);
        QFETCH(int, free_room);
        QFETCH(QList<int>, allowed);
        const QStringList names{"token a", "token b", "token c"};
        Dl_room_shares shares;
        quint64 seq = 0;
        for (int who = 0; who < names.size(); ++who)
            for (int n = 0; n < held.at(who); ++n)
                shares.entered(names.at(who), seq++);
        QList<int> got;
        for (const QString& name : names)
            got << shares.allowance(name, free_room, 10000);
        QCOMPARE(got, allowed);
    }
};

QTEST_APPLESS_MAIN(tst_dl_room_shares)
#include "tst_dl_room_shares.moc"
