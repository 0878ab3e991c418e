#pragma once
// Storage's worker thread: loads archive-index maps and removes old profile rows, on a database
// connection of its own ("loader"), so that neither holds up the main thread.
//
// It is reached through queued signals (its slots run in its own thread), except for the
// remove-tail queue, which any thread fills under a lock and the retention tick empties: a wake-up
// per uplink would cost more than the clean-up itself. It never touches the registry: results go
// back to SQL_Exchange by value. Whoever owns it stops it with quit()
// and wait() before deleting it; the connection is closed and removed in the thread itself.

#include "log_limiter.h"
#include "logger.h"

#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QSet>
#include <QSqlDatabase>
#include <QThread>
#include <QVariantMap>
#include <atomic>
#include <cstdint>
#include <chrono>
#include <condition_variable>
#include <mutex>

class QTimer;

class SQL_loader : public QThread
{
    Q_OBJECT
public:
    // Starts the thread at once; `cfg` is storage's configuration object "sql". `reopen_ms`: the
    // pause between attempts to open the connection.
    explicit SQL_loader(QVariantMap cfg, int reopen_ms = 10000);
    // A piece that met a table locked elsewhere stays at the head and is tried again this long after.
    int locked_retry_ms = 10000;
    ~SQL_loader() override;

    // The stored `type` of the records of an archive kind, as the index map is read.
    static uint8_t stored_type_of_kind(uint8_t kind);

    // The monotonic clock that paces the loader's repeated lines; tests move it by hand.
    void set_log_clock(std::function<qint64()> monotonic_ms);

    // Queues a modem for the retention tick's tail removal, unless it waits already; any thread.
    void queue_remove_tail(uint32_t modem_id);

    // Rows of all modems older than a cut-off, removed in pieces of fewer than `removal_piece`
    // rows with the loader's other work in between; any thread. Each part names a table, a
    // stored type and an extra condition (empty, or starting with " AND"). `key` names the
    // kinds: a pass of the same kinds still under way takes the new cut-off instead of starting
    // another one. The pieces walk the primary key (modem, type, time) a few modems at a time,
    // so that a modem's rows of one kind, which lie side by side, are read in one go.
    static constexpr int removal_piece = 10000;
    struct Removal_part
    {
        QString table;
        uint32_t type = 0;
        QString extra;
        uint32_t modem = 0;   // the rows of the modems below this one are removed already
        int modems = 64;      // modems a piece, fitted to the rows the last piece found
        bool checked = false; // rows of the type before the cut-off were looked for
    };
    void queue_remove_old(const QString& key, const QList<Removal_part>& parts, uint32_t cut);
    // While held, queued removals wait to start; any thread.
    void hold_removals(bool hold);
    // Passes queued or under way.
    int removals_waiting();

signals:
    void signal_loader_res(uint32_t modem_id, uint8_t type, QMap<uint32_t, uint32_t> arch_indexes);

public slots:
    void slot_timer_sec();
    void slot_loader_req(uint32_t modem_id, uint8_t type, uint32_t limit);
    void slot_remove_tail(uint32_t modem_id);
    // One piece of the first waiting removal; queues the next piece while any is left.
    void slot_remove_piece();

protected:
    void run() override;

private:
    void try_open();
    // Sends the session statement every connection sends before a run of work; false (logged)
    // when the server could not take it.
    bool begin_run();

    QTimer* tmr_sec = nullptr;    // retention tick; lives in the loader thread
    QTimer* tmr_reopen = nullptr; // retries the connection while it is not open
    QSqlDatabase db;
    QVariantMap cfg;
    // Standard mutexes, which the thread checker sees.
    // A load and a retention tick never overlap: a lock taken with a time-out, on a standard
    // mutex and condition (the thread checker does not see std::timed_mutex's clock lock).
    class Timed_lock
    {
    public:
        bool try_lock_for(std::chrono::milliseconds wait)
        {
            std::unique_lock<std::mutex> lock(m);
            if (!cv.wait_for(lock, wait, [this] { return !held; })) return false;
            held = true;
            return true;
        }
        void unlock()
        {
            {
                std::lock_guard<std::mutex> lock(m);
                held = false;
            }
            cv.notify_one();
        }

    private:
        std::mutex m;
        std::condition_variable cv;
        bool held = false;
    };
    Timed_lock mutex;
    std::mutex tail_mutex;                // the remove-tail queue, filled from the main thread
    std::atomic<bool> open_failed{false}; // the last attempt to open the connection failed
    struct Removal
    {
        QString key;
        QList<Removal_part> parts; // the first is under way
        uint32_t cut = 0;
    };
    QList<Removal> removals;    // guarded by tail_mutex
    bool piece_queued = false;  // guarded by tail_mutex
    bool removals_held = false; // guarded by tail_mutex
    void queue_piece();         // tail_mutex held
    // One piece of part `p`: false when a statement failed. `done` when the part has no rows
    // left before the cut-off; `removed` the rows this piece took.
    // `locked`: it failed because the table is locked elsewhere.
    bool remove_piece(Removal_part& p, uint32_t cut, bool& done, qint64& removed, bool& locked);
    // Says a statement failed (limited); true when the table was locked elsewhere.
    bool statement_failed(const QSqlError& error, const QString& statement);
    // What the passes since the removals were last all done have removed, for their one line.
    struct Pass_report
    {
        QElapsedTimer took;
        QStringList kinds;
        QMap<QString, qint64> rows; // per table
        bool failed = false;
    } pass; // loader thread only
    void end_pass();
    QElapsedTimer tails_locked; // the tail removals met a table locked elsewhere: they pause
    QList<uint32_t> remove_tail_queue;
    QSet<uint32_t> remove_tail_queued; // the same modems, for a constant-time "already queued"
    int reopen_ms;
    // Lines of an outage, each kind once when it starts, then at most once a minute with a
    // count: the retention tick meets a lost server every second, and every uplink queues a
    // tail removal. Failing statements are one kind whatever succeeds between them, so that one
    // that fails at every tick while the connection works is said once a minute.
    log_limiter open_lines{QStringLiteral("can't open db_loader"), LVL_EXC, 1, 60000};
    log_limiter session_lines{QStringLiteral("db_loader session not set"), LVL_ERR, 1, 60000};
    log_limiter failed_lines{QStringLiteral("db_loader statement failed"), LVL_ERR, 1, 60000};
    log_limiter locked_lines{QStringLiteral("db_loader table locked elsewhere"), LVL_WRN, 1, 60000};
    log_limiter dropped_loads{QStringLiteral("db_loader not open: index load dropped"), LVL_DBG, 1, 60000};
    log_limiter dropped_tails{QStringLiteral("db_loader not open: remove_tail dropped"), LVL_DBG, 1, 60000};
};
