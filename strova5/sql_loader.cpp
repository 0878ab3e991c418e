// Storage's worker thread: archive-index loading and profile tail removal.
#include "sql_loader.h"

#include "logger.h"
#include "sql_exchange.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>

namespace {
const QString loader_connect = QStringLiteral("loader");

// "15, 14, 13, 0-11" for the kinds 15, 14, 13, 0, 1, ... 11: one event type after another.
QString runs_of(const QStringList& kinds)
{
    QStringList out;
    for (int i = 0; i < kinds.size();) {
        bool number = false;
        const int first = kinds[i].toInt(&number);
        int j = i + 1;
        while (number && j < kinds.size() && kinds[j] == QString::number(first + (j - i)))
            ++j;
        out << (j - i > 2 ? QStringLiteral("%1-%2").arg(kinds[i], kinds[j - 1]) : kinds[i]);
        if (j - i == 2) out << kinds[i + 1];
        i = j;
    }
    return out.join(QStringLiteral(", "));
}
} // namespace

SQL_loader::SQL_loader(QVariantMap cfg_, int reopen_ms_)
    : QThread(nullptr), cfg(std::move(cfg_)), reopen_ms(reopen_ms_)
{
    // The names the signals and slots are declared with, for queued calls and spies by name.
    qRegisterMetaType<uint8_t>("uint8_t");
    qRegisterMetaType<QMap<uint32_t, uint32_t>>("QMap<uint32_t,uint32_t>");
    qRegisterMetaType<QMap<uint32_t, uint32_t>>("QMap<uint,uint>");
    // The slots run in the thread itself; its owner lives in the main thread.
    moveToThread(this);
    start();
}

SQL_loader::~SQL_loader()
{
    // The owner has stopped the thread already; this only covers a thread that was never waited for.
    quit();
    wait();
    std::lock_guard<std::mutex> ended(tail_mutex);
}

uint8_t SQL_loader::stored_type_of_kind(uint8_t kind)
{
    switch (kind) {
    case 14:
        return 68;
    case 15:
        return 66;
    default:
        return kind;
    }
}

void SQL_loader::set_log_clock(std::function<qint64()> monotonic_ms)
{
    for (log_limiter* l :
         {&open_lines, &session_lines, &failed_lines, &locked_lines, &dropped_loads, &dropped_tails})
        l->set_clock(monotonic_ms);
}

void SQL_loader::run()
{
    QTimer sec;
    QTimer reopen;
    tmr_sec = &sec;
    tmr_reopen = &reopen;
    connect(&sec, &QTimer::timeout, this, &SQL_loader::slot_timer_sec, Qt::QueuedConnection);
    connect(&reopen, &QTimer::timeout, this, &SQL_loader::try_open);

    db = SQL_Exchange::add_connection(cfg, loader_connect);
    try_open();

    // The event loop runs also without a connection: the attempts go on, and requests that
    // arrive meanwhile are answered (dropped) instead of piling up in the queue.
    exec();

    sec.stop();
    reopen.stop();
    tmr_sec = nullptr;
    tmr_reopen = nullptr;
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(loader_connect);
    // QThread::wait() hands the thread's end over by Qt's own lock; this one the thread checker
    // sees (the destructor takes it too), so that what the thread wrote counts as seen.
    std::lock_guard<std::mutex> ended(tail_mutex);
}

void SQL_loader::try_open()
{
    if (db.isOpen()) return;
    if (!SQL_Exchange::open_connection(db)) {
        if (open_lines.pass()) LOG_EXC << "can't open db_loader" << db.lastError().text();
        open_failed = true;
        if (!tmr_reopen->isActive()) tmr_reopen->start(reopen_ms);
        return;
    }
    tmr_reopen->stop();
    open_failed = false;
    open_lines.end();
    dropped_loads.end();
    dropped_tails.end();
    LOG_WRN << "db_loader open";
    tmr_sec->start(1000);
    std::lock_guard<std::mutex> lock(tail_mutex);
    if (!removals.isEmpty()) queue_piece();
}

bool SQL_loader::begin_run()
{
    QSqlQuery q(db);
    if (q.exec(SQL_Exchange::session_statement())) {
        // The statement may have reconnected: the new socket gets its keepalive too.
        SQL_Exchange::set_keepalive(db);
        if (session_lines.end()) LOG_WRN << "db_loader session set again";
        return true;
    }
    if (session_lines.pass()) LOG_ERR << "db_loader session not set:" << q.lastError().text();
    return false;
}

bool SQL_loader::statement_failed(const QSqlError& error, const QString& statement)
{
    // A table locked elsewhere passes: its work stays and is tried again, said once a minute.
    if (SQL_Exchange::lock_bound(error)) {
        if (locked_lines.pass())
            LOG_WRN << "db_loader:" << qPrintable(SQL_Exchange::table_of(statement))
                    << "is locked elsewhere, its work waits:" << qPrintable(error.databaseText());
        return true;
    }
    if (failed_lines.pass()) LOG_ERR << error.text() << statement;
    return false;
}

void SQL_loader::slot_loader_req(uint32_t modem_id, uint8_t type, uint32_t limit)
{
    if (!db.isOpen()) {
        if (dropped_loads.pass()) LOG_DBG << "db_loader not open: index load dropped" << modem_id << type;
        return;
    }
    if (!mutex.try_lock_for(std::chrono::milliseconds(1000))) return; // the controller asks again with a later uplink
    const QString templ =
        QStringLiteral("SELECT ts, `type`, `index` FROM modems_data WHERE modem_id in (%1) AND `type` "
                       "in (%2) AND `ts_get` > 0 order by ts desc limit %3 ");
    LOG_TRC << templ;
    const QString select = templ.arg(modem_id).arg(stored_type_of_kind(type)).arg(limit);
    if (!begin_run()) {
        mutex.unlock();
        return;
    }
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(select)) {
        statement_failed(q.lastError(), select);
        mutex.unlock();
        return;
    }
    // Newest first: each index keeps the time of its newest record; a repeated index means the
    // ring has wrapped, and everything older belongs to an earlier turn.
    QMap<uint32_t, uint32_t> arch_indexes;
    while (q.next()) {
        const uint32_t index = q.value(2).toUInt();
        if (arch_indexes.contains(index)) {
            LOG_ERR << "break load" << modem_id << "size:" << arch_indexes.size() << "index:" << index;
            break;
        }
        arch_indexes.insert(index, q.value(0).toUInt());
    }
    emit signal_loader_res(modem_id, type, arch_indexes);
    mutex.unlock();
}

void SQL_loader::slot_remove_tail(uint32_t modem_id)
{
    queue_remove_tail(modem_id);
}

void SQL_loader::queue_remove_tail(uint32_t modem_id)
{
    if (open_failed) {
        if (dropped_tails.pass()) LOG_DBG << "db_loader not open: remove_tail dropped" << modem_id;
        return;
    }
    std::lock_guard<std::mutex> lock(tail_mutex);
    if (!remove_tail_queued.contains(modem_id)) {
        remove_tail_queued.insert(modem_id);
        remove_tail_queue.append(modem_id);
    }
}

void SQL_loader::queue_remove_old(const QString& key, const QList<Removal_part>& parts, uint32_t cut)
{
    if (parts.isEmpty()) return;
    std::lock_guard<std::mutex> lock(tail_mutex);
    for (Removal& r : removals) {
        if (r.key != key) continue;
        r.cut = cut;
        return;
    }
    removals << Removal{key, parts, cut};
    queue_piece();
}

int SQL_loader::removals_waiting()
{
    std::lock_guard<std::mutex> lock(tail_mutex);
    return removals.size();
}

void SQL_loader::hold_removals(bool hold)
{
    std::lock_guard<std::mutex> lock(tail_mutex);
    removals_held = hold;
    if (!hold && !removals.isEmpty()) queue_piece();
}

void SQL_loader::queue_piece()
{
    if (piece_queued || removals_held) return;
    piece_queued = true;
    QMetaObject::invokeMethod(this, &SQL_loader::slot_remove_piece, Qt::QueuedConnection);
}

void SQL_loader::slot_remove_piece()
{
    Removal r;
    {
        std::lock_guard<std::mutex> lock(tail_mutex);
        piece_queued = false;
        // An opened connection (the end of a hold) asks again.
        if (removals.isEmpty() || !db.isOpen() || removals_held) return;
        r = removals.first();
    }
    if (!mutex.try_lock_for(std::chrono::milliseconds(1000))) {
        std::lock_guard<std::mutex> lock(tail_mutex);
        queue_piece();
        return;
    }
    if (!pass.took.isValid()) pass.took.start();
    Removal_part p = r.parts.first();
    bool done = false, locked = false;
    qint64 removed = 0;
    const bool failed = !begin_run() || !remove_piece(p, r.cut, done, removed, locked);
    pass.rows[p.table] += removed;
    mutex.unlock();

    std::lock_guard<std::mutex> lock(tail_mutex);
    if (removals.isEmpty() || removals.first().key != r.key) return;
    Removal& head = removals.first();
    head.parts.first() = p;
    // A table locked elsewhere keeps the piece at the head, tried again after a pause: nothing
    // of the pass is dropped. Another failure ends the pass: the retention timer starts the next.
    if (failed && locked) {
        if (!piece_queued) {
            piece_queued = true;
            QTimer::singleShot(locked_retry_ms, this, &SQL_loader::slot_remove_piece);
        }
        return;
    }
    if (failed) pass.failed = true;
    if (!failed && done) head.parts.removeFirst();
    if (failed || head.parts.isEmpty()) {
        if (!pass.kinds.contains(head.key)) pass.kinds << head.key;
        removals.removeFirst();
    }
    if (!removals.isEmpty())
        queue_piece();
    else
        end_pass();
}

bool SQL_loader::remove_piece(Removal_part& p, uint32_t cut, bool& done, qint64& removed, bool& locked)
{
    QSqlQuery q(db);
    const auto run = [&](const QString& statement) {
        if (q.exec(statement)) return true;
        locked = statement_failed(q.lastError(), statement);
        return false;
    };
    const QString older = QStringLiteral("`type` = %1 AND `ts` < %2").arg(p.type).arg(cut);
    // A kind without rows to remove (most event types, most of the time) costs one look on the
    // (type, ts) key instead of a walk over every modem.
    if (!p.checked) {
        if (!run(QStringLiteral("SELECT 1 FROM %1 WHERE %2%3 LIMIT 1").arg(p.table, older, p.extra)))
            return false;
        p.checked = true;
        if (!q.next()) {
            done = true;
            return true;
        }
    }
    // The next modems with such rows, each found by one descent of the primary key: the page the
    // removal needs next. The extra condition is left to the removal, where the key serves it.
    if (!run(
            QStringLiteral("SELECT modem_id, MIN(`ts`) FROM %1 WHERE modem_id >= %2 AND %3 GROUP BY modem_id "
                           "ORDER BY modem_id LIMIT %4")
                .arg(p.table)
                .arg(p.modem)
                .arg(older)
                .arg(p.modems)))
        return false;
    QStringList modems;
    uint32_t last = 0;
    while (q.next()) {
        last = q.value(0).toUInt();
        modems << QString::number(last);
    }
    if (modems.isEmpty()) {
        done = true;
        return true;
    }
    const int limit = removal_piece - 1;
    if (!run(QStringLiteral("DELETE FROM %1 WHERE modem_id IN (%2) AND %3%4 LIMIT %5")
                 .arg(p.table, modems.join(QLatin1Char(',')), older, p.extra)
                 .arg(limit)))
        return false;
    removed = q.numRowsAffected();
    if (removed >= limit) {
        // More than a piece's rows: the same modems again, fewer of them, until they are done.
        p.modems = qMax(1, modems.size() / 2);
        return true;
    }
    // Aim the next piece at half the bound: rows a modem vary from modem to modem.
    p.modems =
        int(qBound<qint64>(1, qint64(modems.size()) * (removal_piece / 2) / qMax<qint64>(1, removed), 2000));
    if (last == UINT32_MAX) {
        done = true;
        return true;
    }
    p.modem = last + 1;
    return true;
}

void SQL_loader::end_pass()
{
    qint64 total = 0;
    QStringList tables;
    for (auto it = pass.rows.cbegin(); it != pass.rows.cend(); ++it) {
        total += it.value();
        tables << QStringLiteral("%1 %2").arg(it.key()).arg(it.value());
    }
    LOG_WRN << qPrintable(
        QStringLiteral("retention pass %1 in %2 s: %3 rows removed (kinds %4; %5)")
            .arg(pass.failed ? QStringLiteral("ended by a failed statement") : QStringLiteral("done"))
            .arg(double(pass.took.elapsed()) / 1000.0, 0, 'f', 1)
            .arg(total)
            .arg(runs_of(pass.kinds), tables.join(QStringLiteral(", "))));
    pass = Pass_report();
}

void SQL_loader::slot_timer_sec()
{
    if (tails_locked.isValid() && tails_locked.elapsed() < locked_retry_ms) return;
    if (!mutex.try_lock_for(std::chrono::milliseconds(1))) return;
    uint32_t modem_id = 0;
    bool queued = false;
    {
        std::lock_guard<std::mutex> lock(tail_mutex);
        if (!remove_tail_queue.isEmpty() && db.isOpen()) {
            modem_id = remove_tail_queue.takeFirst();
            remove_tail_queued.remove(modem_id);
            queued = true;
        }
    }
    if (!queued) {
        mutex.unlock();
        return;
    }
    const QVariantMap timers = cfg.value(QStringLiteral("timers")).toMap();
    LOG_DBG << "modem for remove_tail" << modem_id;

    static const struct
    {
        const char* key;
        uint8_t type;
    } profiles[] = {
        {"remove_profile_hour_d", 66}, {"remove_profile_day_d", 68}, {"remove_profile_other_d", 70}};
    const QString templ = QStringLiteral(
        "DELETE FROM modems_data WHERE modem_id in (%1) AND `type` in (%2) AND ts < %3 order by ts desc ");
    if (!begin_run()) {
        // Back to the head of the queue for the next tick.
        std::lock_guard<std::mutex> lock(tail_mutex);
        if (!remove_tail_queued.contains(modem_id)) {
            remove_tail_queued.insert(modem_id);
            remove_tail_queue.prepend(modem_id);
        }
        mutex.unlock();
        return;
    }
    QSqlQuery q(db);
    for (const auto& p : profiles) {
        const int64_t days = timers.value(QLatin1String(p.key)).toUInt();
        if (days == 0) continue;
        // In 64 bits: a period reaching back before 1970 has nothing older than it.
        const int64_t cut = QDateTime::currentSecsSinceEpoch() - days * 86400;
        if (cut <= 0) continue;
        const QString del = templ.arg(modem_id).arg(p.type).arg(cut);
        if (!q.exec(del)) {
            // Locked elsewhere: the modem goes back to the head of the queue for a later tick.
            if (statement_failed(q.lastError(), del)) {
                tails_locked.start();
                std::lock_guard<std::mutex> lock(tail_mutex);
                if (!remove_tail_queued.contains(modem_id)) {
                    remove_tail_queued.insert(modem_id);
                    remove_tail_queue.prepend(modem_id);
                }
            }
            break;
        }
    }
    mutex.unlock();
}
