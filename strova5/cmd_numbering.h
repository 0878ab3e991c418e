#pragma once
// The bookkeeping of command numbers: the counter, the mark stored ahead of it, the free ranges
// known ahead (after the wrap, numbers whose rows are still stored are skipped) and what the
// next run of the writer is to do for them. No number is ever given twice, also across a crash
// (a new process goes on above the stored mark) and around the wrap.
//
// The two statements it needs are handed in, so that it runs without a database: the one that
// stores the mark and the one that reads a window of stored numbers. The main thread owns the
// object; the writer runs only run_work() on a Work it was handed, which touches nothing else.

#include "log_limiter.h"

#include <QList>
#include <QPair>
#include <QString>
#include <functional>

// The sizes of the numbering's steps.
struct cmd_numbering_limits
{
    // Numbers are taken in blocks of this many free numbers: the mark is stored that far
    // ahead before any of them goes out.
    uint32_t block = 10000;
    // A search is wanted while fewer free numbers than this are known ahead: counted in
    // numbers, so that after the wrap, where free numbers may lie one a range between stored
    // rows, as many are known ahead as before it...
    quint64 free_ahead = 10000000;
    // ...and while the ranges known leave room for those of one more search, of which there are
    // at most this many. The ranges kept are bounded for memory alone (8 bytes each): room for
    // two blocks of free numbers one a range.
    int ranges_max = 1000;
    int ranges_kept = 20000;
    // Stored numbers one statement reads at most, in one ordered range scan of the key; a search
    // reads up to `windows_max` windows while they hold no free number.
    quint64 window = 100000;
    int windows_max = 8;
};

class cmd_numbering
{
public:
    using Limits = cmd_numbering_limits;
    // One stored number of a window as the search statement gives it: the number, the stored
    // number after it within the window (none for the window's last) and its place in the
    // window (1 for the first). The statement gives the first, every one followed by a gap and
    // the last, in order, at most `rows_max` of them.
    struct Stored
    {
        uint32_t id = 0;
        bool has_next = false;
        uint32_t next = 0;
        quint64 place = 0;
    };
    using Store_mark = std::function<bool(uint32_t mark)>;
    using Read_window = std::function<bool(uint32_t from, quint64 window, int rows_max, QList<Stored>& rows)>;

    cmd_numbering(Store_mark store_mark, Read_window read_window, Limits limits = Limits{});

    // Numbering goes on above `mark`, the one stored by the last process: the first window is
    // read (a failed read goes with the next run) and the first block is taken. False when the
    // block's mark cannot be stored.
    bool start(uint32_t mark);
    // The same without a statement: the free numbers are read with the next run, and the first
    // block is taken by the first number or with the next run.
    void restart(uint32_t mark);

    uint32_t counter() const { return counter_; }
    uint32_t mark() const { return mark_; }

    // The next free number into counter(). A mark beyond the current one is stored right here
    // only when `may_store` (no run is out and the link is not known lost) and no mark is out
    // (a statement of the writer's could land after this one); otherwise the number
    // is refused, refusal() says why, and the mark goes with the next run. `link_lost` only
    // chooses the words.
    bool next(bool may_store, bool link_lost);
    const QString& refusal() const { return refusal_; }
    void refuse(const QString& why) { refusal_ = why; }
    // Stores `mark` at once: nearer than a block, never behind a number given (tests).
    bool store_mark_at(uint32_t mark);

    // What one run of the writer does for the numbering: a search, a mark to store, and what
    // came of them.
    struct Work
    {
        bool search = false;
        uint32_t from = 1;
        quint64 epoch = 0;
        bool searched = false; // the statement was sent
        bool search_ok = false;
        // What it found from `from` on, in order, and where the next search goes on.
        QList<QPair<uint32_t, uint32_t>> found;
        uint32_t next_from = 1;
        bool store = false;
        uint32_t mark = 0;
        bool stored = false;
        bool empty() const { return !search && !store; }
    };
    bool has_work() const { return search_wanted || mark_wanted; }
    // The work of a run: the search wanted and the mark wished, unless a mark is out already
    // (one store at a time, so that no mark is ever overwritten by an older one).
    Work take_work();
    // Only the mark wished, for a statement of its own ahead of the rows that wait; it comes
    // back through take_back like a run's.
    Work take_mark();
    bool mark_out_now() const { return mark_out; }
    void run_work(Work& work) const; // any thread: the statements only
    // `error`: the statement's error text, for the line of a failed search.
    void take_back(const Work& work, const QString& error);

    // The free ranges a window's rows leave from `from` on, in order, and where the next search
    // goes on (1 once the largest number was reached).
    static void window_ranges(uint32_t from, quint64 window, const QList<Stored>& rows,
                              QList<QPair<uint32_t, uint32_t>>& found, uint32_t& next_from);

    // Refused commands, at most once a minute while they last.
    log_limiter refusal_lines{QStringLiteral("commands refused: no command number"), LVL_ERR, 1, 60000};

private:
    const Store_mark store_;
    const Read_window read_;
    const Limits limits_;

    uint32_t counter_ = 0;
    uint32_t mark_ = 0;                       // stored, and covering every number given
    uint32_t base_ = 0;                       // the counter's start in this process
    quint64 epoch_ = 0;                       // a search out for an earlier start is not taken
    QList<QPair<uint32_t, uint32_t>> ranges_; // known free, ahead of the counter, in order
    bool exhausted_ = false;                  // every number ahead is stored
    bool search_wanted = false, search_out = false;
    uint32_t search_from = 1;
    bool mark_wanted = false, mark_out = false;
    uint32_t wished = 0, out_mark = 0;
    QString refusal_;
    log_limiter search_lines{QStringLiteral("command number search failed"), LVL_ERR, 1, 60000};

    // Distances from the counter in the order numbers are given, around the wrap: how far the
    // numbers of this process may still go (up to its start), whether `m` lies beyond the mark.
    quint64 reach() const;
    bool beyond_mark(uint32_t m) const;
    quint64 known() const;
    // The k-th free number ahead (the last known when fewer are known; the counter when none).
    uint32_t free_number(quint64 k) const;
    // The mark a block ahead: at least a block of free numbers (or of numbers) past the counter,
    // short of the start of this process.
    uint32_t block_mark() const;
    bool add_range(uint32_t first, uint32_t last);
    void want_search();
    void want_mark(uint32_t m);
    void take_mark_into(Work& w);
    void keep_mark_ahead();
    void set_mark(uint32_t m);
    void drop_used();
};
