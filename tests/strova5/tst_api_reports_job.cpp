// The report runner on a clock of its own: reports whose every modem costs a set time, so that
// places, turns, waits and time bounds are tried in milliseconds of test time.
#include "api_controller.h"
#include "api_reports_runner.h"
#include "testsupport.h"

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

// The slices in the order the runner gave them, by the tags of the reports that note them.
QStringList g_slices;

// A timed report that notes each of its modems' slices under `tag`.
class noted_job : public timed_job
{
public:
    noted_job(int modems_, qint64 ms_, QString tag_) : timed_job(modems_, ms_), tag(std::move(tag_)) {}

protected:
    int serve(int from, int want) override
    {
        g_slices << tag;
        return timed_job::serve(from, want);
    }

private:
    const QString tag;
};

// A report on the web front's road: tried at once where the rule allows, else taken by the
// runner (or refused before any work).
void ask(report_runner& runner, const QString& caller, report_caller kind, std::unique_ptr<report_job> job,
         const std::function<void(QVariant)>& done)
{
    const report_runner::admission a = runner.admits(caller, kind);
    if (!a.any()) {
        done(runner.refusal(caller, kind));
        return;
    }
    if (a.try_now && report_runner::worth_a_try(*job) && runner.try_first(*job, caller, kind)) {
        done(job->take_answer());
        return;
    }
    runner.take(std::move(job), caller, kind, done);
}

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

// Whether a report of `caller` would find a place or room to wait (not only a try).
bool room(const report_runner& runner, const QString& caller, report_caller kind)
{
    const report_runner::admission a = runner.admits(caller, kind);
    return a.place || a.wait;
}

// The 3 places of `view` callers and their 48 entries taken by long reports: "placed N" holds the
// places, callers PREFIX 0 to 11 wait four reports each (answered as "viewC.K"). True when every
// waiting report was taken.
bool fill_view(report_runner& runner, answers& a, const QString& prefix)
{
    for (int i = 0; i < 3; ++i)
        runner.take(std::make_unique<timed_job>(5000, 100), QString("placed %1").arg(i), report_caller::view,
                    a.to(QString("placed%1").arg(i)));
    bool all = true;
    for (int c = 0; c < 12; ++c)
        for (int k = 0; k < 4; ++k)
            all = runner.take(std::make_unique<timed_job>(5000, 100), prefix + QString::number(c),
                              report_caller::view, a.to(QString("view%1.%2").arg(c).arg(k))) != 0 &&
                  all;
    return all;
}

// One modem whose answer is `bytes` long, built in one slice.
class sized_job : public report_job
{
public:
    explicit sized_job(qint64 bytes_)
        : report_job(QStringLiteral("test"), ids(1), QStringLiteral("t")), bytes(bytes_)
    {
    }

protected:
    int serve(int, int) override
    {
        g_now += 10;
        out.append(QString(int(bytes), 'x'));
        return 1;
    }

private:
    const qint64 bytes;
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
        report_runner::rest_share = 0;
    }

    // One caller holds one place however many reports it asks; its others wait, and another
    // caller still gets a place (and its first slice) at once.
    void a_caller_holds_one_place()
    {
        report_runner runner;
        answers a;
        QVERIFY(runner.admits("token a", report_caller::command).try_now);
        for (int i = 0; i < 5; ++i)
            QVERIFY(runner.take(std::make_unique<timed_job>(50, 100), "token a",
                                a.to(QString("a%1").arg(i))) != 0);
        QCOMPARE(runner.running(), 1);
        QCOMPARE(runner.waiting(), 4);
        QVERIFY(!runner.admits("token a", report_caller::command).try_now);
        QVERIFY(runner.admits("address 127.0.0.9", report_caller::command).try_now);
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

        // Four fresh reports hold the places again (how far the others got depends on how fast
        // the turns ran meanwhile).
        for (int i = 0; i < 4; ++i) {
            runner.drop(held[i]);
            held[i] = runner.take(std::make_unique<timed_job>(5000, 100), QString("token %1").arg(i),
                                  a.to(QString("held%1").arg(i)));
        }
        QCOMPARE(runner.running(), 4);
        runner.take(std::make_unique<timed_job>(2, 100), "token v", a.to("v"));
        QCOMPARE(runner.waiting(), 1);
        QTRY_COMPARE(a.status("v"), 503);
        QCOMPARE(
            a.got["v"].value<api_refusal>().text,
            QString("no place within 30 s; callers with a command right: 4 of 4 report places and 0 of 8 "
                    "waiting entries taken; try again shortly"));
        QVERIFY(g_now - 1000000 >= report_runner::wait_max_ms);
        for (const quint64 t : held)
            runner.drop(t);
        QCOMPARE(runner.running(), 0);
    }

    // The places and the room to wait by kind of caller: one place and 8 entries kept for command
    // callers, whose waiting reports go first; callers without a right at most one place and 8
    // entries together; `view` callers the 3 other places and 48 entries. A report that would find
    // no room is refused before any work.
    void places_by_kind_of_caller()
    {
        report_runner runner;
        answers a;
        const auto anon = report_caller::anonymous, view = report_caller::view, cmd = report_caller::command;
        // Callers without a right: one place, then 8 waiting, then no room, whatever their number.
        for (int i = 0; i < 9; ++i)
            QVERIFY(runner.take(std::make_unique<timed_job>(5000, 100), QString("address %1").arg(i), anon,
                                a.to(QString("anon%1").arg(i))) != 0);
        QCOMPARE(runner.running(), 1);
        QVERIFY(!room(runner, "address 99", anon));
        QCOMPARE(runner.take(std::make_unique<timed_job>(50, 1), "address 99", anon, a.to("anon99")),
                 quint64(0));
        QCOMPARE(a.status("anon99"), 503);
        // `view` callers take the two other shared places and wait in their own 48 entries.
        for (int i = 0; i < 50; ++i)
            QVERIFY(runner.take(std::make_unique<timed_job>(5000, 100), QString("view %1").arg(i), view,
                                a.to(QString("view%1").arg(i))) != 0);
        QCOMPARE(runner.running(), 3);
        QVERIFY(!room(runner, "view 99", view));
        // The operator finds its kept place at once, and its 8 entries.
        QVERIFY(room(runner, "operator", cmd));
        const quint64 op = runner.take(std::make_unique<timed_job>(5000, 100), "operator", cmd, a.to("op"));
        QCOMPARE(runner.running(), 4);
        for (int i = 0; i < 8; ++i)
            QVERIFY(runner.take(std::make_unique<timed_job>(5000, 100), QString("operator %1").arg(i), cmd,
                                a.to(QString("op%1").arg(i))) != 0);
        QVERIFY(!room(runner, "operator 9", cmd));
        QCOMPARE(runner.waiting(), 8 + 48 + 8);
        // A freed place goes to a waiting command caller before the `view` callers that waited
        // longer; nothing of the anonymous ones takes a second place.
        runner.drop(op);
        QCOMPARE(runner.running(), 4);
        QVERIFY(!room(runner, "view 99", view));
        QCOMPARE(runner.waiting(), 8 + 48 + 7);
    }

    // A refused report's line names its caller and why, and its answer what it met: its kind's
    // places and entries as they were, not the runner's total.
    void a_refused_report_names_its_caller_and_why()
    {
        testsupport::Log_capture log;
        report_runner runner;
        answers a;
        const auto view = report_caller::view, anon = report_caller::anonymous;
        fill_view(runner, a, "token ");
        const QString full =
            "view callers: 3 of 3 report places and 48 of 48 waiting entries taken; try again "
            "shortly";
        runner.take(std::make_unique<timed_job>(5000, 100), "address 127.0.0.9", view, a.to("new"));
        QVERIFY2(log.has("report test refused (503): gave way to another caller's first report; " + full +
                         " (gave way to another caller, for token 0; 5000 modems, t, 0 ms)"),
                 qPrintable(log.all()));
        QCOMPARE(runner.take(std::make_unique<timed_job>(5000, 100), "token 1", view, a.to("fifth")),
                 quint64(0));
        QCOMPARE(a.got["fifth"].value<api_refusal>().text,
                 QString("4 reports of this caller wait already; try again shortly"));
        QCOMPARE(
            runner.take(std::make_unique<timed_job>(5000, 100), "address 127.0.0.9", view, a.to("sixth")),
            quint64(0));
        QCOMPARE(a.got["sixth"].value<api_refusal>().text, full);
        QVERIFY(log.has("report test refused (503): " + full +
                        " (no room to wait, for address 127.0.0.9; 5000 modems"));
        // One report being built by a caller without a right, 8 waiting: the refusal says one place.
        for (int i = 0; i < 9; ++i)
            runner.take(std::make_unique<timed_job>(5000, 100), QString("address %1").arg(i), anon,
                        a.to(QString("anon%1").arg(i)));
        const QVariant anon_refusal = runner.refusal("address 99", anon);
        QCOMPARE(anon_refusal.value<api_refusal>().status, 503);
        QCOMPARE(anon_refusal.value<api_refusal>().text,
                 QString("callers without a right: 1 of 1 report place and 8 of 8 waiting entries taken; try "
                         "again shortly"));
        g_now += report_runner::wait_max_ms + 1;
        QTRY_VERIFY(a.got.count("view1.0"));
        QVERIFY(log.has("report test refused (503): no place within 30 s; "));
        QVERIFY(log.has(" (waited too long, for token 1; 5000 modems, t, 30001 ms)"));
    }

    // Answers being sent count until released: a caller whose answer is still read waits for its
    // next place, and callers without a command right stop at 192 MiB where command callers go on
    // to 256 MiB.
    void answers_being_sent_are_bounded()
    {
        report_runner runner;
        answers a;
        constexpr qint64 mib = 1 << 20;
        const quint64 big = runner.hold("view a", report_caller::view, 47 * mib);
        runner.take(std::make_unique<timed_job>(2, 100), "view a", report_caller::view, a.to("a"));
        QCOMPARE(runner.running(), 0); // waits for its own answer to leave
        QVERIFY(!runner.admits("view a", report_caller::view).try_now);
        QVERIFY(runner.admits("view b", report_caller::view).try_now);
        runner.release(big);
        QCOMPARE(runner.running(), 1);
        QTRY_COMPARE(a.status("a"), 200);

        QList<quint64> keys;
        for (int i = 0; i < 3; ++i)
            keys << runner.hold(QString("user %1").arg(i), report_caller::command, 47 * mib);
        QCOMPARE(runner.sending(), 141 * mib);
        // 141 + 64 passes 192: `view` waits; 141 + 64 stays within 256: the operator builds.
        runner.take(std::make_unique<timed_job>(5000, 100), "view b", report_caller::view, a.to("b"));
        runner.take(std::make_unique<timed_job>(5000, 100), "operator", report_caller::command, a.to("op"));
        QCOMPARE(runner.running(), 1);
        QCOMPARE(runner.waiting(), 1);
        runner.release(keys.takeFirst());
        runner.release(keys.takeFirst());
        QCOMPARE(runner.running(), 2);
        QCOMPARE(runner.waiting(), 0);
        runner.release(keys.takeFirst());
        QCOMPARE(runner.sending(), 0);
    }

    // The tries of all callers together take one slice a round, and every slice, tried or turned,
    // leaves the event loop free for half its time while other work waits (with nothing else
    // pending the next one follows at once): a report of one modem waiting behind four long ones
    // has its slice within a turn or two and is answered without a place.
    void tries_take_one_slice_a_turn_and_slices_rest()
    {
        report_runner runner;
        answers a;
        report_runner::rest_share = 0.5;
        QVERIFY(runner.admits("x", report_caller::view).try_now);
        timed_job first(1, 100);
        QVERIFY(runner.try_first(first, "x", report_caller::view));
        QVERIFY(runner.admits("x", report_caller::view).try_now); // nothing else waited
        timed_job again(1, 100);
        QVERIFY(runner.try_first(again, "x", report_caller::view));
        QObject other; // another's event, delivered by the loop after the slice
        QCoreApplication::postEvent(&other, new QEvent(QEvent::User));
        QCoreApplication::sendPostedEvents(&other);
        QVERIFY(!runner.admits("x", report_caller::view).try_now); // the rest alone paces the tries
        g_now += 50;
        QVERIFY(runner.admits("x", report_caller::view).try_now);
        for (int i = 0; i < 4; ++i)
            runner.take(std::make_unique<timed_job>(5000, 100), QString("token %1").arg(i),
                        report_caller::command, a.to(QString("held%1").arg(i)));
        QCOMPARE(runner.running(), 4);
        timed_job second(1, 10);
        QVERIFY(runner.try_first(second, "z", report_caller::view));
        g_now += 1000;
        QVERIFY(!runner.admits("y", report_caller::view).try_now); // the tries had this round's slice
        runner.take(std::make_unique<timed_job>(1, 20), "y", report_caller::view, a.to("y"));
        QCOMPARE(runner.waiting(), 1);
        // The rest is real time here, while the reports' clock is the test's.
        report_runner::rest_share = 0;
        QTRY_COMPARE(a.status("y"), 200);
        QCOMPARE(runner.running(), 4);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(a.status(QString("held%1").arg(i)), 0);
    }

    // With the place and the 8 entries of callers without a right taken, a newcomer's report of one
    // modem is still answered by its try; one the try does not answer is refused, and its caller
    // has no other try until 30 s have passed.
    void a_try_comes_before_a_refusal_for_want_of_room()
    {
        report_runner runner;
        answers a;
        const auto anon = report_caller::anonymous;
        for (int i = 0; i < 9; ++i)
            runner.take(std::make_unique<timed_job>(5000, 100), QString("address %1").arg(i), anon,
                        a.to(QString("anon%1").arg(i)));
        QVERIFY(!room(runner, "address 99", anon));
        QVERIFY(runner.admits("address 99", anon).try_now);
        timed_job one(1, 10);
        QVERIFY(runner.try_first(one, "address 99", anon));
        QVERIFY(one.answer().userType() == qMetaTypeId<api_json_text>());

        // The place's turn comes before the next try.
        for (int i = 0; i < 4 && !runner.admits("address 98", anon).try_now; ++i)
            QCoreApplication::processEvents();
        auto big = std::make_unique<timed_job>(50, 100);
        QVERIFY(!runner.try_first(*big, "address 98", anon));
        QCOMPARE(runner.take(std::move(big), "address 98", anon, a.to("big")), quint64(0));
        QCOMPARE(a.status("big"), 503);
        for (int i = 0; i < 4 && !runner.admits("address 97", anon).try_now; ++i)
            QCoreApplication::processEvents();
        QVERIFY(runner.admits("address 97", anon).try_now);
        QVERIFY(!runner.admits("address 98", anon).try_now);
        g_now += report_runner::wait_max_ms;
        QVERIFY(runner.admits("address 98", anon).try_now);
        // A report of one modem that finds no room and cannot be tried at once waits for its try
        // among the turns.
        QVERIFY(runner.take(std::make_unique<timed_job>(1, 10), "address 96", anon, a.to("later")) != 0);
        QTRY_COMPARE(a.status("later"), 200);
    }

    // Sixty callers without a right whose tries each answer 8 MiB, held while sent: answers past
    // the 192 MiB of callers without a command right are refused, and a command caller's report
    // then finds its place at once.
    void tries_count_against_the_memory()
    {
        report_runner runner;
        answers a;
        constexpr qint64 mib = 1 << 20;
        int answered = 0;
        for (int i = 0; i < 60; ++i) {
            const QString caller = QString("address %1").arg(i);
            g_now += 1000;
            if (!runner.admits(caller, report_caller::anonymous).try_now) continue;
            sized_job job(8 * mib);
            QVERIFY(runner.try_first(job, caller, report_caller::anonymous));
            if (job.answer().userType() != qMetaTypeId<api_json_text>()) continue; // refused
            runner.hold(caller, report_caller::anonymous, job.answer().value<api_json_text>().json.size());
            ++answered;
        }
        QVERIFY2(runner.sending() <= report_runner::memory_max - report_runner::memory_kept,
                 qPrintable(QString("%1 MiB held").arg(runner.sending() / mib)));
        QVERIFY(answered >= 20 && answered < 60);
        runner.take(std::make_unique<timed_job>(2, 100), "operator", report_caller::command, a.to("op"));
        QCOMPARE(runner.running(), 1);
        QTRY_COMPARE(a.status("op"), 200);
    }

    // The 48 entries of `view` callers taken by one caller's four and eleven callers' four each: a
    // caller that waits for nothing takes the newest entry of a caller waiting for two or more.
    void a_caller_without_an_entry_takes_the_newest_of_one_with_two()
    {
        report_runner runner;
        answers a;
        const auto view = report_caller::view;
        QVERIFY(fill_view(runner, a, "view "));
        QCOMPARE(runner.waiting(), 48);
        QVERIFY(room(runner, "newcomer", view));
        QVERIFY(runner.take(std::make_unique<timed_job>(5000, 100), "newcomer", view, a.to("new")) != 0);
        QCOMPARE(runner.waiting(), 48);
        QCOMPARE(a.got.size(), size_t(1));
        QCOMPARE(a.order.first().section('.', 1), QString("3")); // a newest entry gave way
        QCOMPARE(a.status(a.order.first()), 503);
        // A caller already waiting does not push others out.
        QVERIFY(!room(runner, "view 0", view));
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

    // Rows read without a count, since an estimate said they fit: once the modems served foresee
    // more than the bound, the rest is counted, and a report that cannot fit is refused then, not
    // when its answer reaches the bound; one whose big rows were all early is answered.
    void an_uncounted_report_is_counted_once_it_foresees_the_bound()
    {
        class estimated_job : public timed_job
        {
        public:
            estimated_job(int modems_, int rows_) : timed_job(modems_, 0), rows_at(rows_) {}
            int served = 0, recounts = 0;
            bool asked_again = false;

        protected:
            int serve(int from, int) override
            {
                ++served;
                if (from >= rows_at) return 1; // a modem without rows
                out.append(QVariantMap{{QStringLiteral("modem"), uint(modems.at(from))},
                                       {QStringLiteral("v"), QString(10000, 'x')}});
                ++answered;
                return 1;
            }
            qint64 count(int from, int, int& done) override
            {
                done = total - from;
                if (!asked_again) return 0;
                ++recounts;
                return qMin(total, rows_at) - from;
            }
            bool count_again() override { return asked_again = true; }

        private:
            const int rows_at;
        };
        estimated_job big(10000, 10000);
        QCOMPARE(big.run().value<api_refusal>().status, 413);
        QCOMPARE(big.recounts, 1);
        QVERIFY2(big.served < 1100, qPrintable(QString::number(big.served)));

        estimated_job early(10000, 1000);
        const QVariant answer = early.run();
        QVERIFY(answer.userType() != qMetaTypeId<api_refusal>());
        QCOMPARE(early.recounts, 1);
        QCOMPARE(early.served, 10000);
    }

    // The `view` places and entries taken by long reports, and 120 callers without a right asking
    // one-slice reports again as soon as each is answered or refused: a `view` caller's one-slice
    // report is still answered within a second, each of ten in a row, and the callers without a
    // right still have a try between any two of its (the kinds take the tries in turn).
    void the_tries_go_round_the_kinds()
    {
        report_runner runner;
        answers a;
        const auto view = report_caller::view, anon = report_caller::anonymous;
        g_slices.clear();
        int long_ones = 0;
        for (int i = 0; i < 60; ++i)
            long_ones += runner.take(std::make_unique<noted_job>(5000, 50, "long"),
                                     QString("token %1").arg(i), view, a.to(QString("long%1").arg(i))) != 0;
        QCOMPARE(long_ones, 3 + 48);
        std::vector<char> pending(120, 0);
        QList<qint64> waits;
        QList<int> statuses;
        bool view_pending = false;
        qint64 view_asked = 0;
        for (int pass = 0; pass < 5000 && waits.size() < 10; ++pass) {
            for (int i = 0; i < 120; ++i) {
                if (pending[i]) continue;
                pending[i] = 1;
                ask(runner, QString("address 127.0.1.%1").arg(i), anon,
                    std::make_unique<noted_job>(1, 50, "anon"), [&pending, i](QVariant) { pending[i] = 0; });
            }
            if (!view_pending) {
                view_pending = true;
                view_asked = g_now;
                ask(runner, "token polite", view, std::make_unique<noted_job>(1, 50, "view"),
                    [&](QVariant v) {
                        view_pending = false;
                        waits << g_now - view_asked;
                        statuses << (v.userType() == qMetaTypeId<api_refusal>()
                                         ? v.value<api_refusal>().status
                                         : 200);
                    });
            }
            QCoreApplication::processEvents();
        }
        QCOMPARE(waits.size(), 10);
        QCOMPARE(statuses, QVector<int>(10, 200).toList());
        for (const qint64 w : waits)
            QVERIFY2(w <= 1000, qPrintable(QString("a view report answered after %1 ms").arg(w)));
        // Between any two of the `view` caller's slices, a caller without a right had one.
        const int first = g_slices.indexOf("view");
        QVERIFY(first >= 0);
        int anon_since = 1;
        for (int i = first; i < g_slices.size(); ++i) {
            if (g_slices.at(i) == "anon") ++anon_since;
            if (g_slices.at(i) != "view") continue;
            QVERIFY2(anon_since > 0, qPrintable(QString("two view slices in a row at slice %1").arg(i)));
            anon_since = 0;
        }
        QVERIFY(g_slices.count("anon") >= 10);
    }

    // Forty `view` callers keeping two 5,000-modem reports each (their places and entries taken,
    // entries given way and asked again) and 120 callers without a right asking one-slice reports
    // in a loop: a `view` caller's one-slice report asked every 2 s gets its kind's try wherever it
    // waits, and is answered each time before the next.
    void a_small_view_report_is_tried_wherever_it_waits()
    {
        report_runner runner;
        answers a;
        const auto view = report_caller::view, anon = report_caller::anonymous;
        std::vector<int> long_pending(40, 0);
        std::vector<char> anon_pending(120, 0);
        QList<int> statuses;
        bool polite_pending = false;
        qint64 next_ask = g_now;
        int asked = 0, in_entry = 0;
        for (int pass = 0; pass < 20000 && statuses.size() < 10; ++pass) {
            for (int i = 0; i < 40; ++i)
                while (long_pending[i] < 2) {
                    ++long_pending[i];
                    ask(runner, QString("token %1").arg(i), view, std::make_unique<timed_job>(5000, 50),
                        [&long_pending, i](QVariant) { --long_pending[i]; });
                    if (long_pending[i] < 2) break; // refused at once: asked again next pass
                }
            for (int i = 0; i < 120; ++i) {
                if (anon_pending[i]) continue;
                anon_pending[i] = 1;
                ask(runner, QString("address 127.0.1.%1").arg(i), anon, std::make_unique<timed_job>(1, 50),
                    [&anon_pending, i](QVariant) { anon_pending[i] = 0; });
            }
            if (g_now >= next_ask) {
                QVERIFY2(!polite_pending, qPrintable(QString("ask %1 not answered within 2 s").arg(asked)));
                polite_pending = true;
                next_ask = g_now + 2000;
                ++asked;
                const report_runner::admission ad = runner.admits("token polite", view);
                in_entry += !ad.try_now && ad.wait ? 1 : 0;
                ask(runner, "token polite", view, std::make_unique<timed_job>(1, 50), [&](QVariant v) {
                    polite_pending = false;
                    statuses << (v.userType() == qMetaTypeId<api_refusal>() ? v.value<api_refusal>().status
                                                                            : 200);
                });
            }
            QCoreApplication::processEvents();
        }
        QCOMPARE(statuses, QVector<int>(10, 200).toList());
        QVERIFY(in_entry >= 5);        // it waited among the long reports' entries, not only for a try
        QCOMPARE(runner.running(), 3); // the long reports kept their places meanwhile
    }
};

QTEST_GUILESS_MAIN(tst_api_reports_job)
#include "tst_api_reports_job.moc"
