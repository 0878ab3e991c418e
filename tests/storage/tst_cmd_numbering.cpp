// The command numbering's books without a database: its two statements run against a table
// kept in memory, with failures (also writes that took effect but whose answer was lost), runs
// that stay out while requests go on, jumps into far free ranges, the wrap and crashes. Whatever
// happens, the stored mark covers every number given, and no number is ever given twice.
#include "cmd_numbering.h"

#include "testsupport.h"

#include <QtTest>
#include <cstdio>
#include <memory>
#include <random>
#include <set>

namespace {
uint32_t ahead(uint32_t from, uint32_t n)
{
    return n - from;
}

// The database as the two statements see it.
struct Table
{
    std::set<uint32_t> stored; // `modems_cmd`.cmd_id
    bool has_mark = false;
    uint32_t mark = 0; // `driver_state`
    bool link_lost = false;
    bool reads_fail = false;
    int fail_per_mille = 0; // of statements failing while the link is there
    std::mt19937* rng = nullptr;
    int stores = 0, reads = 0;

    bool fails() { return link_lost || int((*rng)() % 1000) < fail_per_mille; }
    bool store_mark(uint32_t m)
    {
        ++stores;
        if (fails()) {
            // Half of the failures are answers lost after the write took effect.
            if (!link_lost && (*rng)() % 2) {
                has_mark = true;
                mark = m;
            }
            return false;
        }
        has_mark = true;
        mark = m;
        return true;
    }
    // As the statement: the first stored number from `from` on, each followed by a gap and the
    // window's last, their next one within the window and their place.
    bool read_window(uint32_t from, quint64 window, int rows_max, QList<cmd_numbering::Stored>& rows)
    {
        ++reads;
        if (reads_fail || fails()) return false;
        rows.clear();
        auto it = stored.lower_bound(from);
        quint64 place = 0;
        while (it != stored.end() && place < window && rows.size() < rows_max) {
            ++place;
            cmd_numbering::Stored r;
            r.id = *it;
            ++it;
            r.has_next = it != stored.end() && place < window;
            r.next = r.has_next ? *it : 0;
            r.place = place;
            if (place == 1 || !r.has_next || quint64(r.next) > quint64(r.id) + 1) rows << r;
        }
        return true;
    }
};

// One process of the daemon as the numbering sees it: requests, runs handed to the writer, the
// rows of the numbers it gave.
struct Process
{
    std::unique_ptr<cmd_numbering> n;
    uint32_t base = 0;
    bool started = false;
    QList<uint32_t> unsaved; // numbers given whose rows are not written yet
    bool run_out = false, run_done = false;
    cmd_numbering::Work work;
    QList<uint32_t> run_rows;
    // A mark handed to the writer apart from the runs.
    bool mark_out = false, mark_done = false;
    cmd_numbering::Work mark_work;
};

struct Totals
{
    quint64 given = 0, jumps = 0, wraps = 0, crashes = 0, refused = 0, ambiguous = 0, marks_handed = 0;
};

class Checker
{
public:
    Table t;
    cmd_numbering_limits limits;
    Process p;
    std::set<uint32_t> given_ever;
    Totals totals;
    QString failure;
    bool low = false, high = false; // numbers given on both sides of the wrap

    bool start()
    {
        p = Process();
        p.n = std::make_unique<cmd_numbering>(
            [this](uint32_t m) { return t.store_mark(m); },
            [this](uint32_t from, quint64 w, int max, QList<cmd_numbering::Stored>& rows) {
                return t.read_window(from, w, max, rows);
            },
            limits);
        // As init: above the stored mark (always there once a first start stored it).
        p.base = t.mark;
        p.started = p.n->start(t.mark);
        return check();
    }
    bool command(bool row_written = true)
    {
        if (!p.started) return start();
        const uint32_t before = p.n->counter();
        if (!p.n->next(!p.run_out && !t.link_lost, t.link_lost)) {
            ++totals.refused;
            return check();
        }
        const uint32_t g = p.n->counter();
        if (g == 0) return fail(QStringLiteral("number 0 given"));
        if (!given_ever.insert(g).second) return fail(QStringLiteral("%1 given twice").arg(g));
        if (t.stored.count(g)) return fail(QStringLiteral("%1 given while its row is stored").arg(g));
        ++totals.given;
        if (g != before + 1) ++totals.jumps;
        (g < 0x80000000u ? low : high) = true;
        if (row_written) p.unsaved << g; // else a pseudo modem's: the number stays used, no row
        return check();
    }
    bool hand_out()
    {
        if (!p.started || p.run_out) return true;
        p.work = p.n->take_work();
        if (p.work.store && p.mark_out) return fail(QStringLiteral("a run's mark out beside a handed one"));
        // A mark is written only beyond the one stored and ahead of the counter.
        if (p.work.store && ahead(p.n->counter(), p.work.mark) <= ahead(p.n->counter(), p.n->mark()))
            return fail(
                QStringLiteral("a run writes the mark %1, not beyond %2").arg(p.work.mark).arg(p.n->mark()));
        p.run_rows.swap(p.unsaved);
        p.run_out = true;
        p.run_done = false;
        return true;
    }
    bool execute()
    {
        if (!p.run_out || p.run_done) return true;
        const int stores = t.stores;
        p.n->run_work(p.work);
        if (p.work.store && !p.work.stored && t.mark == p.work.mark && t.stores > stores) ++totals.ambiguous;
        // The rows after the numbering's statements; a lost link keeps them for the next run.
        if (!t.fails()) {
            for (const uint32_t g : qAsConst(p.run_rows))
                t.stored.insert(g);
            p.run_rows.clear();
        }
        p.run_done = true;
        return check();
    }
    bool take_back()
    {
        if (!p.run_out || !p.run_done) return true;
        p.n->take_back(p.work, QStringLiteral("test"));
        p.run_rows.append(p.unsaved);
        p.unsaved.swap(p.run_rows);
        p.run_rows.clear();
        p.run_out = false;
        return check();
    }
    bool save() { return hand_out() && execute() && take_back(); }
    bool hand_mark()
    {
        if (!p.started || p.mark_out) return true;
        p.mark_work = p.n->take_mark();
        if (!p.mark_work.store) return true;
        if (p.mark_work.search) return fail(QStringLiteral("a handed mark carries a search"));
        if (p.run_out && p.work.store && !p.run_done)
            return fail(QStringLiteral("a handed mark out beside a run's"));
        p.mark_out = true;
        p.mark_done = false;
        ++totals.marks_handed;
        return true;
    }
    bool execute_mark()
    {
        if (!p.mark_out || p.mark_done) return true;
        p.n->run_work(p.mark_work);
        p.mark_done = true;
        return check();
    }
    bool take_mark_back()
    {
        if (!p.mark_out || !p.mark_done) return true;
        p.n->take_back(p.mark_work, QStringLiteral("test"));
        p.mark_out = false;
        return check();
    }
    bool crash()
    {
        ++totals.crashes;
        return start();
    }

    // Every number this process gave lies within the stored mark, counted from its start.
    bool check()
    {
        if (!p.started) return true;
        if (!t.has_mark) return fail(QStringLiteral("no mark stored"));
        const uint32_t c = p.n->counter();
        if (c != p.base && ahead(p.base, c) > ahead(p.base, t.mark))
            return fail(QStringLiteral("stored mark %1 behind the number %2 given (start %3)")
                            .arg(t.mark)
                            .arg(c)
                            .arg(p.base));
        if (c != p.base && ahead(p.base, c) > ahead(p.base, p.n->mark()))
            return fail(QStringLiteral("mark %1 behind the number %2 given").arg(p.n->mark()).arg(c));
        return true;
    }
    bool fail(const QString& why)
    {
        if (failure.isEmpty()) failure = why;
        return false;
    }
};
} // namespace

class tst_cmd_numbering : public QObject
{
    Q_OBJECT
    Totals all;
    std::unique_ptr<testsupport::Log_capture> log; // the failed statements' lines, kept quiet

private slots:
    void initTestCase() { log = std::make_unique<testsupport::Log_capture>(2); }

    // The window's rows read as free ranges, as the statement gives them.
    void window_ranges_data()
    {
        QTest::addColumn<uint32_t>("from");
        QTest::addColumn<QList<uint32_t>>("stored");
        QTest::addColumn<int>("window");
        QTest::addColumn<int>("rows_max");
        QTest::addColumn<QString>("ranges");
        QTest::addColumn<uint32_t>("next_from");
        QTest::newRow("nothing stored") << 10u << QList<uint32_t>{} << 5 << 10 << "10-4294967295" << 1u;
        QTest::newRow("the largest stored")
            << 10u << QList<uint32_t>{12, 13, 15} << 5 << 10 << "10-11 14-14 16-4294967295" << 1u;
        QTest::newRow("a full window goes on after it")
            << 1u << QList<uint32_t>{1, 2, 4, 5, 9, 20} << 4 << 10 << "3-3" << 6u;
        QTest::newRow("cut by the limit")
            << 1u << QList<uint32_t>{1, 3, 5, 7, 9} << 10 << 3 << "2-2 4-4 6-6" << 7u;
        QTest::newRow("4294967295 stored") << 4294967290u << QList<uint32_t>{4294967293u, 4294967295u} << 5
                                           << 10 << "4294967290-4294967292 4294967294-4294967294" << 1u;
        QTest::newRow("window ends at 4294967295")
            << 4294967294u << QList<uint32_t>{4294967294u, 4294967295u} << 2 << 10 << "" << 1u;
    }
    void window_ranges()
    {
        QFETCH(uint32_t, from);
        QFETCH(QList<uint32_t>, stored);
        QFETCH(int, window);
        QFETCH(int, rows_max);
        QFETCH(QString, ranges);
        QFETCH(uint32_t, next_from);
        std::mt19937 rng(1);
        Table t;
        t.rng = &rng;
        t.stored.insert(stored.begin(), stored.end());
        QList<cmd_numbering::Stored> rows;
        QVERIFY(t.read_window(from, quint64(window), rows_max, rows));
        QList<QPair<uint32_t, uint32_t>> found;
        uint32_t next = 0;
        cmd_numbering::window_ranges(from, quint64(window), rows, found, next);
        QStringList text;
        for (const auto& r : found)
            text << QStringLiteral("%1-%2").arg(r.first).arg(r.second);
        QCOMPARE(text.join(' '), ranges);
        QCOMPARE(next, next_from);
    }

    // A request jumps into a far free range and stores its mark itself while a lower wish
    // waits for the next save (rows 7,001..200,000 stored, a counter below them as after a
    // restore without the raise); then commands with saves, three more, a crash: the new
    // process gives none of the numbers again.
    void request_jump_while_a_lower_mark_waits_data()
    {
        QTest::addColumn<int>("window");
        QTest::addColumn<bool>("first_read_fails");
        QTest::newRow("window reaching the free range") << 250000 << false;
        QTest::newRow("free range found by a later search") << 100000 << false;
        QTest::newRow("first read failed") << 250000 << true;
    }
    void request_jump_while_a_lower_mark_waits()
    {
        QFETCH(int, window);
        QFETCH(bool, first_read_fails);
        std::mt19937 rng(7);
        Checker k;
        k.t.rng = &rng;
        k.limits.window = quint64(window);
        k.t.has_mark = true;
        k.t.mark = 1000;
        for (uint32_t n = 7001; n <= 200000; ++n)
            k.t.stored.insert(k.t.stored.end(), n);
        // A first read that fails leaves the free numbers to the first run.
        k.t.reads_fail = first_read_fails;
        QVERIFY2(k.start(), qPrintable(k.failure));
        k.t.reads_fail = false;
        QVERIFY(k.save());
        // 6,000 commands without a save: the next block is wished, not yet stored.
        for (int i = 0; i < 6000; ++i)
            QVERIFY2(k.command(), qPrintable(k.failure));
        // Until the search found the free range, the request is refused; then it jumps.
        while (k.p.n->counter() < 200001) {
            const uint32_t before = k.p.n->counter();
            QVERIFY2(k.command(), qPrintable(k.failure));
            if (k.p.n->counter() == before) QVERIFY(k.save());
        }
        QCOMPARE(k.p.n->counter(), 200001u);
        QVERIFY(k.t.mark > 200001);
        // The save after it writes no lower mark.
        const uint32_t stored = k.t.mark;
        QVERIFY2(k.save(), qPrintable(k.failure));
        QVERIFY(k.t.mark >= stored);
        for (int i = 0; i < 30000; ++i) {
            QVERIFY2(k.command(), qPrintable(k.failure));
            if (i % 100 == 99) QVERIFY2(k.save(), qPrintable(k.failure));
        }
        for (int i = 0; i < 3; ++i)
            QVERIFY2(k.command(), qPrintable(k.failure));
        QVERIFY2(k.crash(), qPrintable(k.failure));
        for (int i = 0; i < 3; ++i)
            QVERIFY2(k.command(), qPrintable(k.failure));
        QVERIFY(k.totals.given >= 36006);
    }

    // An outage after the wrap, where the free numbers lie one a range between stored rows,
    // lets as many commands through as one before it: the numbers known ahead are counted in
    // numbers, not ranges, so that the mark stored ahead (about a block) is what bounds it.
    void outage_lets_a_block_through_data()
    {
        QTest::addColumn<bool>("after_wrap");
        QTest::newRow("before the wrap") << false;
        QTest::newRow("after the wrap, single-number gaps") << true;
    }
    void outage_lets_a_block_through()
    {
        QFETCH(bool, after_wrap);
        std::mt19937 rng(3);
        Checker k;
        k.t.rng = &rng;
        k.t.has_mark = true;
        k.t.mark = after_wrap ? UINT32_MAX - 100 : 1000;
        if (after_wrap)
            for (uint32_t n = 1; n <= 400000; n += 2)
                k.t.stored.insert(k.t.stored.end(), n);
        QVERIFY2(k.start(), qPrintable(k.failure));
        // Steady traffic, a save every 50 commands, well past the wrap.
        for (int i = 0; i < 30000; ++i) {
            QVERIFY2(k.command(), qPrintable(k.failure));
            if (i % 50 == 49) QVERIFY2(k.save(), qPrintable(k.failure));
        }
        QCOMPARE(k.totals.refused, quint64(0));
        QCOMPARE(k.low && k.high, after_wrap);
        k.t.link_lost = true;
        const quint64 before = k.totals.given;
        for (int i = 0; i < 30000; ++i) {
            QVERIFY2(k.command(), qPrintable(k.failure));
            if (i % 50 == 49) QVERIFY2(k.save(), qPrintable(k.failure));
        }
        const quint64 through = k.totals.given - before;
        std::fprintf(stderr, "%llu commands numbered through the outage\n",
                     static_cast<unsigned long long>(through));
        QVERIFY2(through >= k.limits.block / 2, qPrintable(QString::number(through)));
        k.t.link_lost = false;
        QVERIFY2(k.save() && k.command(), qPrintable(k.failure));
    }

    // Random interleavings of commands (some of pseudo modems, without a row), runs handed out
    // and taken back while requests go on, marks handed apart from the runs, statements that
    // fail (or take effect and lose their answer), a lost link, crashes, free ranges between
    // stored rows, and the wrap.
    void random_interleavings_data()
    {
        QTest::addColumn<int>("seed");
        for (int seed = 1; seed <= 300; ++seed)
            QTest::newRow(qPrintable(QString::number(seed))) << seed;
    }
    void random_interleavings()
    {
        QFETCH(int, seed);
        std::mt19937 rng{uint32_t(seed)};
        auto pick = [&rng](uint32_t n) { return uint32_t(rng() % n); };
        Checker k;
        k.t.rng = &rng;
        const uint32_t blocks[] = {5, 40, 300};
        k.limits.block = blocks[pick(3)];
        const quint64 windows[] = {8, 64, 2000};
        k.limits.window = windows[pick(3)];
        const int ranges[] = {2, 16, 1000};
        k.limits.ranges_max = ranges[pick(3)];
        const quint64 ahead_wanted[] = {10, 500, 10000000};
        k.limits.free_ahead = ahead_wanted[pick(3)];
        k.limits.windows_max = 1 + int(pick(3));
        k.t.fail_per_mille = int(pick(3)) * 100;

        // Old commands ahead: clumps with holes, some just after the wrap, some ahead of the
        // start, and a start near the end of the numbers or below stored rows.
        const uint32_t start = pick(2) ? UINT32_MAX - pick(3000) : 1000 + pick(1000);
        k.t.has_mark = true;
        k.t.mark = start;
        for (int c = 0; c < 6; ++c) {
            const uint32_t at = pick(2) ? 1 + pick(4000) : start + 1 + pick(4000);
            const uint32_t len = pick(3000);
            const uint32_t hole = 1 + pick(50);
            for (uint32_t i = 0; i < len; ++i) {
                const uint32_t n = at + i;
                if (n != 0 && i % hole != 0) k.t.stored.insert(n);
            }
        }
        if (pick(2)) k.t.stored.insert(UINT32_MAX);
        QVERIFY2(k.start(), qPrintable(k.failure));
        for (int step = 0; step < 3000; ++step) {
            const uint32_t r = pick(1000);
            bool ok = true;
            if (r < 550)
                ok = k.command(pick(20) != 0);
            else if (r < 650)
                ok = k.hand_out();
            else if (r < 700)
                ok = k.hand_mark();
            else if (r < 800)
                ok = k.execute();
            else if (r < 850)
                ok = k.execute_mark();
            else if (r < 920)
                ok = k.take_back();
            else if (r < 960)
                ok = k.take_mark_back();
            else if (r < 990)
                k.t.link_lost = !k.t.link_lost;
            else
                ok = k.crash();
            QVERIFY2(ok, qPrintable(QStringLiteral("step %1: %2").arg(step).arg(k.failure)));
        }
        // The link back and the run in: every number given so far is still covered by the mark,
        // and a last crash gives only new numbers.
        k.t.link_lost = false;
        QVERIFY2(k.execute() && k.take_back() && k.execute_mark() && k.take_mark_back() && k.crash(),
                 qPrintable(k.failure));
        for (int i = 0; i < 20; ++i)
            QVERIFY2(k.command() && k.save(), qPrintable(k.failure));
        all.given += k.totals.given;
        all.jumps += k.totals.jumps;
        all.wraps += k.low && k.high ? 1 : 0;
        all.crashes += k.totals.crashes;
        all.ambiguous += k.totals.ambiguous;
        all.refused += k.totals.refused;
        all.marks_handed += k.totals.marks_handed;
    }
    // The interleavings met what they are for.
    void random_interleavings_reached_every_case()
    {
        QVERIFY2(all.given > 100000, qPrintable(QString::number(all.given)));
        QVERIFY(all.jumps > 1000);
        QVERIFY(all.wraps > 50); // seeds that gave numbers on both sides of the wrap
        QVERIFY(all.crashes > 1000);
        QVERIFY(all.ambiguous > 10);
        QVERIFY(all.marks_handed > 1000);
    }
};

QTEST_GUILESS_MAIN(tst_cmd_numbering)
#include "tst_cmd_numbering.moc"
