// The report runner on a clock of its own: reports whose every modem costs a set time, so that
// places, turns, waits and time bounds are tried in milliseconds of test time.
#include "api_controller.h"
#include "api_reports_job.h"

#include <QtTest>
#include <map>

namespace {

qint64 g_now = 0;

QList<uint32_t> ids(int n)
{
    QList<uint32_t> out;
    for (int i = 1; i <= n; ++i)
        out << uint32_t(i);
    return out;
}

// Each modem takes `ms` of the clock and answers one row.
class timed_job : public report_job
{
public:
    timed_job(int modems_, qint64 ms_)
        : report_job(QStringLiteral("test"), ids(modems_), QStringLiteral("t")), ms(ms_)
    {
    }

protected:
    int serve(int from, int) override
    {
        g_now += ms;
        out.append(QVariantMap{{QStringLiteral("modem"), uint(modems.at(from))}});
        ++answered;
        return 1;
    }

private:
    const qint64 ms;
};

// What the runner answered, per ticket name.
struct answers
{
    std::map<QString, QVariant> got;
    QStringList order;
    std::function<void(QVariant)> to(const QString& name)
    {
        return [this, name](QVariant v) {
            got[name] = std::move(v);
            order << name;
        };
    }
    int status(const QString& name) const
    {
        const auto it = got.find(name);
        if (it == got.end()) return 0;
        return it->second.userType() == qMetaTypeId<api_refusal>() ? it->second.value<api_refusal>().status
                                                                   : 200;
    }
};

} // namespace

class tst_api_reports_job : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        g_now = 1000000;
        report_job::clock = [] { return g_now; };
    }

    // One caller holds one place however many reports it asks; its others wait, and another
    // caller still gets a place (and its first slice) at once.
    void a_caller_holds_one_place()
    {
        report_runner runner;
        answers a;
        QVERIFY(runner.may_try_first("token a"));
        for (int i = 0; i < 5; ++i)
            QVERIFY(runner.take(std::make_unique<timed_job>(50, 100), "token a",
                                a.to(QString("a%1").arg(i))) != 0);
        QCOMPARE(runner.running(), 1);
        QCOMPARE(runner.waiting(), 4);
        QVERIFY(!runner.may_try_first("token a"));
        QVERIFY(runner.may_try_first("address 127.0.0.9"));
        runner.take(std::make_unique<timed_job>(3, 100), "address 127.0.0.9", a.to("probe"));
        QCOMPARE(runner.running(), 2);
        // A sixth report of the same caller finds no more room to wait.
        QCOMPARE(runner.take(std::make_unique<timed_job>(1, 1), "token a", a.to("a5")), quint64(0));
        QCOMPARE(a.status("a5"), 503);
        // The probe was answered first; the caller's own reports take 5 s of the clock each, one
        // after the other.
        QTRY_COMPARE(a.got.size(), size_t(7));
        QCOMPARE(a.order, QStringList({"a5", "probe", "a0", "a1", "a2", "a3", "a4"}));
        QCOMPARE(a.status("probe"), 200);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(a.status(QString("a%1").arg(i)), 200);
        QCOMPARE(runner.running() + runner.waiting(), 0);
    }

    // Four reports of a third of the time bound each, asked together by four callers: turns are
    // shared, and each is measured by its own work, so all four are answered. One that needs
    // more than the bound by itself is refused.
    void work_not_waiting_counts_against_the_bound()
    {
        report_runner runner;
        answers a;
        for (int i = 0; i < 4; ++i)
            runner.take(std::make_unique<timed_job>(200, report_job::time_max_ms / 3 / 200),
                        QString("token %1").arg(i), a.to(QString::number(i)));
        QCOMPARE(runner.running(), 4);
        const qint64 start = g_now;
        QTRY_COMPARE(a.got.size(), size_t(4));
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(a.status(QString::number(i)), 200);
            QCOMPARE(
                QJsonDocument::fromJson(a.got[QString::number(i)].value<api_json_text>().json).array().size(),
                200);
        }
        QVERIFY(g_now - start >= 4 * (report_job::time_max_ms / 3)); // longer than the bound in all

        runner.take(std::make_unique<timed_job>(700, 100), "token x", a.to("long"));
        QTRY_COMPARE(a.status("long"), 503);
        QVERIFY(a.got["long"].value<api_refusal>().text.startsWith("report too long"));
    }

    // A report waits for a place at most the queue's bound; one that holds a place and one that
    // waits are both dropped at once when their clients leave, and the next in line moves up.
    void waiting_is_bounded_and_leaving_frees_the_place()
    {
        report_runner runner;
        answers a;
        // 500 s of work each (refused at the time bound): these four hold every place.
        quint64 held[4];
        for (int i = 0; i < 4; ++i)
            held[i] = runner.take(std::make_unique<timed_job>(5000, 100), QString("token %1").arg(i),
                                  a.to(QString("held%1").arg(i)));
        const quint64 waiting = runner.take(std::make_unique<timed_job>(2, 100), "token w", a.to("w"));
        runner.take(std::make_unique<timed_job>(2, 100), "token late", a.to("late"));
        QCOMPARE(runner.waiting(), 2);
        runner.drop(waiting);
        runner.drop(held[0]);
        QCOMPARE(runner.waiting(), 0);
        QCOMPARE(runner.running(), 4); // "late" moved up into the freed place
        QTRY_COMPARE(a.status("late"), 200);
        QVERIFY(a.got.find("w") == a.got.end() && a.got.find("held0") == a.got.end());

        held[0] = runner.take(std::make_unique<timed_job>(5000, 100), "token 0", a.to("held0"));
        runner.take(std::make_unique<timed_job>(2, 100), "token v", a.to("v"));
        QCOMPARE(runner.waiting(), 1);
        QTRY_COMPARE(a.status("v"), 503);
        QVERIFY(a.got["v"].value<api_refusal>().text.contains("reports are being built"));
        QVERIFY(g_now - 1000000 >= report_runner::wait_max_ms);
        for (const quint64 t : held)
            runner.drop(t);
        QCOMPARE(runner.running(), 0);
    }

    // Counted rows that cannot fit the answer are refused at once, before the rest is counted.
    void a_report_known_too_large_is_refused_at_once()
    {
        class counted_job : public timed_job
        {
        public:
            using timed_job::timed_job;
            int counted_pieces = 0;

        protected:
            qint64 count(int, int, int& done) override
            {
                ++counted_pieces;
                done = 1;
                return answer_max / row_bytes_min / 2; // two modems pass the bound
            }
        };
        counted_job job(1000, 1);
        const QVariant answer = job.run();
        QCOMPARE(answer.value<api_refusal>().status, 413);
        QCOMPARE(job.counted_pieces, 3);
    }
};

QTEST_GUILESS_MAIN(tst_api_reports_job)
#include "tst_api_reports_job.moc"
