// Storage: command requests, their numbers and their states.
#include "log_limiter.h"
#include "logger.h"
#include "parser_strova5.h"
#include "radio_exchange.h"
#include "ram_modems.h"
#include "sql_exchange.h"

#include <QDateTime>
#include <QSqlQuery>
#include <algorithm>

namespace {
uint32_t now_s()
{
    return uint32_t(QDateTime::currentSecsSinceEpoch());
}

RAM_modems* registry_with(const char* no_db_name)
{
    RAM_modems* ram = RAM_modems::instance;
    return ram && ram->is_no_db(QLatin1String(no_db_name)) ? ram : nullptr;
}
} // namespace

Stringify_dl_app SQL_Exchange::encode(const Dl_request& request, const QStringList& rights)
{
    return parser_strova5::stringify_dl_app(request, rights);
}

QString SQL_Exchange::cmd_state_text(uint32_t state)
{
    switch (state) {
    case 2: return QStringLiteral("WAIT_DATA");
    case 3: return QStringLiteral("DONE");
    case 4: return QStringLiteral("FAILED");
    default: return QStringLiteral("PENDING");
    }
}

QString SQL_Exchange::cmd_tuple(const Stringify_dl_app& cmd, uint32_t stored_state)
{
    const QString data = cmd.data.isNull() ? QStringLiteral("NULL") : sql_text(json_or_text(cmd.data));
    return QLatin1Char('(') + QString::number(cmd.cmd_id) + QLatin1String(", ") + QString::number(cmd.modem_id) +
           QLatin1String(", ") + QString::number(cmd.ts) + QLatin1String(", ") + sql_text(cmd.setting) +
           QLatin1String(", ") + QString::number(stored_state) + QLatin1String(", ") + data + QLatin1Char(')');
}

QVariantMap SQL_Exchange::send_dl(uint32_t modem_id, QStringList rights, QString setting, QVariant data)
{
    return send_dl(QList<uint32_t>{modem_id}, std::move(rights), std::move(setting), std::move(data));
}

QVariantMap SQL_Exchange::send_dl(QList<uint32_t> modems, QStringList rights, QString setting, QVariant data)
{
    QVariantMap result;
    const uint32_t now = now_s();
    data = json_to_variant(data);

    // The codec may come back here while encoding (a relay request queues a second command), so
    // nothing below holds on to members or registry records across the encode call.
    QList<Stringify_dl_app> made;
    const bool in_table = !registry_with("cmd");
    // A command is never numbered only to be dropped by a full downlink queue: those beyond its
    // room are not made at all.
    Radio_Exchange* radio = Radio_Exchange::instance;
    int to_send = 0;
    int refused = 0;
    for (const uint32_t modem_id : qAsConst(modems)) {
        if (refused > 0) {
            ++refused;
            continue;
        }
        // A command whose row cannot be kept is not made: nothing goes out that is not stored.
        if (in_table && modem_id >= 2 && cmd_rows_waiting() + made.size() >= pending_cap) {
            if (!cmd_refusing)
                LOG_ERR << "commands refused:" << cmd_rows_waiting()
                        << "command rows wait for the database, at the cap of" << pending_cap;
            cmd_refusing = true;
            continue;
        }
        if (cmd_refusing && in_table && modem_id >= 2) {
            cmd_refusing = false;
            LOG_WRN << "commands are made again:" << cmd_rows_waiting() << "command rows wait";
        }
        if (setting == QLatin1String("94.7.0")) {
            const uint32_t limit = cfg.value(QStringLiteral("ts_req_curr_last"), 5).toUInt();
            // Signed: after the clock went back the last request is as recent as can be.
            const int64_t age = int64_t(now) - int64_t(ts_req_curr_last);
            if (age < 0) ts_req_curr_last = now;
            if (age <= int64_t(limit))
                continue;
            ts_req_curr_last = now;
        }
        Stringify_dl_app cmd = encode(Dl_request(modem_id, now, setting, data), rights);
        const bool goes_out = cmd.modem_id >= 2 && cmd.state != 3 && cmd.state != 4;
        if (goes_out && radio && radio->dl_free_room() - to_send <= 0) {
            refused = 1;
            continue;
        }
        if (!next_cmd_number()) {
            if (number_lines.pass())
                LOG_ERR << "commands refused: no command number can be taken while the database does not answer"
                        << "(command for modem" << modem_id << setting << ":" << last_error.text() << ")";
            continue;
        }
        if (goes_out)
            ++to_send;
        cmd.cmd_id = cmd_counter;
        made << cmd;
    }
    static log_limiter full_lim(QStringLiteral("commands refused, downlink queue full"), LVL_WRN, 50, 1000);
    if (refused > 0 && full_lim.pass())
        LOG_WRN << "cmd" << setting << ":" << refused << "of" << modems.size()
                << "commands refused, the downlink queue is full";

    for (const Stringify_dl_app& cmd : qAsConst(made)) {
        if (cmd.modem_id < 2)
            continue; // pseudo modems: the number stays used, nothing is sent or stored
        const bool send = cmd.state != 3 && cmd.state != 4;
        const uint32_t stored_state = cmd.state > 5 ? 3 : cmd.state;
        if (send) {
            if (radio)
                radio->note_dl_posted();
            emit signal_DL(cmd);
        }
        result.insert(QString::number(cmd.modem_id), uint(cmd.cmd_id));

        modem_record* modem = nullptr;
        if (RAM_modems* ram = registry_with("cmd")) {
            modem = ram->find_modem(cmd.modem_id);
            if (!modem)
                modem = ram->add_modem(cmd.modem_id, QVariantMap());
        }
        if (modem) {
            if (modem->cmds.size() >= 2) {
                for (auto it = modem->cmds.begin(); it != modem->cmds.end();) {
                    if (qint64(now) - qint64(it->ts) > 86400)
                        it = modem->cmds.erase(it);
                    else
                        ++it;
                }
            }
            modem->cmds.insert(cmd.cmd_id, cmd);
        } else {
            cmd_batch.tuples << cmd_tuple(cmd, stored_state);
        }
    }
    return result;
}

QVariantMap SQL_Exchange::get_cmd_states(QList<uint32_t> cmd_ids)
{
    QVariantMap out;
    if (RAM_modems* ram = registry_with("cmd")) {
        const QMap<uint32_t, uint32_t> states = ram->find_cmds(cmd_ids);
        for (auto it = states.cbegin(); it != states.cend(); ++it)
            out.insert(QString::number(it.key()), cmd_state_text(it.value()));
        return out;
    }
    // A list of any length goes in pieces that each stay below the server's packet limit (one
    // statement beyond it costs the connection); the answer keeps its bound of 1000 states. The
    // numbers go in order, a run of consecutive ones as a range: a list of millions counted up
    // by a client costs a statement or two, not dozens of long ones.
    constexpr int max_states = 1000;
    std::sort(cmd_ids.begin(), cmd_ids.end());
    cmd_ids.erase(std::unique(cmd_ids.begin(), cmd_ids.end()), cmd_ids.end());
    for (int from = 0; from < cmd_ids.size() && out.size() < max_states;) {
        QString singles, ranges;
        while (from < cmd_ids.size() && singles.size() + ranges.size() < chunk_max_chars) {
            int to = from;
            while (to + 1 < cmd_ids.size() && cmd_ids.at(to + 1) == cmd_ids.at(to) + 1)
                ++to;
            if (to - from >= 2) {
                ranges +=
                    QStringLiteral(" OR cmd_id BETWEEN %1 AND %2").arg(cmd_ids.at(from)).arg(cmd_ids.at(to));
            } else {
                for (int k = from; k <= to; ++k) {
                    if (!singles.isEmpty())
                        singles += QLatin1Char(',');
                    singles += QString::number(cmd_ids.at(k));
                }
            }
            from = to + 1;
        }
        const QString select = QStringLiteral("SELECT * FROM modems_cmd WHERE cmd_id in (%1)%2 LIMIT %3")
                                   .arg(singles.isEmpty() ? QStringLiteral("NULL") : singles, ranges)
                                   .arg(max_states - out.size());
        QSqlQuery q(db);
        if (!run(q, select)) {
            // A silent link was said by run() already (no server error code); a lost one fails
            // every read alike.
            const bool said = last_error.nativeErrorCode().isEmpty();
            if (classify(last_error) == Error_class::refused || (!said && read_lines.pass()))
                LOG_EXC << last_error.text() << log_cut(select);
            return out;
        }
        read_lines.end();
        while (q.next())
            out.insert(QString::number(q.value(QStringLiteral("cmd_id")).toUInt()),
                       cmd_state_text(q.value(QStringLiteral("state")).toUInt()));
    }
    return out;
}

void SQL_Exchange::slot_DL_status(Rabbit_dl_status status)
{
    if (status.modem_id < 2)
        return;
    RAM_modems* ram = registry_with("cmd");
    modem_record* modem = ram ? ram->find_modem(status.modem_id) : nullptr;
    if (!modem) {
        pending_statuses << Pending_status{status, cmd_counter, setting_seq};
        if (intake_open && pending_statuses.size() >= pending_cap) check_intake();
        return;
    }
    bool copy = true;
    if (status.cmd_id != 0 && modem->cmds.contains(status.cmd_id)) {
        update_cmd_state(modem->cmds[status.cmd_id], status, copy);
        return;
    }
    // Copying a setting reaches the registry; walk by number so the hash may change meanwhile.
    const QList<uint32_t> ids = modem->cmds.keys();
    for (const uint32_t id : ids) {
        modem = ram->find_modem(status.modem_id);
        if (!modem)
            return;
        const auto it = modem->cmds.find(id);
        if (it != modem->cmds.end() && it->setting == status.setting)
            update_cmd_state(*it, status, copy);
    }
}

void SQL_Exchange::update_cmd_state(Stringify_dl_app& cmd, const Rabbit_dl_status& status, bool& copy)
{
    if (!status.success) {
        cmd.state = 4;
        return;
    }
    const bool was_write = cmd.state == 5;
    const int next = next_cmd_state(int(cmd.state), !status.setting.isEmpty() && cmd.setting == status.setting);
    if (next < 0) return;
    cmd.state = uint32_t(next);
    if (was_write && copy) {
        LOG_EXC << "copy setting";
        copy = false;
        const Stringify_dl_app confirmed = cmd; // the registry may move the record while storing
        copy_setting(status.modem_id, confirmed.ts, confirmed.setting, confirmed.data);
    }
}

void SQL_Exchange::copy_setting(uint32_t modem_id, uint32_t ts, const QString& setting, const QVariant& data)
{
    Parser_ul_app ul;
    ul.modem_id = modem_id;
    ul.ts_get = ts;
    ul.ul_settings << Ul_setting(ts, setting, data);
    slot_UL(ul);
}

void SQL_Exchange::continue_numbers_after(uint32_t newest)
{
    cmd_counter = newest;
    cmd_mark = newest; // nothing above it is taken yet
    window_valid = false;
    window_used.clear();
}

bool SQL_Exchange::load_number_window(uint32_t from)
{
    // Up to 4096 stored numbers from `from` on: the window reaches to the last of them, or to the
    // largest number when fewer are stored. Before the counter first wraps, one empty answer.
    const int most = 4096;
    const QString select =
        QStringLiteral("SELECT cmd_id FROM modems_cmd WHERE cmd_id >= %1 ORDER BY cmd_id LIMIT %2")
            .arg(from)
            .arg(most);
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!run(q, select)) return false;
    window_used.clear();
    uint32_t last = 0;
    while (q.next()) {
        last = q.value(0).toUInt();
        window_used.insert(last);
    }
    window_from = from;
    window_end = window_used.size() < most ? UINT32_MAX : last;
    window_valid = true;
    return true;
}

bool SQL_Exchange::next_cmd_number()
{
    uint32_t n = cmd_counter;
    for (;;) {
        ++n;
        if (n == 0) continue; // 0 stands for "find the command by its setting"
        if (!window_valid || n < window_from || n > window_end) {
            if (!load_number_window(n)) return false;
        }
        if (!window_used.contains(n)) break;
    }
    // Beyond the mark: the next block is taken first. Distances count around the wrap.
    if (uint32_t(n - cmd_counter) > uint32_t(cmd_mark - cmd_counter) && !store_cmd_mark(n + cmd_number_block))
        return false;
    cmd_counter = n;
    return true;
}

const QString SQL_Exchange::cmd_mark_name = QStringLiteral("cmd_numbered_to");

bool SQL_Exchange::store_cmd_mark(uint32_t mark)
{
    const QString store = QStringLiteral("INSERT INTO driver_state (`name`, `value`) VALUES ('%1', %2) "
                                         "ON DUPLICATE KEY UPDATE `value` = %2")
                              .arg(cmd_mark_name)
                              .arg(mark);
    QSqlQuery q(db);
    if (!run(q, store)) return false;
    cmd_mark = mark;
    if (number_lines.end()) LOG_WRN << "command numbers are taken again";
    return true;
}
