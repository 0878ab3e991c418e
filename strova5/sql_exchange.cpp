// Storage: the connection, the schema upgrades made at start, and the save batches.
#include "sql_exchange.h"

#include "logger.h"
#include "parser_strova5.h"
#include "quit_signals.h"
#include "ram_modems.h"
#include "sql_loader.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QSqlDriver>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

SQL_Exchange* SQL_Exchange::instance = nullptr;
thread_local QSqlError SQL_Exchange::last_error;

namespace {
const QString main_connect = QStringLiteral("main_connect");

QList<OBIS> make_obis_list()
{
    // C, D, E of the value columns of `modems_data`, in column order (A = 1, B = 0, F = 255).
    static const uint8_t cde[][3] = {
        {1, 8, 0},  {1, 8, 1},  {1, 8, 2},  {1, 8, 3},   {1, 8, 4},   {2, 8, 0},  {2, 8, 1},  {2, 8, 2},
        {2, 8, 3},  {2, 8, 4},  {3, 8, 0},  {3, 8, 1},   {3, 8, 2},   {3, 8, 3},  {3, 8, 4},  {4, 8, 0},
        {4, 8, 1},  {4, 8, 2},  {4, 8, 3},  {4, 8, 4},   {9, 8, 0},   {9, 8, 1},  {9, 8, 2},  {9, 8, 3},
        {9, 8, 4},  {1, 6, 0},  {1, 7, 0},  {21, 7, 0},  {41, 7, 0},  {61, 7, 0}, {3, 7, 0},  {23, 7, 0},
        {43, 7, 0}, {63, 7, 0}, {9, 7, 0},  {29, 7, 0},  {49, 7, 0},  {69, 7, 0}, {11, 7, 0}, {31, 7, 0},
        {51, 7, 0}, {71, 7, 0}, {91, 7, 0}, {32, 7, 0},  {52, 7, 0},  {72, 7, 0}, {14, 7, 0}, {13, 7, 0},
        {33, 7, 0}, {53, 7, 0}, {73, 7, 0}, {81, 7, 10}, {81, 7, 21}, {81, 7, 2},
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

SQL_Exchange::SQL_Exchange(QVariantMap cfg_, QObject* parent, int row_cap)
    : QObject(parent), cfg(std::move(cfg_)),
      cmd_batch{
          "modems_cmd",
          QStringLiteral("INSERT INTO modems_cmd(cmd_id, modem_id, ts, `setting`, `state`, `data`) VALUES "),
          {}},
      data_batch{"modems_data", data_prefix(), {}},
      event_batch{"modems_event",
                  QStringLiteral(
                      "REPLACE INTO modems_event(modem_id, ts, ts_get, `type`, `index`, index_max, `event`, "
                      "worktime, OBIS_12_7_0, OBIS_12_7_4, OBIS_96_8_10, OBIS_96_12_4, OBIS_96_12_6, "
                      "value_old, ext) VALUES "),
                  {}},
      setting_batch{
          "modems_setting",
          QStringLiteral("REPLACE INTO modems_setting(modem_id, ts, `state`, `setting`, `data`) VALUES "),
          {}},
      own_event_batch{"modems_event", event_batch.prefix, {}},
      numbering([this](uint32_t mark) { return write_cmd_mark(mark); },
                [this](uint32_t from, quint64 window, int rows_max, QList<cmd_numbering::Stored>& rows) {
                    return read_number_window(from, window, rows_max, rows);
                },
                numbering_limits())
{
    instance = this;
    pending_cap = row_cap;
    // The reception time of readings and events, the time of settings and commands.
    cmd_batch.time_field = 2;
    data_batch.time_field = 2;
    event_batch.time_field = 2;
    own_event_batch.time_field = 2;
    setting_batch.time_field = 1;
    // The run's batches are the same tables, empty until a run takes the waiting rows.
    run_cmd = cmd_batch;
    run_data = data_batch;
    run_event = event_batch;
    run_setting = setting_batch;
    run_own_event = own_event_batch;
    clock.start();
    tmr_save = new QTimer(this);
    // The timer does not wait for the rows it handed to the writer (a lock held elsewhere may
    // keep them for seconds); the run it missed starts as soon as the writer is done, so that
    // under load the writer is not left idle until the next tick. slot_tmr_save does wait.
    connect(tmr_save, &QTimer::timeout, this, [this] {
        repeat_outage_line(); // also while a run hangs on a silent link
        hand_mark(true);      // also while the runs pause or one is out
        if (writer_in_flight()) {
            save_due = true;
            return;
        }
        save_run();
    });
}

SQL_Exchange::~SQL_Exchange()
{
    if (writer.joinable()) {
        settle_at_quit();
        // Rows that came after the quit hook (a timer due in the same pass, a status read while
        // the downlinks were flushed): one more try, unless the server was away already, which
        // the hook waited out once.
        // Runs follow one another while each ends only for its share of time.
        if (pending_rows() > 0 && db.isOpen() && !db_away && passing_until <= clock.elapsed()) {
            do {
                save_run();
                settle_at_quit();
            } while (run_more && pending_rows() > 0);
        }
        {
            std::lock_guard<std::mutex> lock(writer_mutex);
            writer_stop = true;
        }
        writer_cv.notify_all();
        writer.join();
        writer_id = std::thread::id();
    }
    delete writer_wake;
    if (writer_wake_fd >= 0) ::close(writer_wake_fd);
    name_unwritten();
    if (loader) {
        // The thread closes and removes its own connection when its event loop ends.
        loader->quit();
        loader->wait();
        delete loader;
        loader = nullptr;
    }
    for (const int hook : {quit_hook, quit_input_hook})
        if (hook) remove_quit_hook(hook);
    if (instance == this) instance = nullptr;
    if (db.isValid()) {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(main_connect);
    }
}

void SQL_Exchange::settle_at_quit()
{
    // The run's statement ends by the client library's time-outs. Once one statement is the link
    // time-out old, what the run holds is named, so that a process ended meanwhile by its
    // service manager leaves them named. A long run of quick statements is no reason.
    QElapsedTimer waited;
    waited.start();
    bool named = false;
    while (!wait_for_run(1000)) {
        const qint64 age = writer_statement_age();
        if (named || age < link_timeout_s * 1000) continue;
        named = true;
        name_rows({&held.cmd, &held.data, &held.event, &held.setting, &held.own_event}, held.statuses,
                  "quitting: the writer's statement has not come back after" + QByteArray::number(age) +
                      " ms; if the process is ended now, the database did not take");
    }
    if (named) LOG_WRN << "quitting: the writer's statement came back after" << waited.elapsed() << "ms";
}

QSqlDatabase SQL_Exchange::add_connection(const QVariantMap& cfg, const QString& name)
{
    QSqlDatabase c =
        QSqlDatabase::addDatabase(cfg.value(QStringLiteral("db"), QStringLiteral("QMYSQL")).toString(), name);
    c.setHostName(cfg.value(QStringLiteral("host"), QStringLiteral("localhost")).toString());
    c.setPort(int(cfg.value(QStringLiteral("port"), 3306).toUInt()));
    c.setDatabaseName(cfg.value(QStringLiteral("db_name"), QStringLiteral("mysql")).toString());
    c.setUserName(cfg.value(QStringLiteral("user"), QStringLiteral("root")).toString());
    c.setPassword(cfg.value(QStringLiteral("pass"), QStringLiteral("8263")).toString());
    // Without time-outs a statement on a link gone silent (no reset, no answer) waits forever.
    const QString t = QString::number(link_timeout_s);
    c.setConnectOptions(QStringLiteral("MYSQL_OPT_RECONNECT=1;MYSQL_OPT_CONNECT_TIMEOUT=%1;"
                                       "MYSQL_OPT_READ_TIMEOUT=%1;MYSQL_OPT_WRITE_TIMEOUT=%1")
                            .arg(t));
    return c;
}

namespace {
// Qt's driver offers neither the socket nor the session id: both come from the client library
// the driver loaded, asked by name so that no build needs its headers.
template <typename Fn> Fn client_function(const char* name)
{
    void* lib = dlopen("libmariadb.so.3", RTLD_LAZY | RTLD_NOLOAD);
    return lib ? reinterpret_cast<Fn>(dlsym(lib, name)) : nullptr;
}

void* client_handle(const QSqlDriver* driver)
{
    if (!driver) return nullptr;
    const QVariant handle = driver->handle();
    if (qstrcmp(handle.typeName(), "MYSQL*") != 0) return nullptr;
    return *static_cast<void* const*>(handle.constData());
}

void* client_handle(const QSqlDatabase& c)
{
    return c.isOpen() ? client_handle(c.driver()) : nullptr;
}
} // namespace

unsigned long SQL_Exchange::session_id(const QSqlDatabase& c)
{
    using thread_id_fn = unsigned long (*)(void*);
    static const thread_id_fn thread_id = client_function<thread_id_fn>("mysql_thread_id");
    void* mysql = thread_id ? client_handle(c) : nullptr;
    return mysql ? thread_id(mysql) : 0;
}

void SQL_Exchange::set_keepalive(const QSqlDatabase& c)
{
    using get_socket_fn = int (*)(void*);
    static const get_socket_fn get_socket = client_function<get_socket_fn>("mysql_get_socket");
    void* mysql = get_socket ? client_handle(c) : nullptr;
    const int fd = mysql ? get_socket(mysql) : -1;
    if (fd < 0) return;
    // Probes after 5 s idle, 3 of them 2 s apart; sent bytes unacknowledged for the time-out end
    // the connection as well.
    const int on = 1, idle = 5, interval = 2, count = 3, unacked_ms = link_timeout_s * 1000;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacked_ms, sizeof unacked_ms);
}

bool SQL_Exchange::exec_whole(QSqlQuery& query, const QString& statement, QSqlError& error)
{
    if (!query.exec(statement)) {
        error = query.lastError();
        return false;
    }
    // Writes are judged by their answer alone: one taken for lost would be written twice.
    static const QRegularExpression asks_rows(QStringLiteral("^[\\s(]*(SELECT|EXPLAIN|SHOW|WITH|ANALYZE)\\b"),
                                              QRegularExpression::CaseInsensitiveOption);
    if (!asks_rows.match(statement).hasMatch()) return true;
    // Only the link's own evidence tells a cut: an answer whose rows keep coming is whole however
    // long it took (a silent link is ended by the client library's read time-out, which leaves
    // its error).
    using errno_fn = unsigned (*)(void*);
    static const errno_fn client_errno = client_function<errno_fn>("mysql_errno");
    void* mysql = client_errno ? client_handle(query.driver()) : nullptr;
    const unsigned code = mysql ? client_errno(mysql) : 0;
    QString why;
    if (code >= 2000 && code < 3000)
        why = QStringLiteral("the client library reported error %1 after the statement").arg(code);
    else if (!query.isSelect())
        why = QStringLiteral("the statement's result did not arrive");
    if (why.isEmpty()) return true;
    error = QSqlError(QStringLiteral("the database link was lost while the rows came: ") + why, QString(),
                      QSqlError::ConnectionError, QStringLiteral("2013"));
    return false;
}

bool SQL_Exchange::open_connection(QSqlDatabase& c)
{
    if (c.isOpen()) return true;
    if (!c.open()) return false;
    // The session statement also as the client library's init command: it runs on every session the
    // library opens, its silent reconnections included, before any statement of ours.
    using options_fn = int (*)(void*, int, const void*);
    static const options_fn options = client_function<options_fn>("mysql_options");
    constexpr int init_command = 3; // MYSQL_INIT_COMMAND of the client library's option list
    void* mysql = options ? client_handle(c) : nullptr;
    const QByteArray statement = session_statement().toUtf8();
    if (!mysql || options(mysql, init_command, statement.constData()) != 0)
        LOG_WRN << "the database session bounds are not given to the client library: a silent reconnection"
                << "starts without them until the next session statement";
    set_keepalive(c);
    return true;
}

bool SQL_Exchange::init()
{
    db = add_connection(cfg, main_connect);
    if (!open_connection(db)) {
        last_error = db.lastError();
        LOG_EXC << "can't open db" << db.lastError().text();
        return false;
    }
    note_reachable(true); // saves tried before the connection was open found nothing
    // A table locked elsewhere (a backup's LOCK TABLES, an ALTER waiting behind a long
    // transaction) is waited out statement by statement, as everywhere else in the daemon: the
    // start goes on once it ends, or stops quietly when told to meanwhile.
    starting = true;
    const bool ok = init_storage();
    starting = false;
    return ok;
}

bool SQL_Exchange::init_storage()
{
    // A quit while the start waited is no failure of the database: nothing more is said.
    const auto failed = [](const char* what) {
        if (!quit_signal_number()) LOG_EXC << what << last_error.text();
        return false;
    };
    QSqlQuery q(db);
    if (!set_session_charset()) {
        if (quit_signal_number()) return false;
        LOG_WRN << "the server keeps its character set:" << last_error.text();
    }
    // The columns as a statement reads them, so that a table locked elsewhere is waited for
    // rather than taken for one without the column.
    const int has_data = has_column(QStringLiteral("modems_cmd"), QStringLiteral("data"));
    if (has_data < 0) return failed("can't read the columns of modems_cmd:");
    if (has_data == 0) {
        const QString alter = QStringLiteral(
            "ALTER TABLE `modems_cmd` ADD COLUMN `data` TEXT NULL COMMENT 'данные команды' AFTER `state`");
        if (!run(q, alter)) {
            return failed("can't insert data field to modems_cmd");
        }
        if (has_column(QStringLiteral("modems_cmd"), QStringLiteral("data")) != 1) {
            LOG_EXC << "no data field in modems_cmd";
            return false;
        }
    }
    const int has_iec104 = has_column(QStringLiteral("modems_iec104"), QStringLiteral("modem_id"));
    if (has_iec104 < 0) return failed("can't read the columns of modems_iec104:");
    if (has_iec104 == 0) {
        const QString create = QStringLiteral(
            "CREATE TABLE `modems_iec104` ( `iec_id` INT(10) UNSIGNED NOT NULL AUTO_INCREMENT COMMENT "
            "'смещение в "
            "iec104', `modem_id` INT(10) UNSIGNED NOT NULL COMMENT 'номер модема', PRIMARY KEY (`iec_id`) )");
        if (!run(q, create)) {
            return failed("can't create modems_iec104");
        }
    }

    // Numbers up to the stored mark may have gone out: a start continues above it, whatever the
    // last run managed to store. One key read, whatever the size of the command table.
    // Created only when missing: the account may have lost CREATE after the first start.
    const int has_state = has_column(QStringLiteral("driver_state"), QStringLiteral("value"));
    if (has_state < 0 ||
        (has_state == 0 &&
         !run(q, QStringLiteral("CREATE TABLE IF NOT EXISTS `driver_state` ( `name` VARCHAR(64) NOT "
                                "NULL, `value` BIGINT UNSIGNED NOT NULL, PRIMARY KEY (`name`) )"))) ||
        !run_synced(
            q, QStringLiteral("SELECT `value` FROM driver_state WHERE `name` = '%1'").arg(cmd_mark_name))) {
        return failed("can't read the command number mark:");
    }
    bool has_mark = q.next();
    uint32_t mark = has_mark ? uint32_t(q.value(0).toULongLong()) : 0;
    uint32_t newest = 0;
    bool stored = false;
    if (!has_mark) {
        // No mark yet (a table from before marks): numbers of that run may still be in flight
        // at the network server without a row, so a wide stretch above the newest stored one
        // stays unused.
        if (!run(q, QStringLiteral("SELECT MAX(cmd_id) FROM modems_cmd"))) {
            return failed("can't read the newest command number:");
        }
        stored = q.next() && !q.value(0).isNull();
        newest = stored ? q.value(0).toUInt() : 0;
        mark = newest + cmd_skip_without_mark;
    }
    // The first free numbers are read here (a failure leaves them to the first run) and the
    // first block is taken at once; the writer takes the next ones ahead of need.
    if (!numbering.start(mark)) {
        return failed("can't store the command number mark:");
    }
    if (!has_mark) {
        // Only a table with commands but no mark (an upgrade) is worth a look.
        if (stored)
            LOG_WRN << "no command number mark stored: numbering goes on at" << mark + 1 << "above the newest"
                    << "stored command" << newest;
        else
            LOG_NTC << "command numbering starts at" << mark + 1 << "(no command stored yet)";
    }

    const QVariantMap timers = cfg.value(QStringLiteral("timers")).toMap();
    tmr_save->start(int(timers.value(QStringLiteral("data_ms"), 200).toUInt()));

    // A termination signal writes what is waiting before the event loop ends, also when that
    // means waiting for the server to come back: those uplinks are acknowledged already. The
    // line saying so comes within the link time-out also while a run hangs on a silent link.
    if (!quit_hook)
        quit_hook = add_quit_hook([this] {
            // No save starts by itself from here on: what comes later is the destructor's.
            quitting = true;
            tmr_save->stop();
            save_due = false;
            // Said once a statement of the writer waits that long, or a run ends without the
            // database: a long catch-up of quick statements is no wait for the database.
            const qint64 bound = link_timeout_s * 500; // well within the time-out
            bool told = false;
            const auto tell = [&] {
                if (told || pending_rows() == 0) return;
                told = true;
                LOG_EXC << "quitting: waiting for the database to take" << pending_rows() << "rows";
            };
            for (bool first = true;; first = false) {
                while (!wait_for_run(told ? 1000 : qMax<qint64>(1, bound - writer_statement_age())))
                    if (writer_statement_age() >= bound) tell();
                if (pending_rows() == 0) return;
                if (!first && !run_more) {
                    tell();
                    QThread::msleep(1000);
                }
                save_run();
            }
        });

    // From the stop of the intake on, no command is numbered: its row would come after the last
    // save the quit waits for.
    if (!quit_input_hook)
        quit_input_hook = add_quit_hook([this] { commands_closed = true; }, quit_stage_stop_input);

    if (!writer.joinable()) {
        writer_wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (writer_wake_fd >= 0) {
            writer_wake = new QSocketNotifier(writer_wake_fd, QSocketNotifier::Read);
            connect(writer_wake, &QSocketNotifier::activated, this, [this] {
                uint64_t count = 0;
                (void)!::read(writer_wake_fd, &count, sizeof count);
                writer_back();
            });
        }
        // A standard thread: its end is seen by the thread checker at join.
        writer = std::thread([this] { writer_loop(); });
        writer_id = writer.get_id();
    }

    if (!loader) {
        loader = new SQL_loader(cfg);
        connect(this, &SQL_Exchange::signal_loader_req, loader, &SQL_loader::slot_loader_req,
                Qt::QueuedConnection);
        // One per uplink: straight into the loader's locked queue, without waking its thread.
        SQL_loader* l = loader;
        connect(
            this, &SQL_Exchange::signal_remove_tail, loader,
            [l](uint32_t modem_id) { l->queue_remove_tail(modem_id); }, Qt::DirectConnection);
        connect(loader, &SQL_loader::signal_loader_res, this, &SQL_Exchange::slot_loader_res,
                Qt::QueuedConnection);
    }
    return loader->isRunning();
}

int SQL_Exchange::pending_rows() const
{
    return cmd_batch.tuples.size() + pending_statuses.size() + data_batch.tuples.size() +
           event_batch.tuples.size() + setting_batch.tuples.size() + own_event_batch.tuples.size() +
           writer_rows;
}

QSqlDatabase& SQL_Exchange::conn()
{
    if (in_writer()) return writer_db;
    return db;
}

bool SQL_Exchange::writer_in_flight()
{
    std::lock_guard<std::mutex> lock(writer_mutex);
    return writer_busy;
}

void SQL_Exchange::writer_loop()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(writer_mutex);
            writer_cv.wait(
                lock, [this] { return writer_stop || writer_busy || (mark_job.handed && !mark_job.done); });
            if (!writer_busy && writer_stop) break;
        }
        if (writer_in_flight())
            writer_run();
        else
            writer_mark_only();
    }
    writer_db.close();
    writer_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("writer"));
}

void SQL_Exchange::writer_run()
{
    writer_alive_at = clock.elapsed(); // the connect counts as its first statement
    if (!writer_db.isValid()) writer_db = add_connection(cfg, QStringLiteral("writer"));
    const bool opened = open_connection(writer_db);
    if (!opened) last_error = writer_db.lastError();
    // Each run starts with the character set, as the main connection's: a reconnection of the
    // client library falls back to 3-byte utf8. This statement is also the probe of a link found
    // silent: its answer lets the main thread send statements again.
    bool ok = opened && (set_session_charset() || classify(last_error) == Error_class::refused);
    if (ok) run_numbering();
    ok = ok && store_run();
    {
        std::lock_guard<std::mutex> lock(writer_mutex);
        writer_open_failed = !opened;
        writer_reached = ok;
        writer_error = last_error;
        writer_busy = false;
        writer_result = true;
    }
    writer_cv.notify_all();
    // The main thread takes the run back at once (a tick may be waiting for it).
    const uint64_t one = 1;
    if (writer_wake_fd >= 0) (void)!::write(writer_wake_fd, &one, sizeof one);
}

void SQL_Exchange::writer_mark_only()
{
    // A mark between runs: the connection as a run finds it, then the one statement.
    writer_alive_at = clock.elapsed();
    if (!writer_db.isValid()) writer_db = add_connection(cfg, QStringLiteral("writer"));
    if (open_connection(writer_db)) {
        set_session_charset();
    } else {
        last_error = writer_db.lastError();
    }
    store_handed_mark();
}

void SQL_Exchange::run_numbering()
{
    numbering.run_work(run_numbers);
}

void SQL_Exchange::writer_back()
{
    // A tick may have handed out the next run meanwhile: this call must not wait for that one,
    // which on a silent link takes the whole time-out.
    wait_for_run(0);
    hand_mark(false);
    if ((save_due || run_more) && !quitting && !writer_in_flight()) {
        save_due = false;
        save_run();
    }
}

bool SQL_Exchange::wait_for_run(qint64 ms)
{
    if (!writer.joinable() || in_writer()) return true;
    {
        std::unique_lock<std::mutex> lock(writer_mutex);
        const auto ended = [this] { return !writer_busy; };
        if (ms < 0)
            writer_cv.wait(lock, ended);
        else if (!writer_cv.wait_for(lock, std::chrono::milliseconds(ms), ended))
            return false;
        if (!writer_result) return true;
        writer_result = false;
    }
    // The writer waits for the next hand-off: what it left is the main thread's now. Only the
    // main thread hands out runs: none started meanwhile.
    const bool open_failed = writer_open_failed;
    writer_open_failed = false;
    run_more = writer_reached && run_cut;
    take_back_run();
    numbering.take_back(run_numbers, writer_error.text());
    run_numbers = cmd_numbering::Work();
    const QSqlError error = last_error;
    last_error = writer_error;
    // A server that cannot be reached at all (a silent link ends the attempt only at the connect
    // time-out) is no reason to move the writes onto the main thread: that would stall it too.
    if (open_failed && classify(writer_error) != Error_class::connection) {
        // Readings must not wait for a connection the server will not grant (a per-account
        // limit): the main connection takes them meanwhile.
        if (!writer_down)
            LOG_ERR << "the writer's own database connection cannot be opened:"
                    << writer_error.nativeErrorCode() << writer_error.text()
                    << "; its rows go over the main connection, trying again every 10 s";
        writer_down = true;
        writer_retry_at = clock.elapsed() + 10000;
        last_error = error;
        return true;
    }
    if (writer_down) {
        writer_down = false;
        LOG_WRN << "the writer's own database connection is open again";
    }
    note_result(writer_reached);
    if (writer_reached) last_error = error;
    return true;
}

bool SQL_Exchange::go_unless_link_silent()
{
    if (in_writer()) return true;
    // A run that ended tells what it found of the link; one still out is not waited for.
    QElapsedTimer took;
    took.start();
    bool run_out = !wait_for_run(0);
    if (!db_away && run_out) {
        // A writer's statement past a healthy one's time may be lost in a silent link, and a
        // statement sent beside it would hang there on the main thread for a time-out of its
        // own, holding the outage's judgement back as long: this one waits for the writer's
        // instead, until it comes back or reaches the link time-out.
        const qint64 age = writer_statement_age();
        if (age >= writer_statement_healthy_ms && age < link_timeout_s * 1000)
            run_out = !wait_for_run(link_timeout_s * 1000 - age);
    }
    link_waits += took.elapsed();
    if (!db_away && run_out && writer_statement_age() >= link_timeout_s * 1000) {
        // A statement of the writer has not come back within the bound: the link is as good
        // as lost, whatever the client library's own reconnection still tries there.
        last_error = QSqlError(QStringLiteral("the database link is silent: the writer's statement has not "
                                              "come back within the link time-out"),
                               QString(), QSqlError::ConnectionError);
        note_reachable(false);
    }
    // A silent reconnection of the client library (the server closed an idle link, or restarted)
    // ran the session statement as its init command; its new socket still wants the keepalive.
    if (!db_away) {
        const unsigned long session = session_id(db);
        if (session != main_session) {
            main_session = session;
            if (session) set_keepalive(db);
        }
    }
    // Once a statement found the link silent or lost, the main thread sends none until a
    // statement of the writer (a run, or its probe) finds the server again: a request then never
    // waits for the link, however many statements it would make.
    if (!db_away) return true;
    last_error = QSqlError(QStringLiteral("the database link is silent or lost: the statement is not sent"),
                           QString(), QSqlError::ConnectionError);
    if (unsent_lines.pass())
        LOG_EXC << "the database link is silent or lost: the main thread sends no statement until the writer"
                << "finds the server again; rows waiting:" << pending_rows();
    return false;
}

void SQL_Exchange::note_main_statement(const QSqlError& error, bool answered, const QElapsedTimer& took,
                                       const QString& statement)
{
    // Either thread: what an outage's length counts from.
    if (answered || classify(error) != Error_class::connection) {
        link_answered_at = clock.elapsed();
        link_unanswered_from = -1;
    } else if (link_unanswered_from.load() < 0) {
        link_unanswered_from = clock.elapsed() - took.elapsed();
    }
    if (in_writer()) return;
    if (!answered && classify(error) == Error_class::connection) link_waits += took.elapsed();
    // Every such wait stalls the API and the uplinks' intake alike.
    if (took.elapsed() >= 1000)
        LOG_WRN << "the main thread waited" << took.elapsed()
                << "ms for the database:" << log_cut(statement, 200);
    // Only the writer finds the server back: an answer here comes from a link not known lost.
    if (answered || classify(error) != Error_class::connection || db_away) return;
    const QSqlError kept = last_error;
    last_error = error;
    note_reachable(false);
    last_error = kept;
}

bool SQL_Exchange::run(QSqlQuery& query, const QString& statement)
{
    if (starting && !in_writer()) return run_at_start(query, statement);
    if (!go_unless_link_silent()) return false;
    if (refused_busy(statement)) return false; // a table known locked elsewhere: not sent
    const bool writing = in_writer();
    if (writing) writer_alive_at = clock.elapsed();
    QElapsedTimer took;
    took.start();
    QSqlError error;
    const bool answered = exec_whole(query, statement, error);
    if (writing) writer_alive_at = clock.elapsed();
    note_main_statement(error, answered, took, statement);
    if (answered) return true;
    last_error = error;
    note_lock_bound(error, statement);
    return false;
}

bool SQL_Exchange::lock_bound(const QSqlError& error)
{
    return error.nativeErrorCode() == QLatin1String("1205");
}

QString SQL_Exchange::table_of(const QString& statement)
{
    static const QRegularExpression named(
        QStringLiteral("\\b(?:FROM|JOIN|INTO|UPDATE|TABLE)\\s+`?(?:\\w+`?\\.`?)?(\\w+)"),
        QRegularExpression::CaseInsensitiveOption);
    return named.match(statement).captured(1);
}

QString SQL_Exchange::busy_table_of(const QString& statement) const
{
    return busy_tables.busy(table_of(statement));
}

QString SQL_Exchange::busy_text(const QString& table)
{
    return QStringLiteral("database busy: %1 is locked elsewhere; try again shortly").arg(table);
}

void SQL_Exchange::remember_busy(const QString& table)
{
    if (table.isEmpty()) return;
    busy_tables.remember(table);
    if (busy_lines.pass())
        LOG_WRN << qPrintable(
            QStringLiteral("database busy: %1 is locked elsewhere: a read met the lock bound of "
                           "%2 s; reads of it fail at once for %3 s")
                .arg(table)
                .arg(lock_wait_s)
                .arg(busy_table_ms / 1000));
}

bool SQL_Exchange::refused_busy(const QString& statement)
{
    if (in_writer() || !Busy_tables::is_read(statement)) return false;
    const QString table = busy_table_of(statement);
    if (table.isEmpty()) return false;
    last_error = QSqlError(busy_text(table), QString(), QSqlError::StatementError);
    return true;
}

bool SQL_Exchange::note_lock_bound(const QSqlError& error, const QString& statement)
{
    if (in_writer() || !lock_bound(error)) return false;
    last_error = error;
    if (Busy_tables::is_read(statement)) remember_busy(table_of(statement));
    return true;
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

void SQL_Exchange::name_unwritten()
{
    name_rows({&cmd_batch, &data_batch, &event_batch, &setting_batch, &own_event_batch}, pending_statuses,
              "quitting: the database did not take");
}

void SQL_Exchange::name_rows(const QList<const Batch*>& batches, const QList<Pending_status>& statuses,
                             const QByteArray& what)
{
    const QString lost = QStringLiteral("; they are lost:");
    for (const Batch* batch : batches) {
        if (batch->tuples.isEmpty()) continue;
        // The row's time is one of its leading values, all plain numbers.
        uint32_t oldest = UINT32_MAX, newest = 0;
        for (const QString& t : batch->tuples) {
            int from = 1;
            for (int f = 0; f < batch->time_field && from > 0; ++f)
                from = t.indexOf(QLatin1String(", "), from) + 2;
            const uint32_t ts =
                from > 1 ? t.midRef(from, t.indexOf(QLatin1Char(','), from) - from).toUInt() : 0;
            oldest = qMin(oldest, ts);
            newest = qMax(newest, ts);
        }
        // Every row named by its leading id, never cut: these are the rows to recover by hand.
        const QString id_prefix = qstrcmp(batch->table, "modems_cmd") == 0 ? QStringLiteral("drvStrova5_")
                                                                           : QStringLiteral("modem_");
        QStringList ids;
        for (const QString& t : batch->tuples)
            ids << id_prefix + t.mid(1, t.indexOf(QLatin1Char(',')) - 1).trimmed();
        for (const QString& line : log_id_lines(ids))
            LOG_ERR << what.constData() << batch->tuples.size() << "rows of" << batch->table
                    << "with times from" << oldest << "to" << newest << qPrintable(lost) << qPrintable(line);
    }
    if (!statuses.isEmpty()) {
        QStringList named;
        for (const Pending_status& p : statuses)
            named << (p.status.cmd_id
                          ? QStringLiteral("drvStrova5_%1").arg(p.status.cmd_id)
                          : QStringLiteral("modem_%1:\"%2\"").arg(p.status.modem_id).arg(p.status.setting));
        for (const QString& line : log_id_lines(named))
            LOG_ERR << what.constData() << statuses.size() << "command statuses" << qPrintable(lost)
                    << qPrintable(line);
    }
}

void SQL_Exchange::check_intake()
{
    // The tables uplinks fill, with the rows the run in flight holds for them; the command table
    // has its own refusal (send_dl).
    const QPair<const char*, int> tables[] = {
        {data_batch.table, data_batch.tuples.size() + run_data_rows},
        {event_batch.table, event_batch.tuples.size() + run_event_rows},
        {setting_batch.table, setting_batch.tuples.size() + run_setting_rows},
        {"the statuses", pending_statuses.size() + run_status_rows}};
    const QPair<const char*, int>* fullest = &tables[0];
    for (const auto& t : tables)
        if (t.second > fullest->second) fullest = &t;
    const int reopen = int(qint64(pending_cap) * 9 / 10);
    if (intake_open && fullest->second >= pending_cap) {
        intake_open = false;
        LOG_WRN << "the database took nothing for too long:" << fullest->second << "rows of" << fullest->first
                << "wait (" << pending_rows() << "in all), at the cap of" << pending_cap
                << "; uplinks stay in the broker until fewer than" << reopen << "wait";
        emit signal_intake(false);
    } else if (!intake_open && fullest->second < reopen) {
        intake_open = true;
        LOG_WRN << "uplinks are taken again:" << fullest->second << "rows of" << fullest->first << "wait ("
                << pending_rows() << "in all)";
        emit signal_intake(true);
    }
}

bool SQL_Exchange::timed_out(const QElapsedTimer& took)
{
    return classify(last_error) == Error_class::connection && took.elapsed() >= (link_timeout_s - 1) * 1000;
}

bool SQL_Exchange::reconnect()
{
    // The client library reconnects on a statement once it has seen the link broken, which a
    // write into a connection the server just closed may only find out; this statement also
    // restores the charset. Not twice on a silent link: each try waits the whole time-out.
    QElapsedTimer took;
    took.start();
    return set_session_charset() ||
           (classify(last_error) == Error_class::connection && !timed_out(took) && set_session_charset());
}

SQL_Exchange::Outcome SQL_Exchange::attempt(QSqlQuery& query, const QString& statement)
{
    QElapsedTimer took;
    took.start();
    if (run(query, statement)) return Outcome::written;
    // A statement that waited out the time-out met a silent link: a reconnection now would wait
    // as long again. The link counts as lost; the next run tries it.
    if (timed_out(took)) return Outcome::away;
    // A lost link (also a statement beyond max_allowed_packet, after which the server closes
    // the connection) needs a fresh connection before anything else is sent.
    const Error_class kind = classify(last_error);
    if (kind == Error_class::refused) return Outcome::refused;
    if (kind == Error_class::passing) return Outcome::passing;
    const QSqlError error = last_error;
    if (!reconnect()) return Outcome::away;
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
    if (!batch.tuples.isEmpty()) run_table = batch.table;
    QSqlQuery q(conn());
    while (!batch.tuples.isEmpty()) {
        if (run_spent()) return true; // the rest in the next run
        if (batch.singles > 0) {
            if (!write_single(batch, q)) return false;
            continue;
        }
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
            if (i) statement += QLatin1String(", ");
            statement += batch.tuples.at(i);
        }
        const qint64 step_from = clock.elapsed();
        Outcome outcome = attempt_chunk(q, statement, rows, batch.in_doubt);
        run_stepped(step_from, outcome == Outcome::written);
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
            run_stepped(step_from, true);
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

        // Find the rows the server refuses or drops the connection for, keep the others: one at a
        // time, each a step of the run.
        LOG_EXC << last_error.text() << "in a statement of" << rows << "rows for" << batch.table
                << "; writing them one by one";
        batch.singles = rows;
        batch.in_doubt = 0;
    }
    batch.splitting = false;
    return true;
}

bool SQL_Exchange::write_single(Batch& batch, QSqlQuery& q)
{
    const QString single = batch.prefix + batch.tuples.first();
    const qint64 step_from = clock.elapsed();
    const Outcome outcome = attempt_chunk(q, single, 1, batch.in_doubt);
    if (outcome == Outcome::away || outcome == Outcome::passing) return false; // it stays at the head
    if (outcome == Outcome::dropped)
        LOG_EXC << "row lost, it drops the connection:" << last_error.text() << log_cut(single);
    else if (outcome == Outcome::refused)
        LOG_EXC << "row lost:" << last_error.text() << log_cut(single);
    batch.tuples.removeFirst();
    --batch.singles;
    batch.in_doubt = 0; // each row of them goes with a doubt of its own
    run_stepped(step_from, true);
    return true;
}

QString SQL_Exchange::session_statement()
{
    // utf8mb4: the driver asks for 3-byte utf8 when the client library reports a MariaDB version
    // number, and any text with a 4-byte character would be refused.
    // Lock waits: a row lock held elsewhere stalls a statement (and the main thread) for at most
    // 5 s, a table's lock (LOCK TABLES, a waiting ALTER TABLE) for lock_wait_s, before the error
    // comes back as a passing state; the server's own bound for the latter is a year.
    // sql_mode: the server's own, less the modes that change how a quoted text is read
    // (NO_BACKSLASH_ESCAPES; ANSI_QUOTES, also implied by ANSI), because sql_text escapes with
    // backslashes and quotes with single quotes.
    return QStringLiteral(
               "SET NAMES utf8mb4, SESSION innodb_lock_wait_timeout = 5, SESSION lock_wait_timeout = "
               "%1, SESSION sql_mode = TRIM(BOTH ',' FROM REPLACE(REPLACE(REPLACE(CONCAT(',', "
               "@@GLOBAL.sql_mode, ','), ',NO_BACKSLASH_ESCAPES,', ','), ',ANSI_QUOTES,', ','), "
               "',ANSI,', ','))")
        .arg(lock_wait_s);
}

int SQL_Exchange::has_column(const QString& table, const QString& column)
{
    QSqlQuery q(db);
    if (run(q, QStringLiteral("SHOW COLUMNS FROM `%1` LIKE %2").arg(table, sql_text(column))))
        return q.next() ? 1 : 0;
    return last_error.nativeErrorCode() == QLatin1String("1146") ? 0 : -1; // 1146: no such table
}

bool SQL_Exchange::run_at_start(QSqlQuery& query, const QString& statement)
{
    QElapsedTimer waited;
    waited.start();
    qint64 said_at = -1;
    for (;;) {
        QSqlError error;
        const bool answered = exec_whole(query, statement, error);
        if (answered) {
            if (said_at >= 0)
                LOG_WRN << "start: answered after" << waited.elapsed() / 1000
                        << "s of waiting:" << log_cut(statement, 200);
            return true;
        }
        // No outage is judged here: a link lost at start is tried again, and the writer's first
        // run judges the link as ever.
        last_error = error;
        const bool locked = lock_bound(error);
        if (!locked && !(start_reads && classify(error) != Error_class::refused)) return false;
        if (said_at < 0 || waited.elapsed() - said_at >= 10000) {
            said_at = waited.elapsed();
            // CREATE TABLE IF NOT EXISTS names its table after the condition.
            const QString table =
                table_of(QString(statement).remove(QStringLiteral("IF NOT EXISTS "), Qt::CaseInsensitive));
            if (locked)
                LOG_WRN << qPrintable(QStringLiteral("start: %1 is locked elsewhere; the start waits for it "
                                                     "(%2 s so far): %3")
                                          .arg(table)
                                          .arg(waited.elapsed() / 1000)
                                          .arg(log_cut(statement, 200)));
            else
                LOG_WRN << qPrintable(QStringLiteral("start: %1 not read: %2 %3; tried again until it is "
                                                     "(%4 s so far): %5")
                                          .arg(table, error.nativeErrorCode(), error.text())
                                          .arg(waited.elapsed() / 1000)
                                          .arg(log_cut(statement, 200)));
        }
        // A lock wait took its bound already; a lost link is given a moment before the client
        // library connects again.
        if (quit_requested_within(locked ? 0 : 1000)) {
            last_error = QSqlError(QStringLiteral("a termination signal ended the start"), QString(),
                                   QSqlError::UnknownError);
            return false;
        }
    }
}

bool SQL_Exchange::set_session_charset()
{
    // The first statement of a run also carries a reconnection. On the main connection it is the
    // statement a new session waits for (go_unless_link_silent): not sent again before itself,
    // nor after a reconnection it carried.
    const bool main = !in_writer();
    if (main) main_session = session_id(db);
    QSqlQuery q(conn());
    if (!run(q, session_statement())) return false;
    if (main) main_session = session_id(db);
    set_keepalive(conn());
    return true;
}

void SQL_Exchange::slot_tmr_save()
{
    // Everything waiting, run after run, unless one ends without the database.
    do {
        save_run();
        wait_for_run(-1);
    } while (run_more);
}

void SQL_Exchange::save_run()
{
    wait_for_run(-1);
    run_more = false;
    // While the link is lost an empty run probes it every link time-out, so that the main thread
    // sends statements again also when nothing waits to be written.
    const bool probe =
        db_away && writer.joinable() && clock.elapsed() - run_started_at >= link_timeout_s * 1000;
    if (!pending_rows() && !probe && !numbering.has_work()) return;
    check_intake();
    if (passing_until > clock.elapsed()) return; // the server is in a passing state: the pause first
    take_run();
    run_started_at = clock.elapsed();
    // While the writer's own connection cannot be had, the run goes over this one.
    if (!writer.joinable() || clock.elapsed() < writer_retry_at) {
        bool reached = set_session_charset() || classify(last_error) == Error_class::refused;
        if (reached) run_numbering();
        reached = reached && store_run();
        run_more = reached && run_cut;
        take_back_run();
        numbering.take_back(run_numbers, last_error.text());
        run_numbers = cmd_numbering::Work();
        note_result(reached);
        return;
    }
    statuses_out = !run_statuses.isEmpty();
    writer_alive_at = clock.elapsed(); // a run handed out is young until the writer says otherwise
    {
        std::lock_guard<std::mutex> lock(writer_mutex);
        writer_busy = true;
    }
    writer_cv.notify_all();
}

void SQL_Exchange::take_run()
{
    for (auto pair : {qMakePair(&run_cmd, &cmd_batch), qMakePair(&run_data, &data_batch),
                      qMakePair(&run_event, &event_batch), qMakePair(&run_setting, &setting_batch),
                      qMakePair(&run_own_event, &own_event_batch)}) {
        pair.first->in_doubt = pair.second->in_doubt;
        pair.first->singles = pair.second->singles;
        pair.first->tuples.swap(pair.second->tuples);
    }
    run_statuses.swap(pending_statuses);
    run_numbers = numbering.take_work();
    // Every command numbered so far is among the rows written before the statuses look.
    run_counter = numbering.counter();
    run_reported = reported_at;
    run_cmd_rows = run_cmd.tuples.size();
    run_data_rows = run_data.tuples.size();
    run_event_rows = run_event.tuples.size();
    run_setting_rows = run_setting.tuples.size();
    run_status_rows = run_statuses.size();
    run_own_rows = run_own_event.tuples.size();
    writer_rows =
        run_cmd_rows + run_status_rows + run_data_rows + run_event_rows + run_setting_rows + run_own_rows;
    // At quit, shared copies of what the run holds, to name should it not come back (the
    // writer's changes then copy its lists, so not before).
    if (quitting) held = Held{run_cmd, run_data, run_event, run_setting, run_own_event, run_statuses};
}

void SQL_Exchange::run_stepped(qint64 from, bool took)
{
    run_step_ms = clock.elapsed() - from;
    if (took) ++run_progress;
}

bool SQL_Exchange::run_spent()
{
    // Between two statements of the run: a mark handed meanwhile goes first.
    if (in_writer()) store_handed_mark();
    // The next step is expected to take as long as the last: the run ends before the budget
    // would be overrun, not after.
    if (run_progress == 0 || clock.elapsed() + run_step_ms < run_deadline) return false;
    run_cut = true;
    return true;
}

bool SQL_Exchange::store_run()
{
    // The order matters: statuses find the command rows written first, and the settings the
    // statuses leave go out with the settings of the same run. A lost connection ends the run;
    // everything waits for the next one in the same order. So does the end of the run's share
    // of time, so that a catch-up of hours of rows keeps the server's attention for the main
    // thread's statements and never looks like a silent link.
    run_cut = false;
    run_progress = 0;
    run_step_ms = 0;
    run_table = nullptr;
    run_deadline = clock.elapsed() + run_budget_ms;
    bool reached = write_batch(run_cmd);
    if (!reached || run_cut) return reached;
    // In groups, so that each statement stays well inside a packet; a group sees what the
    // groups before it wrote.
    if (status_group < 5000 && clock.elapsed() - status_split_at > split_hold_ms) status_group = 5000;
    while (reached && !run_statuses.isEmpty()) {
        if (run_spent()) return true;
        run_table = run_cmd.table;
        // What is left of a refused group goes one status at a time, each a step of its own.
        const int count = status_singles > 0 ? 1 : qMin(run_statuses.size(), status_group);
        const int before = run_statuses.size();
        const qint64 step_from = clock.elapsed();
        reached = apply_statuses(count);
        const int applied = before - run_statuses.size();
        if (applied > 0) status_singles = qMax(0, status_singles - applied);
        run_stepped(step_from, applied > 0);
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
    if (!reached) return false;
    for (Batch* batch : {&run_data, &run_event, &run_setting, &run_own_event}) {
        if (!write_batch(*batch)) return false;
        if (run_cut) return true;
    }
    return true;
}

void SQL_Exchange::take_back_run()
{
    int left = run_statuses.size();
    for (const Batch* b : {&run_cmd, &run_data, &run_event, &run_setting, &run_own_event})
        left += b->tuples.size();
    rows_run_took = qMax(0, writer_rows - left);
    for (auto pair : {qMakePair(&run_cmd, &cmd_batch), qMakePair(&run_data, &data_batch),
                      qMakePair(&run_event, &event_batch), qMakePair(&run_setting, &setting_batch),
                      qMakePair(&run_own_event, &own_event_batch)}) {
        pair.first->tuples.append(pair.second->tuples);
        pair.second->tuples.swap(pair.first->tuples);
        pair.first->tuples.clear();
        pair.second->in_doubt = pair.first->in_doubt;
        pair.second->singles = pair.first->singles;
    }
    run_statuses.append(pending_statuses);
    pending_statuses.swap(run_statuses);
    run_statuses.clear();
    writer_rows = run_cmd_rows = run_data_rows = run_event_rows = run_setting_rows = run_status_rows =
        run_own_rows = 0;
    held = Held();
    // What the run wrote is no longer waiting; what it brought back may fold with later rows.
    if (!own_event_keys.isEmpty()) {
        own_event_keys.clear();
        QStringList kept;
        for (const QString& t : qAsConst(own_event_batch.tuples)) {
            const QString key = own_event_key(t);
            if (own_event_keys.contains(key)) continue;
            own_event_keys.insert(key);
            kept << t;
        }
        own_event_batch.tuples.swap(kept);
    }
    if (own_event_batch.tuples.isEmpty()) own_event_lines.end(); // the count of what was dropped
    // The settings the run's statuses left are stored (their rows went with the statuses); one
    // an uplink reported after the status came is newer and stays.
    if (RAM_modems* ram = RAM_modems::instance)
        for (const Registry_setting& s : qAsConst(run_settings))
            if (reported_at.value(qMakePair(s.modem_id, s.key)) <= s.seq)
                ram->slot_set_setting(s.modem_id, s.key, s.value, false);
    run_settings.clear();
    run_reported.clear();
    statuses_out = false;
    if (pending_statuses.isEmpty()) reported_at.clear(); // no status left that a setting could be newer than
    check_intake();
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
    // Said when it starts and once a minute while it lasts: a lock a DBA forgot shows in the log.
    const qint64 now = outage_now();
    if (!passing_pause_ms) passing_since = now;
    if (!passing_pause_ms || now - passing_said_at >= 60000) {
        passing_said_at = now;
        LOG_EXC << "the database is in a passing state:" << last_error.nativeErrorCode().toInt()
                << last_error.text() << "on" << (run_table ? run_table : "the session")
                << "; rows waiting:" << pending_rows() << "; for" << (now - passing_since) / 1000
                << "s; trying again with growing pauses";
    }
    passing_pause_ms = passing_pause_ms ? qMin(passing_pause_ms * 2, 10000) : 200;
    passing_until = clock.elapsed() + passing_pause_ms;
}

qint64 SQL_Exchange::link_silent_for() const
{
    // A statement without an answer says when the silence began (the one still out on a silent
    // link: the writer's); never before the last answer.
    const qint64 unanswered = link_unanswered_from.load();
    const qint64 from = qMax(link_answered_at.load(), unanswered >= 0 ? unanswered : writer_alive_at.load());
    return qMax<qint64>(0, clock.elapsed() - from);
}

void SQL_Exchange::note_reachable(bool reached)
{
    if (!reached && !db_away) {
        db_away = true;
        away_reason = last_error.text();
        away_said_at = outage_now();
        away_since = away_said_at - link_silent_for();
        LOG_EXC << "database not reachable:" << away_reason << "; rows waiting:" << pending_rows();
    } else if (!reached) {
        if (!last_error.text().isEmpty()) away_reason = last_error.text();
        repeat_outage_line();
    } else if (db_away) {
        db_away = false;
        // The rows that waited when the link came back, not what the first run back left of them.
        LOG_WRN << "database reachable again after" << (outage_now() - away_since) / 1000
                << "s; rows waiting:" << pending_rows() + rows_run_took
                << qPrintable(
                       QStringLiteral("(%1 still waiting after the first run back)").arg(pending_rows()));
        read_lines.end();
        unsent_lines.end();
    }
}

void SQL_Exchange::repeat_outage_line()
{
    // What an operator on call needs while it lasts: that it still does, and how much waits.
    if (!db_away || outage_now() - away_said_at < 60000) return;
    away_said_at = outage_now();
    LOG_EXC << "database not reachable:" << away_reason << "; rows waiting:" << pending_rows() << "; for"
            << (away_said_at - away_since) / 1000 << "s";
}

bool SQL_Exchange::get_pending_settings(QMap<uint32_t, QVariantMap>& out)
{
    out.clear();
    // Before the event loop, so on its own terms: a piece whose link fails is sent again on the
    // client library's new session, not held back as the running daemon's reads are.
    starting = start_reads = true;
    bool whole = true;
    QString select;
    uint32_t after_modem = 0;
    QString after_setting;
    for (bool first = true;; first = false) {
        // The next piece from the last key read on: one range of the primary key, whatever the
        // size of the table.
        select = QStringLiteral("SELECT modem_id, `setting`, `data` FROM modems_setting WHERE `state` = 0 ");
        if (!first)
            select += QStringLiteral("AND (modem_id > %1 OR (modem_id = %1 AND `setting` > %2)) ")
                          .arg(after_modem)
                          .arg(sql_text(after_setting));
        select += QStringLiteral("ORDER BY modem_id, `setting` LIMIT %1").arg(settings_piece_rows);
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!run(q, select)) {
            whole = false;
            break;
        }
        int rows = 0;
        while (q.next()) {
            ++rows;
            after_modem = q.value(0).toUInt();
            after_setting = text_of(q.value(1));
            out[after_modem].insert(after_setting, setting_from_text(q.value(2)));
        }
        if (rows < settings_piece_rows) break;
    }
    starting = start_reads = false;
    // A session the library opened again meanwhile wants the keepalive on its new socket.
    main_session = session_id(db);
    set_keepalive(db);
    if (whole) return true;
    if (!quit_signal_number())
        LOG_EXC << "the stored settings cannot be read:" << last_error.nativeErrorCode() << last_error.text()
                << log_cut(select, 300);
    out.clear();
    return false;
}

void SQL_Exchange::slot_loader_req(uint32_t modem_id, uint8_t type, uint32_t limit)
{
    if (limit >= 2) emit signal_loader_req(modem_id, type, limit);
}

void SQL_Exchange::slot_remove_tail(uint32_t modem_id)
{
    emit signal_remove_tail(modem_id);
}

void SQL_Exchange::slot_loader_res(uint32_t modem_id, uint8_t type, QMap<uint32_t, uint32_t> arch_indexes)
{
    RAM_modems* ram = RAM_modems::instance;
    modem_record* modem = ram ? ram->find_modem(modem_id) : nullptr;
    if (!modem) return; // the modem left the registry meanwhile
    arch_index* aix = type == 14 ? &modem->aix_day : type == 15 ? &modem->aix_hour : nullptr;
    if (aix) {
        for (auto it = arch_indexes.cbegin(); it != arch_indexes.cend(); ++it)
            aix->indexes.insert(it.key(), it.value());
        aix->is_loaded = true;
    }
    emit signal_modem_index_updated(modem_id);
}
