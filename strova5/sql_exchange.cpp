// Storage: the connection, the schema upgrades made at start, and the save batches.
#include "sql_exchange.h"

#include "logger.h"
#include "parser_strova5.h"
#include "quit_signals.h"
#include "ram_modems.h"
#include "sql_loader.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>
#include <QTimer>
#include <algorithm>

SQL_Exchange* SQL_Exchange::instance = nullptr;

namespace {
const QString main_connect = QStringLiteral("main_connect");

QList<OBIS> make_obis_list()
{
    // C, D, E of the value columns of `modems_data`, in column order (A = 1, B = 0, F = 255).
    static const uint8_t cde[][3] = {
        {1, 8, 0},  {1, 8, 1},  {1, 8, 2},  {1, 8, 3},  {1, 8, 4},   {2, 8, 0},   {2, 8, 1},  {2, 8, 2},  {2, 8, 3},
        {2, 8, 4},  {3, 8, 0},  {3, 8, 1},  {3, 8, 2},  {3, 8, 3},   {3, 8, 4},   {4, 8, 0},  {4, 8, 1},  {4, 8, 2},
        {4, 8, 3},  {4, 8, 4},  {9, 8, 0},  {9, 8, 1},  {9, 8, 2},   {9, 8, 3},   {9, 8, 4},  {1, 6, 0},  {1, 7, 0},
        {21, 7, 0}, {41, 7, 0}, {61, 7, 0}, {3, 7, 0},  {23, 7, 0},  {43, 7, 0},  {63, 7, 0}, {9, 7, 0},  {29, 7, 0},
        {49, 7, 0}, {69, 7, 0}, {11, 7, 0}, {31, 7, 0}, {51, 7, 0},  {71, 7, 0},  {91, 7, 0}, {32, 7, 0}, {52, 7, 0},
        {72, 7, 0}, {14, 7, 0}, {13, 7, 0}, {33, 7, 0}, {53, 7, 0},  {73, 7, 0},  {81, 7, 10}, {81, 7, 21}, {81, 7, 2},
    };
    QList<OBIS> out;
    for (const auto& c : cde)
        out << obis_pack(1, 0, c[0], c[1], c[2], 255);
    return out;
}

QList<QStringList> make_obis_columns()
{
    QList<QStringList> out;
    for (const OBIS& code : make_obis_list())
        out << QStringList{obis_to_hex(code), obis_to_column(code)};
    return out;
}

QString data_prefix()
{
    QStringList columns;
    for (const QStringList& c : SQL_Exchange::obis_columns)
        columns << c.at(1);
    return QStringLiteral("REPLACE INTO modems_data (modem_id, ts, ts_get, `type`, `index`, index_max, ") +
           columns.join(QStringLiteral(", ")) + QStringLiteral(", OBIS_ext) VALUES ");
}
} // namespace

const QList<OBIS> SQL_Exchange::obis_list = make_obis_list();
const QList<QStringList> SQL_Exchange::obis_columns = make_obis_columns();

SQL_Exchange::SQL_Exchange(QVariantMap cfg_, QObject* parent)
    : QObject(parent),
      cfg(std::move(cfg_)),
      cmd_batch{"modems_cmd",
                QStringLiteral("INSERT INTO modems_cmd(cmd_id, modem_id, ts, `setting`, `state`, `data`) VALUES "),
                {}},
      data_batch{"modems_data", data_prefix(), {}},
      event_batch{"modems_event",
                  QStringLiteral("REPLACE INTO modems_event(modem_id, ts, ts_get, `type`, `index`, index_max, `event`, "
                                 "worktime, OBIS_12_7_0, OBIS_12_7_4, OBIS_96_8_10, OBIS_96_12_4, OBIS_96_12_6, "
                                 "value_old, ext) VALUES "),
                  {}},
      setting_batch{"modems_setting",
                    QStringLiteral("REPLACE INTO modems_setting(modem_id, ts, `state`, `setting`, `data`) VALUES "), {}}
{
    instance = this;
    // The reception time of readings and events, the time of settings and commands.
    cmd_batch.time_field = 2;
    data_batch.time_field = 2;
    event_batch.time_field = 2;
    setting_batch.time_field = 1;
    // The run's batches are the same tables, empty until a run takes the waiting rows.
    run_cmd = cmd_batch;
    run_data = data_batch;
    run_event = event_batch;
    run_setting = setting_batch;
    clock.start();
    tmr_save = new QTimer(this);
    // The timer does not wait for the rows it handed to the writer (a lock held elsewhere may
    // keep them for seconds); the run it missed starts as soon as the writer is done, so that
    // under load the writer is not left idle until the next tick. slot_tmr_save does wait.
    connect(tmr_save, &QTimer::timeout, this, [this] {
        if (writer_in_flight()) {
            save_due = true;
            return;
        }
        save_run();
    });
}

SQL_Exchange::~SQL_Exchange()
{
    if (writer) {
        settle();
        QMetaObject::invokeMethod(
            writer_context,
            [this] {
                writer_db.close();
                writer_db = QSqlDatabase();
                QSqlDatabase::removeDatabase(QStringLiteral("writer"));
            },
            Qt::BlockingQueuedConnection);
        writer->quit();
        writer->wait();
        delete writer_context;
        delete writer;
        writer = nullptr;
    }
    if (loader) {
        // The thread closes and removes its own connection when its event loop ends.
        loader->quit();
        loader->wait();
        delete loader;
        loader = nullptr;
    }
    if (quit_hook)
        remove_quit_hook(quit_hook);
    if (instance == this)
        instance = nullptr;
    if (db.isValid()) {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(main_connect);
    }
}

QSqlDatabase SQL_Exchange::add_connection(const QVariantMap& cfg, const QString& name)
{
    QSqlDatabase c = QSqlDatabase::addDatabase(cfg.value(QStringLiteral("db"), QStringLiteral("QMYSQL")).toString(), name);
    c.setHostName(cfg.value(QStringLiteral("host"), QStringLiteral("localhost")).toString());
    c.setPort(int(cfg.value(QStringLiteral("port"), 3306).toUInt()));
    c.setDatabaseName(cfg.value(QStringLiteral("db_name"), QStringLiteral("mysql")).toString());
    c.setUserName(cfg.value(QStringLiteral("user"), QStringLiteral("root")).toString());
    c.setPassword(cfg.value(QStringLiteral("pass"), QStringLiteral("8263")).toString());
    c.setConnectOptions(QStringLiteral("MYSQL_OPT_RECONNECT=1"));
    return c;
}

bool SQL_Exchange::init()
{
    db = add_connection(cfg, main_connect);
    if (!db.open()) {
        LOG_EXC << "can't open db" << db.lastError().text();
        return false;
    }

    QSqlQuery q(db);
    if (!set_session_charset()) {
        LOG_WRN << "the server keeps its character set:" << last_error.text();
    }
    if (!db.record(QStringLiteral("modems_cmd")).contains(QStringLiteral("data"))) {
        const QString alter = QStringLiteral(
            "ALTER TABLE `modems_cmd` ADD COLUMN `data` TEXT NULL COMMENT 'данные команды' AFTER `state`");
        if (!run(q, alter)) {
            LOG_EXC << "can't insert data field to modems_cmd" << last_error.text();
            return false;
        }
        if (!db.record(QStringLiteral("modems_cmd")).contains(QStringLiteral("data"))) {
            LOG_EXC << "no data field in modems_cmd";
            return false;
        }
    }
    if (!db.record(QStringLiteral("modems_iec104")).contains(QStringLiteral("modem_id"))) {
        const QString create = QStringLiteral(
            "CREATE TABLE `modems_iec104` ( `iec_id` INT(10) UNSIGNED NOT NULL AUTO_INCREMENT COMMENT 'смещение в "
            "iec104', `modem_id` INT(10) UNSIGNED NOT NULL COMMENT 'номер модема', PRIMARY KEY (`iec_id`) )");
        if (!run(q, create)) {
            LOG_EXC << "can't create modems_iec104" << last_error.text();
            return false;
        }
    }

    const QString last_cmd = QStringLiteral("SELECT cmd_id FROM modems_cmd order by cmd_id desc limit 1");
    if (!run(q, last_cmd)) {
        LOG_EXC << last_error.text() << last_cmd;
        return false;
    }
    if (q.next())
        cmd_counter = q.value(0).toUInt();
    // Numbers of an earlier run may still be in flight at the network server (rows lost with
    // that run): start a random distance above the stored ones.
    cmd_counter += QRandomGenerator::global()->bounded(1000u);

    const QVariantMap timers = cfg.value(QStringLiteral("timers")).toMap();
    tmr_save->start(int(timers.value(QStringLiteral("data_ms"), 200).toUInt()));

    // A termination signal writes what is waiting before the event loop ends, also when that
    // means waiting for the server to come back: those uplinks are acknowledged already.
    if (!quit_hook)
        quit_hook = add_quit_hook([this] {
            slot_tmr_save();
            for (bool told = false; pending_rows() > 0; told = true) {
                if (!told)
                    LOG_EXC << "quitting: waiting for the database to take" << pending_rows() << "rows";
                QThread::msleep(1000);
                slot_tmr_save();
            }
        });

    if (!writer) {
        writer = new QThread;
        writer->setObjectName(QStringLiteral("SQL_writer"));
        writer_context = new QObject;
        writer_context->moveToThread(writer);
        writer->start();
    }

    if (!loader) {
        loader = new SQL_loader(cfg);
        connect(this, &SQL_Exchange::signal_loader_req, loader, &SQL_loader::slot_loader_req, Qt::QueuedConnection);
        // One per uplink: straight into the loader's locked queue, without waking its thread.
        SQL_loader* l = loader;
        connect(this, &SQL_Exchange::signal_remove_tail, loader, [l](uint32_t modem_id) { l->queue_remove_tail(modem_id); },
                Qt::DirectConnection);
        connect(loader, &SQL_loader::signal_loader_res, this, &SQL_Exchange::slot_loader_res, Qt::QueuedConnection);
    }
    return loader->isRunning();
}

int SQL_Exchange::pending_rows() const
{
    return cmd_batch.tuples.size() + pending_statuses.size() + data_batch.tuples.size() +
           event_batch.tuples.size() + setting_batch.tuples.size() + writer_rows;
}

QSqlDatabase& SQL_Exchange::conn()
{
    if (writer && QThread::currentThread() == writer) return writer_db;
    return db;
}

bool SQL_Exchange::writer_in_flight()
{
    QMutexLocker lock(&writer_mutex);
    return writer_busy;
}

void SQL_Exchange::settle()
{
    if (!writer || QThread::currentThread() == writer)
        return;
    QMutexLocker lock(&writer_mutex);
    while (writer_busy)
        writer_done.wait(&writer_mutex);
    if (!writer_result)
        return;
    writer_result = false;
    const bool open_failed = writer_open_failed;
    writer_open_failed = false;
    take_back_run();
    const QSqlError error = last_error;
    last_error = writer_error;
    if (open_failed) {
        // Readings must not wait for a connection the server will not grant (a per-account
        // limit): the main connection takes them meanwhile.
        if (!writer_down)
            LOG_ERR << "the writer's own database connection cannot be opened:"
                    << writer_error.nativeErrorCode() << writer_error.text()
                    << "; its rows go over the main connection, trying again every 10 s";
        writer_down = true;
        writer_retry_at = clock.elapsed() + 10000;
        last_error = error;
        return;
    }
    if (writer_down) {
        writer_down = false;
        LOG_WRN << "the writer's own database connection is open again";
    }
    note_result(writer_reached);
    if (writer_reached)
        last_error = error;
}

bool SQL_Exchange::run(QSqlQuery& query, const QString& statement)
{
    settle();
    if (query.exec(statement))
        return true;
    last_error = query.lastError();
    return false;
}

SQL_Exchange::Error_class SQL_Exchange::classify(const QSqlError& error)
{
    bool numeric = false;
    const int code = error.nativeErrorCode().toInt(&numeric);
    if (!numeric) return Error_class::connection; // no server answer at all (connection not open)
    if (code >= 2000 && code < 3000)
        return Error_class::connection; // client errors: the server was not reached or the link broke
    switch (code) {
    case 1053: // server shutdown in progress
    case 1153: // packet beyond max_allowed_packet: the server closes the connection
    case 1927: // connection killed
    case 4031: // idle connection closed by the server
        return Error_class::connection;
    case 1105: // unknown error: a cluster's write-set size limit says so, anything else is the row's
        return error.databaseText().contains(QLatin1String("writeset size")) ? Error_class::passing
                                                                             : Error_class::refused;
    case 1021: // disk full
    case 1037: // out of memory
    case 1040: // too many connections
    case 1041: // out of memory
    case 1047: // a cluster node not ready: joining, out of the primary component, rejecting queries
    case 1114: // table full
    case 1180: // error during commit (also a cluster's write-set row or size limit)
    case 1181: // error during rollback
    case 1197: // the transaction is beyond the binary log's cache
    case 1203: // too many connections of the account
    case 1205: // lock wait timeout
    case 1206: // more locks than the lock table holds
    case 1213: // deadlock (also a cluster's certification conflict)
    case 1290: // read-only (as during a fail-over)
    case 1317: // statement interrupted (a replicated write or an administrator went first)
    case 1705: // the statement is beyond the binary log's statement cache
    case 1792: // read-only transactions (a replica)
    case 1836: // read-only mode
    case 1874: // InnoDB read-only
        return Error_class::passing;
    default:
        return Error_class::refused;
    }
}

bool SQL_Exchange::too_large(const QSqlError& error)
{
    switch (error.nativeErrorCode().toInt()) {
    case 1105:
        return classify(error) == Error_class::passing;
    case 1180:
        // Not a node that lost the primary component: that passes whatever the size.
        return !error.databaseText().contains(QLatin1String("Primary Component"));
    case 1197:
    case 1206:
    case 1705:
        return true;
    default:
        return false;
    }
}

void SQL_Exchange::enforce_cap(Batch& batch)
{
    if (batch.tuples.size() <= pending_cap) return;
    const int drop = batch.tuples.size() - pending_cap;
    // The row's time is one of its leading values, all plain numbers.
    uint32_t oldest = UINT32_MAX, newest = 0;
    for (int i = 0; i < drop; ++i) {
        const QString& t = batch.tuples.at(i);
        int from = 1;
        for (int f = 0; f < batch.time_field && from > 0; ++f)
            from = t.indexOf(QLatin1String(", "), from) + 2;
        const uint32_t ts = from > 1 ? t.midRef(from, t.indexOf(QLatin1Char(','), from) - from).toUInt() : 0;
        oldest = qMin(oldest, ts);
        newest = qMax(newest, ts);
    }
    LOG_EXC << "the database took nothing for too long: dropped the" << drop << "oldest waiting rows of"
            << batch.table << "with times from" << oldest << "to" << newest;
    batch.tuples.erase(batch.tuples.begin(), batch.tuples.begin() + drop);
    batch.in_doubt = 0;
}

void SQL_Exchange::enforce_status_cap()
{
    if (pending_statuses.size() <= pending_cap) return;
    const int drop = pending_statuses.size() - pending_cap;
    LOG_EXC << "the database took nothing for too long: dropped the" << drop << "oldest waiting statuses";
    pending_statuses.erase(pending_statuses.begin(), pending_statuses.begin() + drop);
}

bool SQL_Exchange::reconnect()
{
    // The client library reconnects on a statement once it has seen the link broken, which a
    // write into a connection the server just closed may only find out; this statement also
    // restores the charset.
    return set_session_charset() || (classify(last_error) == Error_class::connection && set_session_charset());
}

SQL_Exchange::Outcome SQL_Exchange::attempt(QSqlQuery& query, const QString& statement)
{
    if (run(query, statement))
        return Outcome::written;
    // A lost link (also a statement beyond max_allowed_packet, after which the server closes
    // the connection) needs a fresh connection before anything else is sent.
    const Error_class kind = classify(last_error);
    if (kind == Error_class::refused) return Outcome::refused;
    if (kind == Error_class::passing) return Outcome::passing;
    const QSqlError error = last_error;
    if (!reconnect())
        return Outcome::away;
    last_error = error;
    return Outcome::dropped;
}

SQL_Exchange::Outcome SQL_Exchange::attempt_chunk(QSqlQuery& query, const QString& statement, int rows,
                                                  int& in_doubt)
{
    Outcome outcome = attempt(query, statement);
    // The connection went while the server is there: once more on the fresh one. A chunk that
    // drops it again holds a row the server will never take, and would hold back this batch and
    // every later one on each save.
    if (outcome == Outcome::dropped) {
        in_doubt = rows;
        outcome = attempt(query, statement);
    }
    if (outcome == Outcome::refused && in_doubt == rows &&
        last_error.nativeErrorCode() == QLatin1String("1062")) {
        // The answer to the first sending was lost, not the statement: its rows are stored.
        LOG_DBG << "rows stored before their answer was lost:" << rows << "of" << log_cut(statement, 200);
        outcome = Outcome::written;
    }
    if (outcome == Outcome::written || outcome == Outcome::refused)
        in_doubt = 0;
    else if (outcome != Outcome::passing)
        in_doubt = rows; // sent, answer unknown
    return outcome;
}

bool SQL_Exchange::write_batch(Batch& batch)
{
    QSqlQuery q(conn());
    while (!batch.tuples.isEmpty()) {
        if (batch.split_rows > 0 && clock.elapsed() - batch.split_at > split_hold_ms) batch.split_rows = 0;
        // Rows whose answer was lost go again as the same chunk, so that a duplicate key tells
        // that exactly they are stored.
        const int max_rows = batch.in_doubt > 0     ? batch.in_doubt
                             : batch.split_rows > 0 ? qMin(batch.split_rows, chunk_max_rows)
                                                    : chunk_max_rows;
        int rows = 0;
        int chars = batch.prefix.size();
        while (rows < batch.tuples.size() && rows < max_rows &&
               (rows == 0 || chars + batch.tuples.at(rows).size() + 2 <= chunk_max_chars)) {
            chars += batch.tuples.at(rows).size() + 2;
            ++rows;
        }
        QString statement;
        statement.reserve(chars);
        statement += batch.prefix;
        for (int i = 0; i < rows; ++i) {
            if (i)
                statement += QLatin1String(", ");
            statement += batch.tuples.at(i);
        }
        Outcome outcome = attempt_chunk(q, statement, rows, batch.in_doubt);
        if (outcome == Outcome::written) {
            batch.tuples.erase(batch.tuples.begin(), batch.tuples.begin() + rows);
            batch.passing_rows = 0;
            continue;
        }
        // Rows leave only from the head, so a chunk at least as long as the one that met it
        // before holds the same rows and more.
        if (outcome == Outcome::passing && rows > 1 && too_large(last_error) &&
            (batch.splitting || (batch.passing_rows > 0 && rows >= batch.passing_rows))) {
            // The same rows met it again: the write itself may be too large for the server, so
            // halve it, down to one row, before waiting again; until the batch is written, a chunk
            // that meets it is halved at once. The server refuses a write of this size, so rows
            // sent before without an answer were not stored either.
            batch.split_rows = rows / 2;
            batch.split_at = clock.elapsed();
            batch.splitting = true;
            batch.in_doubt = 0;
            LOG_WRN << last_error.nativeErrorCode().toInt() << last_error.text() << "for" << rows << "rows of"
                    << batch.table << "; writing" << batch.split_rows << "at a time";
            continue;
        }
        if (outcome == Outcome::passing && rows == 1 && batch.passing_rows == 1 && too_large(last_error)) {
            // Alone and still too large after a pause: the row itself is what the server refuses.
            LOG_EXC << "row lost:" << last_error.text() << log_cut(statement);
            batch.tuples.removeFirst();
            batch.passing_rows = 0;
            batch.splitting = false;
            batch.in_doubt = 0;
            batch.split_rows = 0; // the row was the cause, not the size
            continue;
        }
        if (outcome == Outcome::passing) {
            batch.passing_rows = too_large(last_error) ? rows : 0;
            batch.splitting = false;
        }
        if (outcome == Outcome::away || outcome == Outcome::passing)
            return false; // everything waits, in order

        // Find the rows the server refuses or drops the connection for, keep the others.
        LOG_EXC << last_error.text() << "in a statement of" << rows << "rows for" << batch.table
                << "; writing them one by one";
        for (int i = 0; i < rows; ++i) {
            const QString single = batch.prefix + batch.tuples.first();
            int doubt = 0;
            outcome = attempt_chunk(q, single, 1, doubt);
            if (outcome == Outcome::away || outcome == Outcome::passing) {
                batch.in_doubt = doubt;
                return false;
            }
            if (outcome == Outcome::dropped)
                LOG_EXC << "row lost, it drops the connection:" << last_error.text() << log_cut(single);
            else if (outcome == Outcome::refused)
                LOG_EXC << "row lost:" << last_error.text() << log_cut(single);
            batch.tuples.removeFirst();
        }
        batch.in_doubt = 0;
    }
    batch.splitting = false;
    return true;
}

QString SQL_Exchange::session_statement()
{
    // utf8mb4: the driver asks for 3-byte utf8 when the client library reports a MariaDB version
    // number, and any text with a 4-byte character would be refused.
    // Lock wait of 5 s: a row lock held elsewhere stalls a statement (and the main thread) for at
    // most that long before the error comes back as a passing state.
    // sql_mode: the server's own, less the modes that change how a quoted text is read
    // (NO_BACKSLASH_ESCAPES; ANSI_QUOTES, also implied by ANSI), because sql_text escapes with
    // backslashes and quotes with single quotes.
    return QStringLiteral(
        "SET NAMES utf8mb4, SESSION innodb_lock_wait_timeout = 5, SESSION sql_mode = "
        "TRIM(BOTH ',' FROM REPLACE(REPLACE(REPLACE(CONCAT(',', @@GLOBAL.sql_mode, ','), "
        "',NO_BACKSLASH_ESCAPES,', ','), ',ANSI_QUOTES,', ','), ',ANSI,', ','))");
}

bool SQL_Exchange::set_session_charset()
{
    // The first statement of a run also carries a reconnection.
    QSqlQuery q(conn());
    return run(q, session_statement());
}

void SQL_Exchange::slot_tmr_save()
{
    save_run();
    settle();
}

void SQL_Exchange::save_run()
{
    settle();
    if (!pending_rows())
        return;
    for (Batch* batch : {&cmd_batch, &data_batch, &event_batch, &setting_batch})
        enforce_cap(*batch);
    enforce_status_cap();
    if (passing_until > clock.elapsed()) return; // the server is in a passing state: the pause first
    take_run();
    // While the writer's own connection cannot be had, the run goes over this one.
    if (!writer || clock.elapsed() < writer_retry_at) {
        const bool reached = (set_session_charset() || classify(last_error) == Error_class::refused) && store_run();
        take_back_run();
        note_result(reached);
        return;
    }
    statuses_out = !run_statuses.isEmpty();
    {
        QMutexLocker lock(&writer_mutex);
        writer_busy = true;
    }
    QMetaObject::invokeMethod(writer_context, [this] {
        if (!writer_db.isValid()) writer_db = add_connection(cfg, QStringLiteral("writer"));
        const bool opened = writer_db.isOpen() || writer_db.open();
        if (!opened) last_error = writer_db.lastError();
        // Each run starts with the character set, as the main connection's: a reconnection of
        // the client library falls back to 3-byte utf8.
        const bool ok = opened && (set_session_charset() || classify(last_error) == Error_class::refused) &&
                        store_run();
        {
            QMutexLocker lock(&writer_mutex);
            writer_open_failed = !opened;
            writer_reached = ok;
            writer_error = last_error;
            writer_busy = false;
            writer_result = true;
            writer_done.wakeAll();
        }
        QMetaObject::invokeMethod(
            this,
            [this] {
                settle();
                if (save_due && !writer_in_flight()) {
                    save_due = false;
                    save_run();
                }
            },
            Qt::QueuedConnection);
    });
}

void SQL_Exchange::take_run()
{
    for (auto pair : {qMakePair(&run_cmd, &cmd_batch), qMakePair(&run_data, &data_batch),
                      qMakePair(&run_event, &event_batch), qMakePair(&run_setting, &setting_batch)}) {
        pair.first->in_doubt = pair.second->in_doubt;
        pair.first->tuples.swap(pair.second->tuples);
    }
    run_statuses.swap(pending_statuses);
    // Every command numbered so far is among the rows written before the statuses look.
    run_counter = cmd_counter;
    writer_rows = run_cmd.tuples.size() + run_statuses.size() + run_data.tuples.size() + run_event.tuples.size() +
                  run_setting.tuples.size();
}

bool SQL_Exchange::store_run()
{
    // The order matters: statuses find the command rows written first, and the settings the
    // statuses leave go out with the settings of the same run. A lost connection ends the run;
    // everything waits for the next one in the same order.
    bool reached = write_batch(run_cmd);
    // In groups, so that each statement stays well inside a packet; a group sees what the
    // groups before it wrote.
    if (status_group < 5000 && clock.elapsed() - status_split_at > split_hold_ms) status_group = 5000;
    while (reached && !run_statuses.isEmpty()) {
        const int count = qMin(run_statuses.size(), status_group);
        reached = apply_statuses(count);
        if (reached || count <= 1 || !too_large(last_error) || classify(last_error) != Error_class::passing) {
            status_group_passing = 0;
            continue;
        }
        // As for the rows' chunks: the same group (or a longer one from the same head) met twice
        // with its size goes in halves, down to one status before waiting again (-1: halving).
        if (status_group_passing == 0 || (status_group_passing > 0 && count < status_group_passing)) {
            status_group_passing = count;
            continue;
        }
        status_group = count / 2;
        status_split_at = clock.elapsed();
        status_group_passing = -1;
        LOG_WRN << last_error.nativeErrorCode().toInt() << last_error.text() << "for" << count
                << "statuses; applying" << status_group << "at a time";
        reached = true;
    }
    return reached && write_batch(run_data) && write_batch(run_event) && write_batch(run_setting);
}

void SQL_Exchange::take_back_run()
{
    for (auto pair : {qMakePair(&run_cmd, &cmd_batch), qMakePair(&run_data, &data_batch),
                      qMakePair(&run_event, &event_batch), qMakePair(&run_setting, &setting_batch)}) {
        pair.first->tuples.append(pair.second->tuples);
        pair.second->tuples.swap(pair.first->tuples);
        pair.first->tuples.clear();
        pair.second->in_doubt = pair.first->in_doubt;
    }
    run_statuses.append(pending_statuses);
    pending_statuses.swap(run_statuses);
    run_statuses.clear();
    writer_rows = 0;
    if (RAM_modems* ram = RAM_modems::instance)
        for (const Registry_setting& s : qAsConst(run_settings))
            if (!settings_meanwhile.contains(qMakePair(s.modem_id, s.key)))
                ram->slot_set_setting(s.modem_id, s.key, s.value, false);
    run_settings.clear();
    settings_meanwhile.clear();
    statuses_out = false;
}

void SQL_Exchange::status_setting(uint32_t modem_id, uint32_t ts, const QString& setting, const QVariant& value)
{
    run_setting.tuples << setting_tuple(modem_id, Ul_setting(ts, setting, value));
    run_settings << Registry_setting{modem_id, setting, value};
}

void SQL_Exchange::status_relay(const Rabbit_dl_status& status, const Dl_request& command)
{
    const QString value = parser_strova5::relay_setting_value(status, command);
    if (!value.isEmpty())
        status_setting(status.modem_id, uint32_t(QDateTime::currentSecsSinceEpoch()), QStringLiteral("96.3.10"),
                       RAM_modems::stored_value(value));
}

bool SQL_Exchange::find_status_commands(int count, QHash<uint32_t, Cmd_row>& rows)
{
    QSet<uint32_t> numbers;
    QSet<QPair<uint32_t, QString>> pairs;
    bool any_answer = false;
    uint32_t first_answer = run_counter;
    for (int i = 0; i < count; ++i) {
        const Pending_status& pending = run_statuses.at(i);
        const Rabbit_dl_status& status = pending.status;
        if (status.cmd_id != 0) {
            numbers.insert(status.cmd_id);
            continue;
        }
        pairs.insert(qMakePair(status.modem_id, status.setting));
        if (!any_answer) first_answer = pending.numbered_to;
        any_answer = true;
    }
    const QString columns = QStringLiteral("c.cmd_id, c.modem_id, c.setting, c.ts, c.`state`, c.`data`");
    QStringList parts;
    QString with;
    if (!numbers.isEmpty()) {
        QStringList ids;
        for (const uint32_t n : qAsConst(numbers))
            ids << QString::number(n);
        parts << QStringLiteral("SELECT %1 FROM modems_cmd c WHERE c.cmd_id IN (%2)")
                     .arg(columns, ids.join(QStringLiteral(", ")));
    }
    if (!pairs.isEmpty()) {
        QStringList values;
        for (const auto& pair : qAsConst(pairs))
            values << QLatin1Char('(') + QString::number(pair.first) + QLatin1String(", ") +
                          sql_text(pair.second) + QLatin1Char(')');
        with = QStringLiteral("WITH p(m, s) AS (VALUES %1) ").arg(values.join(QStringLiteral(", ")));
        // The newest command of each pair that every answer of the group may see (the first
        // answer arrived before the others, so it sees the fewest)...
        parts
            << QStringLiteral(
                   "SELECT %1 FROM p JOIN modems_cmd c ON c.cmd_id = (SELECT cmd_id FROM modems_cmd n "
                   "WHERE n.modem_id = p.m AND n.setting = p.s%2 ORDER BY n.ts DESC, n.cmd_id DESC LIMIT 1)")
                   .arg(columns, numbered_up_to(first_answer));
        // ...and those numbered since, which only the later answers may see.
        if (first_answer != run_counter) {
            const QString since = first_answer < run_counter
                                      ? QStringLiteral("c.cmd_id > %1 AND c.cmd_id <= %2")
                                      : QStringLiteral("(c.cmd_id > %1 OR c.cmd_id <= %2)");
            parts << QStringLiteral("SELECT %1 FROM modems_cmd c WHERE %2 AND (c.modem_id, c.setting) IN "
                                    "(SELECT m, s FROM p)")
                         .arg(columns, since.arg(first_answer).arg(run_counter));
        }
    }
    if (parts.isEmpty()) return true;
    const QString select = with + parts.join(QStringLiteral(" UNION ALL "));
    QSqlQuery q(conn());
    q.setForwardOnly(true);
    if (!run(q, select)) {
        if (classify(last_error) == Error_class::refused) LOG_EXC << last_error.text() << log_cut(select);
        return false;
    }
    while (q.next()) {
        Cmd_row row;
        row.modem_id = q.value(1).toUInt();
        row.setting = text_of(q.value(2));
        row.ts = q.value(3).toUInt();
        row.state = q.value(4).toInt();
        row.data = json_to_variant(q.value(5));
        rows.insert(q.value(0).toUInt(), row);
    }
    return true;
}

bool SQL_Exchange::apply_statuses(int count)
{
    // When the server refuses a statement of the group: each status on its own, so that only
    // the refused one is lost.
    const auto one_by_one = [this, count] {
        for (int i = 0; i < count; ++i) {
            if (!apply_status(run_statuses.first().status, run_statuses.first().numbered_to))
                return false;
            run_statuses.removeFirst();
        }
        return true;
    };
    QHash<uint32_t, Cmd_row> rows;
    if (!find_status_commands(count, rows)) {
        if (classify(last_error) != Error_class::refused) return false;
        return one_by_one();
    }
    QHash<QPair<uint32_t, QString>, QList<uint32_t>> by_pair;
    for (auto it = rows.cbegin(); it != rows.cend(); ++it)
        if (it.key() != 0) by_pair[qMakePair(it->modem_id, it->setting)] << it.key();

    // The states as the statuses leave them one after the other, as if each were applied alone.
    struct Found
    {
        int index;
        uint32_t cmd_id;
        Cmd_row command; // as the status found it
        bool confirms;   // a confirmed setting write: the setting is copied
    };
    QList<Found> found;
    QHash<uint32_t, int> new_states;
    QStringList confirmed; // setting rows, in arrival order
    for (int i = 0; i < count; ++i) {
        const Pending_status& pending = run_statuses.at(i);
        const Rabbit_dl_status& status = pending.status;
        LOG_TRC << "dl_status" << status.modem_id << status.cmd_id << (status.success ? "true" : "false")
                << status.setting;
        uint32_t cmd_id = status.cmd_id;
        Cmd_row* row = nullptr;
        if (cmd_id != 0) {
            const auto it = rows.find(cmd_id);
            if (it == rows.end() || it->modem_id != status.modem_id || it->setting.isEmpty()) continue;
            row = &*it;
        } else {
            // The newest command of that name that existed when the answer came (the higher
            // number wins between two of the same second).
            for (const uint32_t id : by_pair.value(qMakePair(status.modem_id, status.setting))) {
                if (!numbered_within(id, pending.numbered_to)) continue;
                const Cmd_row& r = rows[id];
                if (!row || r.ts > row->ts || (r.ts == row->ts && id > cmd_id)) {
                    row = &rows[id];
                    cmd_id = id;
                }
            }
        }
        LOG_TRC << "dl_status" << status.modem_id << cmd_id << (status.success ? "true" : "false")
                << (row ? row->setting : status.setting) << (row ? row->state : -1);
        if (!row) continue;
        const int state = status.success ? row->state : 4;
        found << Found{i, cmd_id, *row, false};
        int new_state = -1;
        switch (state) {
        case 0:
            new_state = 3;
            break;
        case 1:
            new_state = 2;
            break;
        case 2:
            if (!status.setting.isEmpty()) new_state = 3;
            break;
        case 4:
            new_state = 4;
            break;
        case 5:
            new_state = 3;
            break;
        default:
            break;
        }
        if (new_state < 0) {
            // Done by a group whose COMMIT answer was lost: the setting row is stored, the
            // registry and the setting's copy are still to come.
            if (state == 3 && confirms_in_doubt.contains(cmd_id)) found.last().confirms = true;
            continue;
        }
        if (state == 5) {
            confirmed << setting_tuple(status.modem_id, Ul_setting(row->ts, row->setting, row->data));
            found.last().confirms = true;
        }
        row->state = new_state;
        new_states.insert(cmd_id, new_state);
    }

    if (!new_states.isEmpty()) {
        // One transaction: a confirmed setting and its command marked done go together, and a
        // lost answer repeats the whole group. The client library does not reconnect silently
        // inside a transaction, so no statement of it can land alone on a new session.
        QMap<int, QStringList> by_state;
        for (auto it = new_states.cbegin(); it != new_states.cend(); ++it)
            by_state[it.value()] << QString::number(it.key());
        QStringList statements;
        for (int from = 0; from < confirmed.size();) {
            QString replace = setting_batch.prefix;
            for (int rows_in = 0;
                 from < confirmed.size() &&
                 (rows_in == 0 || replace.size() + confirmed.at(from).size() + 2 <= chunk_max_chars);
                 ++rows_in, ++from)
                replace += (rows_in ? QLatin1String(", ") : QLatin1String()) + confirmed.at(from);
            statements << replace;
        }
        for (auto it = by_state.cbegin(); it != by_state.cend(); ++it)
            statements << QStringLiteral("UPDATE modems_cmd SET `state`='%1' WHERE cmd_id IN (%2)")
                              .arg(it.key())
                              .arg(it.value().join(QStringLiteral(", ")));
        QSqlQuery q(conn());
        bool done = run(q, QStringLiteral("START TRANSACTION"));
        for (int i = 0; done && i < statements.size(); ++i)
            done = run(q, statements.at(i));
        const bool committing = done;
        done = done && run(q, QStringLiteral("COMMIT"));
        if (committing && !done && classify(last_error) == Error_class::connection)
            for (const Found& f : qAsConst(found))
                if (f.confirms) confirms_in_doubt.insert(f.cmd_id);
        if (!done) {
            const QSqlError error = last_error;
            run(q, QStringLiteral("ROLLBACK")); // a lock wait ends only its statement
            last_error = error;
            if (classify(error) != Error_class::refused) return false;
            LOG_EXC << error.text() << "in the statuses of a save; applying them one by one";
            return one_by_one();
        }
    }
    // The relay and the confirmed settings in the order of the statuses, each once more behind
    // the settings already waiting, so that it stays newest.
    for (const Found& f : qAsConst(found)) {
        const Rabbit_dl_status& status = run_statuses.at(f.index).status;
        status_relay(status, Dl_request(status.modem_id, f.command.ts, f.command.setting, f.command.data));
        if (f.confirms) status_setting(status.modem_id, f.command.ts, f.command.setting, f.command.data);
    }
    run_statuses.erase(run_statuses.begin(), run_statuses.begin() + count);
    confirms_in_doubt.clear();
    return true;
}

void SQL_Exchange::note_result(bool done)
{
    if (done) {
        if (passing_pause_ms) LOG_WRN << "the database takes rows again";
        passing_pause_ms = 0;
        passing_until = 0;
        note_reachable(true);
        return;
    }
    if (classify(last_error) != Error_class::passing) {
        note_reachable(false);
        return;
    }
    if (!passing_pause_ms)
        LOG_EXC << "the database is in a passing state:" << last_error.nativeErrorCode().toInt()
                << last_error.text() << "; rows waiting:" << pending_rows()
                << "; trying again with growing pauses";
    passing_pause_ms = passing_pause_ms ? qMin(passing_pause_ms * 2, 10000) : 200;
    passing_until = clock.elapsed() + passing_pause_ms;
}

void SQL_Exchange::note_reachable(bool reached)
{
    if (!reached && !db_away) {
        db_away = true;
        LOG_EXC << "database not reachable:" << last_error.text() << "; rows waiting:" << pending_rows();
    } else if (reached && db_away) {
        db_away = false;
        LOG_WRN << "database reachable again";
    }
}

bool SQL_Exchange::numbered_within(uint32_t cmd_id, uint32_t numbered_to) const
{
    if (numbered_to == run_counter) return true;
    if (numbered_to < run_counter) return cmd_id <= numbered_to || cmd_id > run_counter;
    return cmd_id > run_counter && cmd_id <= numbered_to;
}

QString SQL_Exchange::numbered_up_to(uint32_t numbered_to) const
{
    if (numbered_to == run_counter)
        return QString();
    // Left out: the numbers after `numbered_to` up to the counter, around the wrap if need be.
    if (numbered_to < run_counter)
        return QStringLiteral(" AND (cmd_id <= %1 OR cmd_id > %2)").arg(numbered_to).arg(run_counter);
    return QStringLiteral(" AND cmd_id > %1 AND cmd_id <= %2").arg(run_counter).arg(numbered_to);
}

bool SQL_Exchange::apply_status(const Rabbit_dl_status& status, uint32_t numbered_to)
{
    LOG_TRC << "dl_status" << status.modem_id << status.cmd_id << (status.success ? "true" : "false")
            << status.setting;
    QSqlQuery q(conn());
    QString setting;
    QVariant data;
    uint32_t ts = 0;
    uint32_t cmd_id = status.cmd_id;
    int state = -1; // -1: no command found
    if (status.cmd_id != 0) {
        const QString select = QStringLiteral("SELECT * FROM modems_cmd WHERE modem_id = %1 AND cmd_id = %2")
                                   .arg(status.modem_id)
                                   .arg(status.cmd_id);
        if (!run(q, select)) {
            if (classify(last_error) != Error_class::refused) return false;
            LOG_EXC << last_error.text() << log_cut(select);
            return true;
        }
        if (!q.next())
            return true;
        setting = text_of(q.value(QStringLiteral("setting")));
        if (setting.isEmpty())
            return true;
        data = json_to_variant(q.value(QStringLiteral("data")));
        ts = q.value(QStringLiteral("ts")).toUInt();
        state = q.value(QStringLiteral("state")).toInt();
    } else {
        // The meter answered a setting: the newest command of that name that existed when the
        // answer came (the higher number wins between two of the same second). A command made
        // in reply to this very uplink is not answered by it.
        setting = status.setting;
        const QString select =
            QStringLiteral("SELECT * FROM modems_cmd WHERE modem_id = %1 AND setting = %2%3 order by ts desc, cmd_id desc limit 1")
                .arg(status.modem_id)
                .arg(sql_text(status.setting), numbered_up_to(numbered_to));
        if (!run(q, select)) {
            if (classify(last_error) != Error_class::refused) return false;
            LOG_EXC << last_error.text() << log_cut(select);
        } else if (q.next()) {
            data = json_to_variant(q.value(QStringLiteral("data")));
            ts = q.value(QStringLiteral("ts")).toUInt();
            state = q.value(QStringLiteral("state")).toInt();
            cmd_id = q.value(QStringLiteral("cmd_id")).toUInt();
        }
    }
    LOG_TRC << "dl_status" << status.modem_id << cmd_id << (status.success ? "true" : "false") << setting << state;
    if (state < 0 || cmd_id == 0)
        return true; // matches no command: nothing to update

    if (!status.success)
        state = 4;
    status_relay(status, Dl_request(status.modem_id, ts, setting, data));

    int new_state = -1;
    switch (state) {
    case 0: new_state = 3; break;
    case 1: new_state = 2; break;
    case 2:
        if (!status.setting.isEmpty())
            new_state = 3;
        break;
    case 4: new_state = 4; break;
    case 5: new_state = 3; break;
    default: break;
    }
    if (new_state < 0)
        return true;
    if (state == 5) {
        // The confirmed setting is written before the command is marked done: a lost answer
        // can make both go again, never leave the command done without its setting.
        const QString copy =
            setting_batch.prefix + setting_tuple(status.modem_id, Ul_setting(ts, setting, data));
        if (!run(q, copy)) {
            if (classify(last_error) != Error_class::refused) return false;
            LOG_EXC << "row lost:" << last_error.text() << log_cut(copy);
        }
    }
    const QString update = QStringLiteral("UPDATE modems_cmd SET `state`='%1' WHERE cmd_id=%2").arg(new_state).arg(cmd_id);
    if (!run(q, update)) {
        if (classify(last_error) != Error_class::refused) return false;
        LOG_EXC << last_error.text() << update;
        return true;
    }
    if (state == 5)
        status_setting(status.modem_id, ts, setting, data);
    return true;
}

QMap<uint32_t, QVariantMap> SQL_Exchange::get_pending_settings()
{
    QMap<uint32_t, QVariantMap> out;
    const QString select = QStringLiteral("SELECT modem_id, setting, `data` FROM modems_setting WHERE modems_setting.state = 0 ");
    QSqlQuery q(db);
    if (!run(q, select)) {
        LOG_EXC << last_error.text() << log_cut(select);
        return out;
    }
    while (q.next())
        out[q.value(0).toUInt()].insert(text_of(q.value(1)), json_to_variant(q.value(2)));
    return out;
}

void SQL_Exchange::slot_loader_req(uint32_t modem_id, uint8_t type, uint32_t limit)
{
    if (limit >= 2)
        emit signal_loader_req(modem_id, type, limit);
}

void SQL_Exchange::slot_remove_tail(uint32_t modem_id)
{
    emit signal_remove_tail(modem_id);
}

void SQL_Exchange::slot_loader_res(uint32_t modem_id, uint8_t type, QMap<uint32_t, uint32_t> arch_indexes)
{
    RAM_modems* ram = RAM_modems::instance;
    modem_record* modem = ram ? ram->find_modem(modem_id) : nullptr;
    if (!modem)
        return; // the modem left the registry meanwhile
    arch_index* aix = type == 14 ? &modem->aix_day : type == 15 ? &modem->aix_hour : nullptr;
    if (aix) {
        for (auto it = arch_indexes.cbegin(); it != arch_indexes.cend(); ++it)
            aix->indexes.insert(it.key(), it.value());
        aix->is_loaded = true;
    }
    emit signal_modem_index_updated(modem_id);
}
