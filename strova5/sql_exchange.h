#pragma once
// Storage of readings, events, settings and commands in MySQL.
//
// Uplinks become SQL value tuples in memory (slot_UL, no database access); the save timer writes
// them in multi-row statements. A row leaves memory only once the server has taken it: rows wait
// through a lost connection and through a passing state of the server (read-only, lock wait,
// deadlock, too many connections), and a statement the server refuses is retried row by row so
// that only the refused row is lost.
//
// The operations other components call are virtual so that tests can stand a double in its place;
// the constructor opens nothing (init does), so a double needs no database.

#include "cmd_numbering.h"
#include "dl_room_shares.h"
#include "log_limiter.h"
#include "logger.h"
#include "records.h"
#include "sql_busy_tables.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QStringList>
#include <QVariantMap>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class QSqlQuery;
class QSocketNotifier;
class QTimer;
class SQL_loader;
class QThread;

// One row of an energy profile: the active import and export registers present in it.
struct energy_record
{
    uint32_t modem_id = 0;
    uint32_t ts = 0;
    uint32_t type = 0;            // stored type code
    uint32_t index = 0;           // archive index
    QMap<uint32_t, float> values; // 10..14 = 1.8.0..1.8.4, 20..24 = 2.8.0..2.8.4
    float OBIS_1_6_0 = 0;
};

// One modem's time range in a query of many modems, each with its own range.
struct modem_range
{
    uint32_t modem_id = 0;
    uint32_t ts_from = 0;
    uint32_t ts_to = 4294967295u;
    // Known to hold more rows in its range than its limit: read by its own ordered seek.
    bool may_pass = false;
};

// The stored types a report's reads found on the (type, ts) key, and the times they were looked
// for in: a type found stays known for the report, and times past those are looked in anew. A type
// found absent may be written while the report runs: each later slice looks for it again.
struct type_memo
{
    struct seen
    {
        quint64 lo = 1, hi = 0; // the times looked in
        QSet<uint32_t> held;
        quint64 slice = 0; // the slice that last looked
    };
    QHash<QString, seen> by_types; // by the types asked, joined
    quint64 slice = 0;             // the slice reading through it
};

// A value holding JSON object or array text becomes the parsed map or list; anything else is
// returned unchanged. The text is read as UTF-8.
QVariant json_to_variant(QVariant value);
// A modem setting as the setting table keeps it, and back with the JSON type it had: numbers and
// booleans as their JSON text, maps and lists as compact JSON, texts as they are, except a text
// that would read back as another value ("42", "true", "\"x\"", "[1,2]", "{\"a\":1}"), which is
// kept as a JSON string.
// A command's data, which becomes the setting once the meter confirms it, is read back the same way.
QString setting_to_text(const QVariant& value);
QVariant setting_from_text(const QVariant& stored);
// The text of a value read from the database, also of bytes holding a NUL.
QString text_of(const QVariant& value);

class SQL_Exchange : public QObject
{
    Q_OBJECT
public:
    static SQL_Exchange* instance;

    // A silent link to the server counts as lost after this many seconds: the client library's
    // connect, read and write time-outs of every connection. No statement of the main thread
    // waits longer for the writer either.
    static constexpr int link_timeout_s = 10;
    // A writer's statement of a healthy link comes back within twice a run's second; one older
    // makes the main thread wait for it before a statement of its own.
    static constexpr qint64 writer_statement_healthy_ms = 2000;
    // A table locked elsewhere (LOCK TABLES, an ALTER TABLE waiting behind a long transaction)
    // holds a statement of any connection at most this long before the server answers 1205: a
    // passing state, not an outage. After a read met it, the main thread's reads of that table
    // fail at once for busy_table_ms rather than wait again.
    static constexpr int lock_wait_s = 2;
    static constexpr qint64 busy_table_ms = 10000;
    // Command numbers are taken in blocks of this many free numbers (see numbering); the first start without
    // a stored mark leaves this many numbers above the newest stored command unused.
    static constexpr uint32_t cmd_number_block = 10000;
    static constexpr uint32_t cmd_skip_without_mark = 500000;
    // The driver's own event rows (its event log, failed logins) kept while the database is away.
    static constexpr int own_event_cap = 10000;

    // [upper-case hex OBIS code, column name] of every value column of `modems_data`, in column
    // order, and the same codes as OBIS values.
    static const QList<QStringList> obis_columns;
    static const QList<OBIS> obis_list;

    // `row_cap`: the rows one table (and the statuses) may hold while the database takes
    // nothing; at it the uplinks wait in the broker and new commands are refused.
    SQL_Exchange(QVariantMap cfg, QObject* parent, int row_cap = 500000);
    ~SQL_Exchange() override;

    // Opens the connection "main_connect", upgrades the schema, seeds the command numbers and
    // starts the save timer. False (after an Exc line) when the database cannot be used. A table
    // locked elsewhere is waited for, each statement tried again after its lock wait (a line
    // every 10 s names the table); a termination signal meanwhile begins the quit and ends it
    // false (quit_signal_number() tells).
    virtual bool init();

    virtual QVariantMap send_dl(uint32_t modem_id, QStringList rights, QString setting, QVariant data);
    // `caller`: who asks under a command right (its verified token, or its address without one):
    // such callers share the downlink room (Dl_room_shares); empty for the daemon's own commands
    // and for callers below the rights, which take the free room as it is.
    virtual QVariantMap send_dl(QList<uint32_t> modems, QStringList rights, QString setting, QVariant data,
                                QString caller = QString());
    virtual QVariantMap get_cmd_states(QList<uint32_t> cmd_ids);
    // The stored settings of every modem, read whole at start: in pieces of the primary key,
    // each tried again alone after a lost link, a lock wait or another passing state of the
    // server (a line every 10 s says why), until it is read. False when the server refused a
    // piece (the Exc line names its error) or a termination signal came meanwhile.
    virtual bool get_pending_settings(QMap<uint32_t, QVariantMap>& out);
    // Settings read by one statement of the start's read.
    static constexpr int settings_piece_rows = 10000;
    // The error of the main thread's last statement: what ended a start that failed.
    static QString last_error_text() { return last_error.text(); }

    // Retention for all modems: deletes the readings and events of the given archive kinds or
    // event types whose time lies before `time`.
    virtual void remove_old(uint8_t type, uint32_t time);
    void remove_old(QList<uint32_t> types, uint32_t time);
    // While held, removals queue without starting: the kinds of one retention pass start together
    // and end in one line.
    void hold_removals(bool hold);

    // ---- reading queries (reports, diagnostics); a failed query logs and gives an empty result.
    // Row maps: the non-NULL columns of a row by column name.
    // Reading statements of the main thread that were not answered (failed, or not sent while the
    // link is silent), counted, and the last of them: a report compares the count around its
    // reads (read_watch), so that a failure is never taken for "no rows".
    quint64 failed_reads() const { return failed_read_count; }
    const QString& last_failed_read() const { return failed_read; }
    // The table the last failed read found locked elsewhere (refused unsent while remembered
    // busy, or met the lock bound), else empty: that read failed for a busy table, not the link.
    const QString& last_failed_busy() const { return failed_read_busy; }
    // The link is known to be away: the main thread sends no statement until the writer finds
    // the server again. A run that ended is taken back first, so that a link the writer has just
    // found again is not taken for away.
    bool link_known_away()
    {
        wait_for_run(0);
        return db_away;
    }
    // Milliseconds the main thread's statements spent on the writer and the link rather than on
    // their own work, since the start: a run that ended taken back before them, and statements
    // the link did not answer. A report's work bound leaves them out.
    qint64 link_waits_ms() const { return link_waits; }
    // The table `statement` reads while it is known to be locked elsewhere, else empty; and the
    // refusal a report answers then.
    QString busy_table_of(const QString& statement) const;
    static QString busy_text(const QString& table);
    // The error of a statement that met a lock's bound (a table or a row locked elsewhere).
    static bool lock_bound(const QSqlError& error);
    // The first table a statement names (FROM, JOIN, INTO, UPDATE, TABLE).
    static QString table_of(const QString& statement);
    virtual QList<uint32_t> get_modems(QList<uint32_t> ids);
    // A piece of the list of all modems with rows: at most `max` of them, from the id `from` on,
    // ascending (fewer than `max`: the list ends there).
    virtual QList<uint32_t> get_modems_from(uint32_t from, int max);
    // Time of the newest (oldest) row at or before (after) `ts` holding a reactive energy
    // register; `ts` itself when there is none.
    virtual uint32_t get_ts_energy_before(uint32_t modem_id, QList<uint32_t> kinds, uint32_t ts);
    virtual uint32_t get_ts_energy_after(uint32_t modem_id, QList<uint32_t> kinds, uint32_t ts);
    virtual QVariantList get_data(QList<uint32_t> modems, QList<uint32_t> kinds, uint32_t ts_from,
                                  uint32_t ts_to, uint32_t limit);
    QVariantList get_data(uint32_t modem_id, uint32_t kind, uint32_t ts_from, uint32_t ts_to, uint32_t limit);
    QVariantList get_data(uint32_t modem_id, QList<uint32_t> kinds, uint32_t ts_from, uint32_t ts_to,
                          uint32_t limit);
    virtual QVariantList get_indexes(QList<uint32_t> modems, QList<uint32_t> kinds, uint32_t ts_from,
                                     uint32_t ts_to, uint32_t limit);
    QVariantList get_indexes(uint32_t modem_id, uint32_t kind, uint32_t ts_from, uint32_t ts_to,
                             uint32_t limit);
    QVariantList get_indexes(uint32_t modem_id, QList<uint32_t> kinds, uint32_t ts_from, uint32_t ts_to,
                             uint32_t limit);
    virtual QVariantList get_fail_time(uint32_t ts_from, uint32_t ts_to, uint32_t limit);
    virtual QVariantList get_energy_stamped(QList<uint32_t> types, uint32_t ts_from, uint32_t ts_to,
                                            uint32_t limit);
    virtual QList<energy_record> get_energy_profile(QList<uint32_t> modems, QList<int> types,
                                                    uint32_t ts_from, uint32_t ts_to);
    // Many modems in one statement, each with its own range and its own row limit, as the
    // one-modem form answers each: the rows by modem. At most `max_rows` rows are read (at least
    // the limit): `done` tells how many of the leading ranges were answered whole, at least one;
    // the rest are for the next call. A modem listed twice is read once.
    virtual QHash<uint32_t, QVariantList> get_data_each(const QList<modem_range>& ranges,
                                                        QList<uint32_t> kinds, uint32_t limit, int max_rows,
                                                        int& done);
    // The rows get_data_each would read of the leading ranges, each modem's counted up to
    // `cap`, in one statement; `done` as there.
    virtual qint64 count_data_each(const QList<modem_range>& ranges, QList<uint32_t> kinds, uint32_t cap,
                                   int& done);
    virtual qint64 count_events_each(const QList<modem_range>& ranges, QList<uint32_t> types, uint32_t cap,
                                     int& done);
    // The rows of the window [ts_from, ts_to] of all modems, of the stored types of `kinds` (of
    // the event types with `events`), as the server estimates them from the (type, ts) key without
    // reading it: -1 when it cannot tell.
    virtual qint64 estimate_window_rows(bool events, QList<uint32_t> kinds, uint32_t ts_from, uint32_t ts_to);
    // The modems of the table as its statistics tell them (-1: not told).
    virtual qint64 estimate_modems(bool events);
    // Each modem's rows of that window, added to `per_modem`, read from the (type, ts) key alone
    // (it holds each row's modem): no row's own page is read. False when the statement failed.
    virtual bool count_window_rows(bool events, QList<uint32_t> kinds, uint32_t ts_from, uint32_t ts_to,
                                   QHash<uint32_t, uint32_t>& per_modem);
    // get_ts_energy_before (after) of many modems in one statement per piece of the list: the time
    // found per modem; a modem without such a row is absent. After a time at or past `present()`
    // only rows stamped ahead of the clock can lie: one statement a piece reads them from the
    // (type, ts) key, whatever the registry knows of the modems.
    virtual QHash<uint32_t, uint32_t> get_ts_energy_each(const QList<uint32_t>& modems, QList<uint32_t> kinds,
                                                         uint32_t ts, bool after);
    // The newest reactive row of the kinds within each modem's span (both ends included): one
    // statement a piece, each modem's span read on the primary key; a modem without one is absent.
    virtual QHash<uint32_t, uint32_t>
    get_ts_energy_within(const QHash<uint32_t, QPair<uint32_t, uint32_t>>& spans, QList<uint32_t> kinds);
    // The wall clock a window's end is judged by (seconds); tests and benchmarks move it.
    static std::function<uint32_t()> present;
    // The newest stored current values of a modem as one data record (none when nothing is stored).
    virtual Parser_ul_app get_last_curr(uint32_t modem_id);
    static QVariantMap arch_to_map(const Ul_data_record& rec);

    // ---- event and incoming-message queries
    // modem id -> "type_event" -> times, newest first.
    virtual QVariantMap get_events_by_time(uint32_t ts_from, uint32_t ts_to, uint32_t limit);
    virtual QVariantList get_events(QList<uint32_t> modems, QList<uint32_t> types, uint32_t ts_from,
                                    uint32_t ts_to, uint32_t limit);
    QVariantList get_events(uint32_t modem_id, uint32_t type, uint32_t ts_from, uint32_t ts_to,
                            uint32_t limit);
    QVariantList get_events(uint32_t modem_id, QList<uint32_t> types, uint32_t ts_from, uint32_t ts_to,
                            uint32_t limit);
    // get_events of many modems, each with its own range and limit; as get_data_each.
    virtual QHash<uint32_t, QVariantList> get_events_each(const QList<modem_range>& ranges,
                                                          QList<uint32_t> types, uint32_t limit, int max_rows,
                                                          int& done);
    // Raw uplinks with ids from `id_from` to `id_to` (0: id_from + 100000).
    virtual QVariantList get_incoming(uint32_t id_from, int32_t id_to);

    // ---- IEC 104 common addresses; both keep the registry's map in step.
    virtual bool add_iec104_modem(uint32_t modem_id, uint32_t iec_id);
    virtual QMap<uint32_t, uint32_t> get_iec104_map();

    // The JSON-ready map of one decoded uplink (the API's "parse" answer).
    static QVariantMap ul_to_json(const Parser_ul_app& ul);

    // SQL text forms of values.
    // A connection named `name` with the server settings of the "sql" object (not opened).
    static QSqlDatabase add_connection(const QVariantMap& cfg, const QString& name);
    // TCP keepalive on the open connection's socket, so that an idle link whose peer vanished is
    // found lost too; again after each run's first statement, which may have reconnected.
    static void set_keepalive(const QSqlDatabase& c);
    // Opens `c` unless it is open: its sessions, the client library's reconnections included,
    // start with session_statement() as their first statement; its socket gets the keepalive.
    static bool open_connection(QSqlDatabase& c);
    static QString sql_text(const QString& text); // quoted, every special character escaped
    // The statement every connection of the daemon sends before each run of work: the character
    // set, a bounded lock wait and the session's sql_mode. The client library runs it on each
    // session it opens (open_connection); it is sent again each time all the same, cheaply.
    static QString session_statement();
    // The server's id of the open connection's session (0: not known): the client library's
    // silent reconnection gives a new one, on a new socket.
    static unsigned long session_id(const QSqlDatabase& c);
    static QString sql_number(const QVariant& value);   // a finite number, else NULL
    static QString json_or_text(const QVariant& value); // compact JSON of a map or list, else the text
    static QString json_of_values(const QMap<OBIS, QVariant>& values);
    static QString cmd_state_text(uint32_t state);

    // Rows and statuses not yet written, also those the writer has in hand.
    int pending_rows() const;

signals:
    void signal_DL(Stringify_dl_app dl_app);
    void signal_loader_req(uint32_t modem_id, uint8_t type, uint32_t limit);
    void signal_modem_index_updated(uint32_t modem_id);
    void signal_remove_tail(uint32_t modem_id);
    // False once a table uplinks fill reaches the cap (uplinks are to wait in the broker), true
    // once all of them are below nine tenths of it again.
    void signal_intake(bool open);

public slots:
    virtual void slot_tmr_save();
    virtual void slot_UL(Parser_ul_app ul_parse);
    virtual void slot_DL_status(Rabbit_dl_status dl_status);
    virtual void slot_loader_req(uint32_t modem_id, uint8_t type, uint32_t limit);
    virtual void slot_loader_res(uint32_t modem_id, uint8_t type, QMap<uint32_t, uint32_t> arch_indexes);
    virtual void slot_remove_tail(uint32_t modem_id);

protected:
    // One table's rows waiting to be written.
    struct Batch
    {
        const char* table;
        QString prefix;     // "INSERT INTO ... VALUES "
        QStringList tuples; // "(v1, v2, ...)", oldest first
        int time_field = 1; // position of the row's time among its values, for log lines
        // Rows at the head whose statement went out but whose answer was lost: the server may
        // have them already. They are sent again as the same chunk.
        int in_doubt = 0;
        // Rows at the head to write one at a time: what is left of a chunk the server refused,
        // so that a run cut among them goes on with them, not with the whole chunk again.
        int singles = 0;
        // A write set the server found too large: the chunk's rows for a while (0: the full
        // chunk), and the size of the chunk that last met a passing state, to see it repeat.
        int split_rows = 0;
        qint64 split_at = 0;
        int passing_rows = 0;
        bool splitting = false;
    };

    // Encodes one command: the codec; tests put a fixed answer here.
    virtual Stringify_dl_app encode(const Dl_request& request, const QStringList& rights);

    // Writes the batch in chunks; a chunk leaves the batch once the server took it, or row by
    // row when the server refused it. False when the connection is lost or the server is in a
    // passing state (last_error tells which; the rest waits, in order).
    bool write_batch(Batch& batch);
    // The head row of a refused chunk on its own: false as write_batch.
    bool write_single(Batch& batch, QSqlQuery& q);
    // Applies one status of the run to `modems_cmd`; false when the connection is lost or the
    // server is in a passing state (it stays pending).
    bool apply_status(const Rabbit_dl_status& status, uint32_t numbered_to, quint64 seq, bool new_sw);
    // A command in this state still waits for its delivery or its answer.
    static bool cmd_open(int state);
    // The open states as an SQL list, "(0, 1, 2, 5)".
    static QString cmd_open_sql();
    // The state a successful status leaves, -1 for no change.
    static int next_cmd_state(int state, bool names_setting);
    // True when `cmd_id` is among the commands numbered up to `numbered_to`, the last number
    // given out when a status came, while `counter` is the last one given out now: those
    // numbered in between are newer than the status. Numbers may have wrapped meanwhile.
    static bool numbered_within(uint32_t cmd_id, uint32_t numbered_to, uint32_t counter);
    // A command as the status rules see it.
    struct Cmd_row
    {
        uint32_t modem_id = 0;
        QString setting;
        QVariant data;
        uint32_t ts = 0;
        int state = 0;
    };
    // What one status does to one command it reaches.
    struct Status_target
    {
        uint32_t cmd_id = 0;
        int state = -1;      // the state it leaves; -1: the state stays
        bool copies = false; // a confirmed write whose setting becomes the modem's
    };
    // The status rules, for the table and the registry alike: the commands among `candidates`
    // (any commands of the modem, in any order) that the status reaches, oldest first, and what
    // it leaves of each. A status names its command by number, or else reaches every open
    // command of its setting numbered up to `numbered_to` (see numbered_within); a failure moves
    // only an open command, to 4: a state a client may have read as final stays. Of the writes
    // one answer confirms, the newest one's setting is copied.
    static QList<Status_target> status_targets(const Rabbit_dl_status& status,
                                               const QList<QPair<uint32_t, Cmd_row>>& candidates,
                                               uint32_t numbered_to, uint32_t counter);
    // A command's data as the command table gives it back, so that a confirmed setting has the
    // same value whichever store held its command.
    static QVariant stored_cmd_data(const QVariant& data);
    // Applies the run's statuses in bulk, the oldest `count` of them: one statement finds the
    // commands of all, the states are worked out here in arrival order, and one transaction
    // writes the confirmed settings and one UPDATE per new state. False when the connection is
    // lost or the server is in a passing state (all of them stay pending, in order). A group the
    // server refuses applies none: its statuses are left to go one at a time (status_singles).
    bool apply_statuses(int count);
    // The command rows the run's first `count` statuses may reach, by number: those named by
    // number, and every open command of each (modem, setting) the answers name. False when the
    // server could not answer; a refusal (last_error) applies the statuses one by one, which
    // tests also ask for by refusing here.
    virtual bool find_status_commands(int count, QHash<uint32_t, Cmd_row>& rows);
    // A setting a status leaves (a confirmed write, a relay state): its row goes behind the
    // run's settings, so that it stays the newest, and the registry learns it when the run is
    // taken back. Nothing when an uplink reported the setting after the status arrived (`seq`):
    // that value is newer.
    void status_setting(uint32_t modem_id, uint32_t ts, const QString& setting, const QVariant& value,
                        quint64 seq);
    // The relay setting a delivered relay command leaves, if any (status_setting).
    // `new_sw`: the modem's software generation, decided on the main thread when the status came.
    void status_relay(const Rabbit_dl_status& status, const Dl_request& command, quint64 seq, bool new_sw);
    // True when an uplink of the run's snapshot reported the setting after the status `seq`.
    bool reported_since(uint32_t modem_id, const QString& setting, quint64 seq) const;
    // What a status leaves besides its command row, kept while its writes may have committed.
    struct Status_effect
    {
        Rabbit_dl_status status;
        Dl_request command;
        bool confirms; // a confirmed setting write
        quint64 seq;
        bool new_sw;
    };
    void apply_effect(const Status_effect& e);
    // The statuses at the head of the list whose writes went out without an answer: the stored
    // states tell whether they committed; only then are they done, and their effects are kept.
    struct Status_doubt
    {
        int count = 0;
        QHash<uint32_t, QPair<int, int>> states; // command -> (state found, state left)
        QList<Status_effect> effects;
    };
    Status_doubt status_doubt;
    // Settles a doubt left by the last run: true when nothing is in doubt any longer (the
    // statuses in doubt are gone when they had committed), false when the server cannot answer.
    bool settle_status_doubt();
    // Executes one statement; a failure leaves its error in last_error and is not logged here.
    bool run(QSqlQuery& query, const QString& statement);
    // Executes `statement`: false with the driver's error in `error`, or with a lost link's when
    // the driver took it as answered but its rows were not read to their end (the client
    // library's own error, or a result set missing where the statement asks one): the driver's
    // silent reconnection after a cut can leave a short result, or none, as success. Its duration
    // is no evidence: rows that keep coming are read to their end.
    static bool exec_whole(QSqlQuery& query, const QString& statement, QSqlError& error);
    // Main thread, before a statement of its own: whether it may go. It does not wait for a
    // healthy run: the run in flight goes on the writer's connection, and the age of the
    // writer's current statement tells whether the link lives. Only a writer's statement older
    // than writer_statement_healthy_ms is waited for, until the run ends or that statement
    // reaches the link time-out. It goes unless the database is known away or that statement
    // has gone the link time-out without an answer, which marks the database away (the outage
    // rule); false then (the statement is not sent; last_error says why, a connection error)
    // until a statement of the writer finds the server again.
    bool go_unless_link_silent();
    // Milliseconds since the writer's current statement went out (or its last one came back,
    // or its run began): what tells a silent link from a long catch-up.
    qint64 writer_statement_age() const { return clock.elapsed() - writer_alive_at.load(); }
    std::atomic<qint64> writer_alive_at{0};
    // Main thread, after a statement of its own: a lost link marks the database away, so that
    // the statements after it do not wait too; an answer marks it back.
    // A wait of a second or more is logged with the statement.
    void note_main_statement(const QSqlError& error, bool answered, const QElapsedTimer& took,
                             const QString& statement);
    // Waits at most `ms` (negative: until it ends) for the run in flight, and takes back a run
    // that ended: rows it could not write go back in front. False when one is still out.
    bool wait_for_run(qint64 ms);
    // Lines of reading statements that were not answered (link silent or lost): once when it
    // starts, then at most once a minute with a count.
    log_limiter read_lines{QStringLiteral("database reads not answered"), LVL_EXC, 1, 60000};
    // The main thread's statements not sent while the link is silent or lost: a limiter of its
    // own, so that the first refusal is said at once whatever reads failed before it.
    log_limiter unsent_lines{QStringLiteral("statements not sent"), LVL_EXC, 1, 60000};
    bool set_session_charset();
    // A fresh connection when the last one was lost; false when the server cannot be reached.
    bool reconnect();
    // The statement timed `took` lost its connection by waiting out the time-out: a silent link.
    bool timed_out(const QElapsedTimer& took);
    // What a server error means for the rows of the statement; decided here only.
    // connection: the link is gone (reconnect; the rows are sent again);
    // passing: a state of the server that passes (read-only, lock wait, deadlock, too many
    //   connections, ...): the rows wait, in order, and the run is tried again after a pause;
    // refused: the rows themselves are refused (bad value, too long, ...).
    enum class Error_class { connection, passing, refused };
    static Error_class classify(const QSqlError& error);
    // A passing state that may be the size of the write itself (a cluster's write-set limits,
    // the transaction caches): repeated on the same rows, fewer rows go at a time.
    static bool too_large(const QSqlError& error);
    enum class Outcome { written, refused, dropped, away, passing };
    // Runs one write: taken, refused by the server, the server in a passing state, or the
    // connection went with it (dropped: already reconnected; away: the server cannot be reached).
    Outcome attempt(QSqlQuery& query, const QString& statement);
    // attempt(), sent once more on a fresh connection when it dropped the last one; a chunk whose
    // answer was lost (`in_doubt` rows) and that now meets a duplicate key was stored before.
    Outcome attempt_chunk(QSqlQuery& query, const QString& statement, int rows, int& in_doubt);
    void note_reachable(bool reached);
    // While the database is away, "database not reachable" is said again once a minute with the
    // rows waiting then. Its clock is monotonic milliseconds; tests step it by hand.
    void repeat_outage_line();
    std::function<qint64()> outage_clock;
    qint64 outage_now() const { return outage_clock ? outage_clock() : clock.elapsed(); }
    // An outage lasts from the link's last answer (a silent link is known only at the time-out),
    // on the outage's clock.
    qint64 away_since = 0, away_said_at = 0;
    QString away_reason;
    // When a statement of either thread last had the server's answer (an error of its own
    // included), and when the first statement since then went out that had none (-1: none yet),
    // on `clock`.
    std::atomic<qint64> link_answered_at{0};
    std::atomic<qint64> link_unanswered_from{-1};
    // Milliseconds on `clock` since the link last answered, as far as the statements tell.
    qint64 link_silent_for() const;
    // The rows the run taken back last wrote: with those still waiting, what waited when the
    // link came back.
    int rows_run_took = 0;
    // The end of a run: all written, or stopped by last_error (a passing state pauses the runs).
    void note_result(bool done);
    // Closes the intake at the cap of a table uplinks fill and opens it again below nine tenths
    // of it, with one line each (signal_intake). Nothing is dropped.
    void check_intake();
    bool intake_open = true;
    // Rows of the command table waiting, also those of the run in flight (main thread).
    int cmd_rows_waiting() const { return cmd_batch.tuples.size() + run_cmd_rows; }
    int run_cmd_rows = 0, run_data_rows = 0, run_event_rows = 0, run_setting_rows = 0, run_status_rows = 0,
        run_own_rows = 0;
    bool cmd_refusing = false; // commands are refused at the cap; logged once until they are not
    Dl_room_shares dl_shares;  // the downlink room among the callers holding a command right
    QString dl_caller;         // whose command is being made: what the codec queues in its wake is its too

    // Applies what a status does to a command held in the registry.
    void update_cmd_state(uint32_t modem_id, const Status_target& target);
    // Stores a confirmed setting like one the meter reported.
    void copy_setting(uint32_t modem_id, uint32_t ts, const QString& setting, const QVariant& data);

    static QString data_tuple(const Parser_ul_app& ul, const Ul_data_record& rec);
    static QString event_tuple(const Parser_ul_app& ul, const Ul_event_record& ev);
    static QString setting_tuple(uint32_t modem_id, const Ul_setting& setting);
    static QString cmd_tuple(const Stringify_dl_app& cmd, uint32_t stored_state);
    // Keeps the modem's recent current values in the registry; true when this record changes
    // the relay state and so is to be written too.
    bool keep_curr_record(uint32_t modem_id, const Ul_data_record& rec);

    // Runs a reading query; false after the Exc line (or `fail_level`) with the error and the
    // statement, cut; the failure is counted (failed_reads).
    bool run_query(QSqlQuery& q, const QString& statement, int fail_level = 1);
    quint64 failed_read_count = 0;
    qint64 link_waits = 0; // main thread
    QString failed_read;
    QString failed_read_busy;
    // The rows of an executed query as row maps.
    static QVariantList row_maps(QSqlQuery& q);
    // Before the list of all modems: refreshes the statistics of `modems_data` (at most once an
    // hour) when the server would read the whole table for it.
    void loose_scan_or_analyze(const QString& select);
    QElapsedTimer analyzed_at;
    qint64 analyze_retry_at = 0; // clock time: an ANALYZE a lock refused waits till then
    static constexpr qint64 analyze_retry_ms = 60000;
    // Rows of `table` for many modems in one statement: one part per modem, `part` filled with
    // the modem, its range clauses and the order and limit, the parts joined by UNION ALL.
    // Single-row parts of (modem, type, ts) joined by UNION ALL, as few statements as the bound
    // allows; `row` gets each row found. False when a statement failed.
    bool run_seeks(const QStringList& parts, const std::function<void(uint32_t, uint32_t, uint32_t)>& row);
    // Rows of many modems read on the primary key, as rows_each answers them (limits above 1):
    // one statement for a piece of modems (lists of fewer than 1,000 ids, each window its own
    // group), cut by its own limit in key order; a modem found past its limit, or known to be,
    // is read again by its own ordered seek (`seek_part`).
    QHash<uint32_t, QVariantList> rows_by_key(bool events, const QList<modem_range>& ranges,
                                              const QList<uint32_t>& types, uint32_t limit, int max_rows,
                                              int& done, const QString& seek_part);
    // The types of `types` the table (of events with `events`) holds within [lo, hi], on the
    // (type, ts) key; through the report's memo when one is in use. False when a statement failed.
    bool types_held(QList<uint32_t>& types, quint64 lo, quint64 hi, bool events = false);
    // Per modem and stored type, MAX(ts) (MIN with `oldest`) of the reactive rows within each
    // modem's range and types, in one statement a piece of modems.
    // `row` gets modem, type, the end found and, with `learn`, the oldest and newest over all of
    // the range (the end then is the newest at or before `ts`, or the oldest at or after it).
    struct reactive_cond
    {
        uint32_t modem;
        QList<uint32_t> types;
        quint64 lo, hi;
    };
    bool reactive_ends(const QList<reactive_cond>& conds, bool oldest, bool learn, uint32_t ts,
                       const std::function<void(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t)>& row);
    // get_ts_energy_each after a time at or past the present: the oldest reactive row of `types`
    // at or after `ts` per modem, from the (type, ts) key, one statement a piece of modems.
    QHash<uint32_t, uint32_t> energy_after_present(const QList<uint32_t>& modems,
                                                   const QList<uint32_t>& types, uint32_t ts);
    qint64 count_each(const QString& part, const QList<modem_range>& ranges, uint32_t cap, int& done);
    QHash<uint32_t, QVariantList> rows_each(const QString& part, const QList<modem_range>& ranges,
                                            bool newest_first, uint32_t limit, int max_rows, int& done,
                                            bool key_order = true);
    // Reads each modem of `over` by statements of its own (modems past their limit in a read of
    // many), its rows replacing those `out` held.
    void read_each_into(QHash<uint32_t, QVariantList>& out, const QString& part,
                        const QList<modem_range>& over, bool newest_first, uint32_t limit, int max_rows);

    QSqlDatabase db;
    QVariantMap cfg;
    QTimer* tmr_save = nullptr;
    Batch cmd_batch;
    // A status waiting for the next save, with the last command number handed out when it
    // arrived: an answer can only be for a command that existed then.
    // It also carries the count of settings uplinks had reported when it arrived (setting_seq).
    // And what the status needs of the registry, decided when it came (the writer reads none):
    // whether the modem has the new software (no relay setting is left by a delivery).
    struct Pending_status
    {
        Rabbit_dl_status status;
        uint32_t numbered_to;
        quint64 seq;
        bool new_sw;
    };
    QList<Pending_status> pending_statuses;
    // Settings uplinks report while statuses wait, numbered in arrival: a setting a status leaves
    // is older than one reported after the status came, however often its run is taken back.
    quint64 setting_seq = 0;
    QHash<QPair<uint32_t, QString>, quint64> reported_at;  // main thread
    QHash<QPair<uint32_t, QString>, quint64> run_reported; // the run's copy, read by the run
    Batch data_batch;
    Batch event_batch;
    Batch setting_batch;
    // The driver's own events (its event log, failed logins): apart from the meters' events, so
    // that they never close the uplinks' intake; one row per modem, event code and second, and
    // at most `own_event_cap` waiting, the rest counted.
    Batch own_event_batch;
    QSet<QString> own_event_keys; // of the rows waiting and in the run
    static QString own_event_key(const QString& tuple);
    void queue_own_event(const QString& tuple);
    log_limiter own_event_lines{QStringLiteral("driver's own events dropped"), LVL_WRN, 1, 60000};
    // Command numbers: the counter, the mark stored ahead of it in the table `driver_state`
    // (numbers up to it are taken, committed before any of them goes out, so that no number is
    // given twice, across a crash too) and the free ranges ahead, which after the wrap skip the
    // numbers whose rows are still stored. The next block and the search for more free numbers
    // go with the writer's runs, ahead of need, so that no request waits for them; while a
    // number cannot be had, commands are refused.
    cmd_numbering numbering;
    cmd_numbering::Work run_numbers; // the run's, the writer's while it is out
    uint32_t cmd_counter() const { return numbering.counter(); }
    static cmd_numbering::Limits numbering_limits();
    static const QString cmd_mark_name;
    // The statements handed to the numbering, on the calling thread's connection.
    bool write_cmd_mark(uint32_t mark);
    bool read_number_window(uint32_t from, quint64 window, int rows_max, QList<cmd_numbering::Stored>& rows);
    // Reads with wsrep_sync_wait on where the server has it: a cluster node still applying the
    // last writer's write-sets waits for them first. False (last_error) when the statement fails;
    // the session's setting is put back whatever happened.
    bool run_synced(QSqlQuery& q, const QString& select);
    // Writer (or the main thread when it writes a run itself): the search and the mark the run
    // carries, before its rows.
    void run_numbering();
    // The next free number into the counter; false (counter unchanged, the reason in
    // numbering.refusal()) when none can be had now.
    bool next_cmd_number();
    // Sets the counter after `newest`; the numbers ahead are read with the next run.
    void continue_numbers_after(uint32_t newest);
    // The next block's mark apart from the runs: a one-row statement that no row limit refuses,
    // so it need not wait behind rows the server pauses for or behind a long run. The writer
    // stores it between two statements of its run, or at once when it has none; one at a time.
    // While the database is known lost, or the writer's connection cannot be had, the marks go
    // with the runs and the requests as before.
    struct Mark_job
    {
        bool handed = false, done = false; // guarded by writer_mutex
        cmd_numbering::Work work;
        QString error;
    };
    Mark_job mark_job;
    bool mark_job_out = false;       // main thread: handed and not taken back
    bool mark_retry_on_tick = false; // main thread: the last one failed; the next waits for a tick
    // Main thread: hands the mark wished, if any (`tick`: the save timer's call).
    void hand_mark(bool tick);
    // Main thread: takes a stored (or failed) mark back into the books; with `wait_ms`, waits
    // that long for it first.
    void take_mark_back(qint64 wait_ms = 0);
    // Writer: stores the mark handed, if any, keeping the run's own last error.
    void store_handed_mark();
    uint32_t ts_req_curr_last = 0;
    SQL_loader* loader = nullptr;

    // The error of the calling thread's last statement: each thread has its own (the main
    // thread's, the writer's), so that no error object is written by two threads.
    static thread_local QSqlError last_error;
    bool db_away = false; // the last save lost the connection; said at once, then once a minute
    // A passing state of the server: runs pause, growing from 0.2 s up to 10 s.
    QElapsedTimer clock;
    int passing_pause_ms = 0;
    // The passing state's line, said when it starts and again once a minute while it lasts (on
    // the outage's clock), naming the table the run met it on (the run's thread sets run_table).
    qint64 passing_since = 0, passing_said_at = 0;
    const char* run_table = nullptr;
    // Main thread, around a reading statement: a table remembered busy fails the read unsent
    // (true); a read that met the lock bound remembers its table and says so (true).
    bool refused_busy(const QString& statement);
    bool note_lock_bound(const QSqlError& error, const QString& statement);
    void remember_busy(const QString& table);
    Busy_tables busy_tables{[this] { return clock.elapsed(); }, busy_table_ms};
    log_limiter busy_lines{QStringLiteral("database busy"), LVL_WRN, 1, 60000};
    // The start (init, the settings read) runs before the event loop: its statements go through
    // run_at_start, which waits out a table locked elsewhere and, while `start_reads`, a lost link
    // or another passing state too.
    bool starting = false, start_reads = false;
    // init's work once the connection is open.
    bool init_storage();
    // Sends `statement` until it is answered, without the outage judgement (no writer's run
    // finds the server again yet; the client library reconnects by itself), holding nothing
    // between tries; a line every 10 s names what is waited for. A termination signal read
    // between tries ends the wait and begins the quit. False when the server refused the
    // statement, or a failure not waited out came, or the quit began (last_error says which).
    bool run_at_start(QSqlQuery& query, const QString& statement);
    // 1: `table` has `column`; 0: it has not, or there is no such table; -1: not known.
    int has_column(const QString& table, const QString& column);
    unsigned long main_session = 0; // the main connection's session the statement was sent on
    qint64 passing_until = 0;       // clock time before which no run starts
    int quit_hook = 0;
    bool quitting = false; // the quit hook ran: the timer starts no save any more
    int quit_input_hook = 0;
    bool commands_closed = false; // the quit has begun: no command is numbered any more
    // One Err line per table (count, times, the first row) and for the statuses, for what is
    // still not written when the storage goes.
    void name_unwritten();
    void name_rows(const QList<const Batch*>& batches, const QList<Pending_status>& statuses,
                   const QByteArray& what);
    // Quitting: waits for the run in flight; past the link time-out its rows are named.
    void settle_at_quit();
    qint64 run_started_at = 0; // clock time of the last run handed out

    // Each save's commands, statuses, readings, events and settings are written by a thread of
    // their own on its own connection, so that the main thread does not wait for them; one run
    // at a time. The main thread's statements go beside the run in flight: its reads see what
    // earlier runs wrote (as they miss what still waits in the batches), and the one write it
    // shares a row with the writer, the command-number mark, it makes only while no run is out.
    // The writer waits for its
    // work on a condition, not on Qt events: a run handed over while the application object goes
    // (the destructor's last save) is still run.
    std::thread writer;
    std::thread::id writer_id;
    bool in_writer() const { return std::this_thread::get_id() == writer_id; }
    QSqlDatabase writer_db; // used in the writer thread only
    // The hand-off: standard primitives, so that the thread checker sees what one side wrote
    // before handing over as seen by the other. All flags guarded by writer_mutex.
    std::mutex writer_mutex;
    std::condition_variable writer_cv;
    bool writer_busy = false;   // a run is handed over and not done
    bool writer_result = false; // a finished run waits to be taken back
    bool writer_stop = false;
    // Set by the writer before it hands a run back.
    bool writer_reached = false;
    bool writer_open_failed = false; // the run found the writer's connection could not be opened
    QSqlError writer_error;          // the writer's own last error
    // The writer's wake-up of the main thread once a run is back (an eventfd).
    int writer_wake_fd = -1;
    QSocketNotifier* writer_wake = nullptr;
    void writer_loop();
    void writer_run();
    void writer_mark_only(); // a mark handed while no run is out
    void writer_back();      // main thread, on the wake-up
    // The writer's own connection could not be opened: the runs go over the main connection
    // until this clock time, then the writer tries again.
    qint64 writer_retry_at = -1;
    bool writer_down = false;
    bool writer_in_flight();
    // The run in flight: the commands, the statuses with the counter they were numbered against,
    // the readings, events and settings; and the settings its statuses leave for the registry.
    Batch run_cmd, run_data, run_event, run_setting, run_own_event;
    QList<Pending_status> run_statuses;
    uint32_t run_counter = 0;
    struct Registry_setting
    {
        uint32_t modem_id;
        QString key;
        QVariant value;
        quint64 seq;
    };
    QList<Registry_setting> run_settings;
    // Shared copies of what the run in flight holds, read by the main thread only.
    struct Held
    {
        Batch cmd, data, event, setting, own_event;
        QList<Pending_status> statuses;
    };
    Held held;
    int writer_rows = 0; // the run's rows and statuses, until they are taken back (main thread)
    // Main thread: a run with statuses is with the writer.
    bool statuses_out = false;
    // Main thread: moves everything waiting into the run.
    void take_run();
    // Any thread, one run at a time: the run's statements in their order on conn(), for about
    // run_budget_ms: then the run ends between two statements (run_cut) and the rest waits, in
    // order, for the next run, which follows at once. A run always gets something written, and
    // never goes on to a later step (the statuses, the readings) while rows of an earlier one
    // wait: the statuses look for the command rows, a setting a status leaves goes behind.
    bool store_run();
    int run_budget_ms = 1000;
    qint64 run_deadline = 0; // the run's thread only
    int run_progress = 0;    // statements of the run that took rows or statuses
    qint64 run_step_ms = 0;  // how long the run's last chunk or group of statuses took
    bool run_cut = false;    // set by the run's thread, read once the run is taken back
    // The run's budget, checked here alone by every loop of the run before its next step (a
    // chunk of rows, a group of statuses, one row or one status of a refused chunk or group):
    // true (and run_cut set) once the run wrote something and the step, expected to take as long
    // as the last one, would overrun its share of time. A cut falls between steps, never inside
    // a status transaction; what is left stays at the head, in order, for the next run.
    bool run_spent();
    // After a step that began at clock time `from`: how long it took, and whether it took rows
    // or statuses.
    void run_stepped(qint64 from, bool took);
    // Main thread: the last run taken back was cut short and more waits: the next one is due now.
    bool run_more = false;
    // Main thread: what the run could not write goes back in front of what came meanwhile, and
    // the registry learns the settings its statuses left.
    void take_back_run();
    bool save_due = false; // a tick found the writer busy: the next run starts when it is done
    // The connection of the calling thread.
    QSqlDatabase& conn();
    // Main thread: hands what waits to the writer as one run (run_more: it did not end it).
    void save_run();

    // Bounds of one statement: at most 768 KiB of UTF-8, below the smallest max_allowed_packet
    // a server may have (1 MiB); and of the rows kept per table while the server is away (hours
    // of a large network's traffic).
    int chunk_max_rows = 1000;
    int chunk_max_chars = 256 * 1024;
    // Ids in one IN list: from 1,000 on, MariaDB turns the list into a join
    // (in_predicate_conversion_threshold) that reads every row of each modem.
    int in_list_max = 999;
    // The report whose type seeks are kept (type_memo_scope).
    type_memo* memo = nullptr;
    friend class type_memo_scope;
    int pending_cap;
    // Statuses applied in one transaction; fewer while the server finds the group too large.
    int status_group = 5000;
    // Statuses at the head to apply one at a time (each in a group of its own): what is left of
    // a group the server refused. The run's thread only.
    int status_singles = 0;
    int status_group_passing = 0; // the size of the group that last met a passing state
    qint64 status_split_at = 0;
    // How long a smaller chunk holds before the full one is tried again.
    qint64 split_hold_ms = 600000;
};

// The rows of a statement of many modems (parts joined by UNION ALL, each ordered and limited on
// its own) by modem: `position` gives each modem's part. SQL does not promise that a union
// answers its parts in order; the rows are checked. The position of the first part not answered
// whole goes back: `parts` when the rows stayed within `max_rows`, else the part the statement's
// own limit cut, or -1 when the rows came out of part order, so that the cut cannot be placed
// (nothing is kept then). Each modem's rows are put in its part's order (newest first, or oldest
// first with the higher type first) if they came in another.
int rows_by_part(const QVariantList& rows, const QHash<uint32_t, int>& position, int parts, int max_rows,
                 bool newest_first, QHash<uint32_t, QVariantList>& out);

// While it lives, the type seeks of the reads go through a report's memo: as a slice of its own,
// or as a part of the runner's slice `slice` (a report's pieces of one slice look again once).
class type_memo_scope
{
public:
    explicit type_memo_scope(type_memo& m) : type_memo_scope(m, m.slice + 1) {}
    type_memo_scope(type_memo& m, quint64 slice) : sql(SQL_Exchange::instance)
    {
        m.slice = slice;
        if (sql) sql->memo = &m;
    }
    ~type_memo_scope()
    {
        if (sql) sql->memo = nullptr;
    }

private:
    SQL_Exchange* sql;
};

// The reading statements of the main thread from its making on: failed() once one of them was
// not answered, so that a report refuses instead of answering short.
class read_watch
{
public:
    read_watch() : sql(SQL_Exchange::instance), mark(sql ? sql->failed_reads() : 0) {}
    bool failed() const { return sql && sql->failed_reads() != mark; }
    QString statement() const { return sql ? sql->last_failed_read() : QString(); }

private:
    SQL_Exchange* sql;
    quint64 mark;
};
