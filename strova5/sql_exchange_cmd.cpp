// Storage: command requests, their numbers and their states: the delivery reports and answers
// applied to the commands, in the command table or in the registry, by one rule.
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

// How far back from the counter a command was numbered, around the wrap: 0 the newest.
uint32_t numbered_back(uint32_t cmd_id, uint32_t counter)
{
    return counter - cmd_id;
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

QVariantMap SQL_Exchange::send_dl(QList<uint32_t> modems, QStringList rights, QString setting, QVariant data,
                                  QString caller)
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
    // The channel's frames come with `special` for the codec, but from anyone who reaches its
    // ports: their lines share the limiter of callers without a right.
    const bool under_right = holds_command_right(rights) && setting != QLatin1String("HDLC");
    // The daemon's own commands (and what the codec makes in their wake) log apart from both.
    const bool own = own_commands::active();
    // What the codec queues while encoding a caller's command (a relay request) is that caller's.
    if (caller.isEmpty() && !own) caller = dl_caller;
    // Callers holding a command right share the room; the daemon's own commands and the others
    // (held to the spare room before they come here) take what is free. Without a downlink
    // publisher there is no room to share: nothing waits.
    const bool shared = under_right && !own && !caller.isEmpty() && radio && radio->dl_capacity() > 0;
    if (shared) dl_shares.advance(radio->dl_left_count());
    bool part_taken = false; // the room had places, the caller's part did not
    struct caller_scope
    {
        QString& slot;
        QString was;
        caller_scope(QString& slot, const QString& now) : slot(slot), was(slot) { slot = now; }
        ~caller_scope() { slot = was; }
    } const scope(dl_caller, own ? QString() : caller);
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
        // Free room and the queued counts are as the codec left them (what it queued in the
        // command's wake has entered): only this request's own commands are still to come.
        if (goes_out && shared &&
            dl_shares.allowance(caller, radio->dl_free_room(), radio->dl_capacity()) - to_send <= 0) {
            refused = 1;
            part_taken = true;
            continue;
        }
        if (!next_cmd_number()) {
            // The rest of the request would meet the same refusal (and try the same statement).
            if (numbering.refusal_lines.pass())
                LOG_ERR << "commands refused: no command number:" << qPrintable(numbering.refusal()) << "(command for modem"
                        << modem_id << setting << "and" << modems.size() - 1 - modems.indexOf(modem_id)
                        << "more of the request)";
            break;
        }
        if (goes_out)
            ++to_send;
        cmd.cmd_id = numbering.counter();
        cmd.under_right = under_right;
        cmd.own = own;
        made << cmd;
    }
    static log_limiter full_lim(QStringLiteral("commands refused, downlink queue full"), LVL_WRN, 50, 1000);
    static log_limiter full_right_lim(
        QStringLiteral("commands under a command right refused, downlink queue full"), LVL_WRN, 50, 1000);
    if (refused > 0 && (under_right ? full_right_lim : full_lim).pass()) {
        QString who;
        if (!caller.isEmpty()) who = QStringLiteral(" for ") + caller;
        if (part_taken) {
            const int capacity = radio->dl_capacity();
            who += QStringLiteral(
                       ": it holds %1 queued downlinks, its part %2 (the room less the last %3 places, "
                       "shared by %4 callers with downlinks queued; those places are kept for callers "
                       "holding fewer than %5)")
                       .arg(dl_shares.queued(caller) + to_send)
                       .arg(dl_shares.part(caller, capacity))
                       .arg(Dl_room_shares::reserve_of(capacity))
                       .arg(std::max(1, dl_shares.callers() + (dl_shares.queued(caller) > 0 ? 0 : 1)))
                       .arg(Dl_room_shares::small_holding);
        }
        LOG_WRN << "cmd" << setting << ":" << refused << "of" << modems.size()
                << qPrintable(QStringLiteral("commands refused, the downlink queue is full") + who);
    }

    for (const Stringify_dl_app& cmd : qAsConst(made)) {
        if (cmd.modem_id < 2)
            continue; // pseudo modems: the number stays used, nothing is sent or stored
        const bool send = cmd.state != 3 && cmd.state != 4;
        const uint32_t stored_state = cmd.state > 5 ? 3 : cmd.state;
        if (send) {
            if (radio) {
                if (shared) dl_shares.entered(caller, radio->dl_entered_count());
                radio->note_dl_posted();
            }
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
            // A silent link was said by run() already (no server error code), a table locked
            // elsewhere too; a lost one fails every read alike.
            const bool said = last_error.nativeErrorCode().isEmpty() || lock_bound(last_error);
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

bool SQL_Exchange::cmd_open(int state)
{
    return state == 0 || state == 1 || state == 2 || state == 5;
}

QString SQL_Exchange::cmd_open_sql()
{
    return QStringLiteral("(0, 1, 2, 5)");
}

int SQL_Exchange::next_cmd_state(int state, bool names_setting)
{
    // An answer (a status naming the setting) completes whatever the command waited for; a
    // delivery report moves a sent command to awaiting its answer. Done and failed stay.
    switch (state) {
    case 0: return 3;
    case 1: return names_setting ? 3 : 2;
    case 2: return names_setting ? 3 : -1;
    case 5: return 3;
    default: return -1;
    }
}

bool SQL_Exchange::numbered_within(uint32_t cmd_id, uint32_t numbered_to, uint32_t counter)
{
    // The status saw every number at least as far back as its own last one.
    return numbered_back(cmd_id, counter) >= numbered_back(numbered_to, counter);
}

QList<SQL_Exchange::Status_target>
SQL_Exchange::status_targets(const Rabbit_dl_status& status,
                             const QList<QPair<uint32_t, Cmd_row>>& candidates, uint32_t numbered_to,
                             uint32_t counter)
{
    QList<QPair<uint32_t, const Cmd_row*>> reached;
    for (const auto& c : candidates) {
        const Cmd_row& row = c.second;
        if (c.first == 0 || row.modem_id != status.modem_id || row.setting.isEmpty()) continue;
        // An answer reaches only the commands that existed when it came: a command made in
        // reply to the very uplink is not answered by it.
        const bool reaches = status.cmd_id != 0 ? c.first == status.cmd_id
                                                : row.setting == status.setting && cmd_open(row.state) &&
                                                      numbered_within(c.first, numbered_to, counter);
        if (reaches) reached << qMakePair(c.first, &row);
    }
    std::sort(reached.begin(), reached.end(), [counter](const auto& a, const auto& b) {
        return numbered_back(a.first, counter) > numbered_back(b.first, counter); // oldest first
    });
    int copy_at = -1; // one setting copied per answer: that of the newest confirmed write
    if (status.success)
        for (int t = 0; t < reached.size(); ++t)
            if (reached.at(t).second->state == 5) copy_at = t;
    QList<Status_target> out;
    for (int t = 0; t < reached.size(); ++t) {
        const Cmd_row& row = *reached.at(t).second;
        Status_target target;
        target.cmd_id = reached.at(t).first;
        if (!status.success)
            target.state = cmd_open(row.state) ? 4 : -1;
        else
            target.state =
                next_cmd_state(row.state, !status.setting.isEmpty() && status.setting == row.setting);
        target.copies = t == copy_at;
        out << target;
    }
    return out;
}

QVariant SQL_Exchange::stored_cmd_data(const QVariant& data)
{
    return data.isNull() ? data : setting_from_text(json_or_text(data));
}

void SQL_Exchange::slot_DL_status(Rabbit_dl_status status)
{
    if (status.modem_id < 2)
        return;
    RAM_modems* ram = registry_with("cmd");
    modem_record* modem = ram ? ram->find_modem(status.modem_id) : nullptr;
    if (!modem) {
        pending_statuses << Pending_status{status, numbering.counter(), setting_seq,
                                           parser_strova5::is_new_sw(status.modem_id)};
        if (intake_open && pending_statuses.size() >= pending_cap) check_intake();
        return;
    }
    QList<QPair<uint32_t, Cmd_row>> candidates;
    for (auto it = modem->cmds.cbegin(); it != modem->cmds.cend(); ++it) {
        if (status.cmd_id != 0 ? it.key() != status.cmd_id : it->setting != status.setting) continue;
        Cmd_row row;
        row.modem_id = status.modem_id;
        row.setting = it->setting;
        row.data = it->data;
        row.ts = it->ts;
        row.state = int(it->state);
        candidates << qMakePair(it.key(), row);
    }
    // Every command the registry holds was numbered before this status.
    for (const Status_target& t : status_targets(status, candidates, numbering.counter(), numbering.counter()))
        update_cmd_state(status.modem_id, t);
}

void SQL_Exchange::update_cmd_state(uint32_t modem_id, const Status_target& target)
{
    // Copying a setting reaches the registry: the record is looked up afresh each time.
    RAM_modems* ram = RAM_modems::instance;
    modem_record* modem = ram ? ram->find_modem(modem_id) : nullptr;
    if (!modem) return;
    const auto it = modem->cmds.find(target.cmd_id);
    if (it == modem->cmds.end()) return;
    if (target.state >= 0) it->state = uint32_t(target.state);
    if (target.copies) {
        LOG_EXC << "copy setting";
        const Stringify_dl_app confirmed = *it; // the registry may move the record while storing
        copy_setting(modem_id, confirmed.ts, confirmed.setting, stored_cmd_data(confirmed.data));
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

void SQL_Exchange::status_setting(uint32_t modem_id, uint32_t ts, const QString& setting, const QVariant& value,
                                  quint64 seq)
{
    if (reported_since(modem_id, setting, seq)) return;
    run_setting.tuples << setting_tuple(modem_id, Ul_setting(ts, setting, value));
    run_settings << Registry_setting{modem_id, setting, value, seq};
}

void SQL_Exchange::status_relay(const Rabbit_dl_status& status, const Dl_request& command, quint64 seq,
                                bool new_sw)
{
    const QString value = parser_strova5::relay_setting_value(status, command, new_sw);
    if (!value.isEmpty())
        status_setting(status.modem_id, uint32_t(QDateTime::currentSecsSinceEpoch()), QStringLiteral("96.3.10"),
                       RAM_modems::stored_value(value), seq);
}

bool SQL_Exchange::reported_since(uint32_t modem_id, const QString& setting, quint64 seq) const
{
    return run_reported.value(qMakePair(modem_id, setting)) > seq;
}

void SQL_Exchange::apply_effect(const Status_effect& e)
{
    status_relay(e.status, e.command, e.seq, e.new_sw);
    if (e.confirms) status_setting(e.status.modem_id, e.command.ts, e.command.setting, e.command.data, e.seq);
}

bool SQL_Exchange::settle_status_doubt()
{
    if (status_doubt.count == 0) return true;
    QStringList ids;
    for (auto it = status_doubt.states.cbegin(); it != status_doubt.states.cend(); ++it)
        if (it->first != it->second) ids << QString::number(it.key());
    bool committed = false;
    if (!ids.isEmpty()) {
        const QString select = QStringLiteral("SELECT cmd_id, `state` FROM modems_cmd WHERE cmd_id IN (%1)")
                                   .arg(ids.join(QStringLiteral(", ")));
        QSqlQuery q(conn());
        if (!run(q, select)) {
            if (classify(last_error) != Error_class::refused) return false;
            LOG_EXC << last_error.text() << log_cut(select);
        }
        // One transaction (or the one statement that changes a state): all or none.
        while (q.isActive() && q.next())
            if (q.value(1).toInt() == status_doubt.states.value(q.value(0).toUInt()).second) committed = true;
    }
    if (committed) {
        LOG_DBG << "statuses stored before their answer was lost:" << status_doubt.count;
        for (const Status_effect& e : qAsConst(status_doubt.effects))
            apply_effect(e);
        run_statuses.erase(run_statuses.begin(), run_statuses.begin() + status_doubt.count);
    }
    status_doubt = Status_doubt();
    return true;
}

bool SQL_Exchange::find_status_commands(int count, QHash<uint32_t, Cmd_row>& rows)
{
    QSet<uint32_t> numbers;
    QSet<QPair<uint32_t, QString>> pairs;
    for (int i = 0; i < count; ++i) {
        const Pending_status& pending = run_statuses.at(i);
        const Rabbit_dl_status& status = pending.status;
        if (status.cmd_id != 0) {
            numbers.insert(status.cmd_id);
            continue;
        }
        pairs.insert(qMakePair(status.modem_id, status.setting));
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
        // Every open command of each pair: each answer takes those numbered before it came.
        parts << QStringLiteral("SELECT %1 FROM p JOIN modems_cmd c ON c.modem_id = p.m AND c.setting = p.s "
                                "WHERE c.`state` IN %2")
                     .arg(columns, cmd_open_sql());
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
        row.data = setting_from_text(q.value(5));
        rows.insert(q.value(0).toUInt(), row);
    }
    return true;
}

bool SQL_Exchange::apply_statuses(int count)
{
    // Statuses whose writes may have committed are looked at first: applied again, a delivery
    // report would move a command a second step.
    if (status_doubt.count > 0) return settle_status_doubt();
    // When the server refuses a statement of the group: each status in a group of its own (the
    // run's loop takes them one at a time, each within the run's budget), and a status refused
    // alone statement by statement, so that only the refused part is lost.
    const auto one_by_one = [this, count] {
        if (count > 1) {
            status_singles = count;
            return true;
        }
        const Pending_status& first = run_statuses.first();
        if (!apply_status(first.status, first.numbered_to, first.seq, first.new_sw)) return false;
        run_statuses.removeFirst();
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
    QHash<uint32_t, int> found_states; // as the group found them
    QHash<uint32_t, int> new_states;
    QStringList confirmed; // setting rows, in arrival order
    for (int i = 0; i < count; ++i) {
        const Pending_status& pending = run_statuses.at(i);
        const Rabbit_dl_status& status = pending.status;
        LOG_TRC << "dl_status" << status.modem_id << status.cmd_id << (status.success ? "true" : "false")
                << status.setting;
        // The commands the status reaches: the one it names, or the open ones of its setting.
        // Those a status closed stay closed, so they leave the setting's list for the next one.
        QList<QPair<uint32_t, Cmd_row>> candidates;
        if (status.cmd_id != 0) {
            const auto it = rows.constFind(status.cmd_id);
            if (it != rows.cend()) candidates << qMakePair(it.key(), it.value());
        } else {
            QList<uint32_t>& ids = by_pair[qMakePair(status.modem_id, status.setting)];
            ids.erase(std::remove_if(ids.begin(), ids.end(), [&rows](uint32_t id) { return !cmd_open(rows.value(id).state); }),
                      ids.end());
            for (const uint32_t id : qAsConst(ids))
                candidates << qMakePair(id, rows.value(id));
        }
        const QList<Status_target> targets = status_targets(status, candidates, pending.numbered_to, run_counter);
        LOG_TRC << "dl_status" << status.modem_id << (status.success ? "true" : "false") << status.setting
                << "moves" << targets.size() << "commands";
        for (const Status_target& t : targets) {
            Cmd_row* row = &rows[t.cmd_id];
            found << Found{i, t.cmd_id, *row, false};
            if (!found_states.contains(t.cmd_id)) found_states.insert(t.cmd_id, row->state);
            if (t.copies) {
                // A value an uplink reported after this status came is newer: it stays.
                if (!reported_since(status.modem_id, row->setting, pending.seq))
                    confirmed << setting_tuple(status.modem_id, Ul_setting(row->ts, row->setting, row->data));
                found.last().confirms = true;
            }
            if (t.state < 0) continue;
            row->state = t.state;
            new_states.insert(t.cmd_id, t.state);
        }
    }

    QList<Status_effect> effects;
    for (const Found& f : qAsConst(found)) {
        const Pending_status& pending = run_statuses.at(f.index);
        effects << Status_effect{pending.status,
                                 Dl_request(pending.status.modem_id, f.command.ts, f.command.setting, f.command.data),
                                 f.confirms, pending.seq, pending.new_sw};
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
        if (committing && !done && classify(last_error) == Error_class::connection) {
            // The server may have committed: the next try reads the states before anything else.
            status_doubt.count = count;
            for (auto it = new_states.cbegin(); it != new_states.cend(); ++it)
                status_doubt.states.insert(it.key(), qMakePair(found_states.value(it.key()), it.value()));
            status_doubt.effects = effects;
            return false;
        }
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
    for (const Status_effect& e : qAsConst(effects))
        apply_effect(e);
    run_statuses.erase(run_statuses.begin(), run_statuses.begin() + count);
    return true;
}

bool SQL_Exchange::apply_status(const Rabbit_dl_status& status, uint32_t numbered_to, quint64 seq, bool new_sw)
{
    LOG_TRC << "dl_status" << status.modem_id << status.cmd_id << (status.success ? "true" : "false")
            << status.setting;
    QSqlQuery q(conn());
    // The commands the status may reach: the one it names, or the open ones of its setting.
    const QString select =
        status.cmd_id != 0
            ? QStringLiteral("SELECT cmd_id, setting, ts, `state`, `data` FROM modems_cmd WHERE modem_id = %1 AND "
                             "cmd_id = %2")
                  .arg(status.modem_id)
                  .arg(status.cmd_id)
            : QStringLiteral("SELECT cmd_id, setting, ts, `state`, `data` FROM modems_cmd WHERE modem_id = %1 AND "
                             "setting = %2 AND `state` IN %3")
                  .arg(status.modem_id)
                  .arg(sql_text(status.setting), cmd_open_sql());
    if (!run(q, select)) {
        if (classify(last_error) != Error_class::refused) return false;
        LOG_EXC << last_error.text() << log_cut(select);
        return true;
    }
    QList<QPair<uint32_t, Cmd_row>> candidates;
    while (q.next()) {
        Cmd_row row;
        row.modem_id = status.modem_id;
        row.setting = text_of(q.value(1));
        row.ts = q.value(2).toUInt();
        row.state = q.value(3).toInt();
        row.data = setting_from_text(q.value(4));
        candidates << qMakePair(q.value(0).toUInt(), row);
    }
    const QList<Status_target> targets = status_targets(status, candidates, numbered_to, run_counter);
    LOG_TRC << "dl_status" << status.modem_id << (status.success ? "true" : "false") << status.setting << "moves"
            << targets.size() << "commands";
    QHash<uint32_t, Cmd_row> rows;
    for (const auto& c : qAsConst(candidates))
        rows.insert(c.first, c.second);

    QList<Status_effect> effects;
    QStringList cases, ids;
    Status_doubt doubt;
    doubt.count = 1;
    for (const Status_target& t : targets) {
        const Cmd_row& row = rows[t.cmd_id];
        Status_effect effect{status, Dl_request(status.modem_id, row.ts, row.setting, row.data), false, seq, new_sw};
        if (t.copies && !reported_since(status.modem_id, row.setting, seq)) {
            // The confirmed setting is written before the command is marked done: a lost answer
            // can make both go again, never leave the command done without its setting.
            const QString copy =
                setting_batch.prefix + setting_tuple(status.modem_id, Ul_setting(row.ts, row.setting, row.data));
            if (!run(q, copy)) {
                if (classify(last_error) != Error_class::refused) return false;
                LOG_EXC << "row lost:" << last_error.text() << log_cut(copy);
            } else {
                effect.confirms = true; // the registry learns what the table holds
            }
        }
        effects << effect;
        if (t.state < 0) continue;
        cases << QStringLiteral(" WHEN %1 THEN %2").arg(t.cmd_id).arg(t.state);
        ids << QString::number(t.cmd_id);
        doubt.states.insert(t.cmd_id, qMakePair(row.state, t.state));
    }
    // One statement: the commands of one answer move together or not at all.
    const QString update = QStringLiteral("UPDATE modems_cmd SET `state` = CASE cmd_id%1 END WHERE cmd_id IN (%2)")
                               .arg(cases.join(QString()), ids.join(QStringLiteral(", ")));
    if (!ids.isEmpty() && !run(q, update)) {
        if (classify(last_error) != Error_class::refused) {
            // A lost answer leaves the write in doubt: the next try reads the states first.
            if (classify(last_error) == Error_class::connection) {
                doubt.effects = effects;
                status_doubt = doubt;
            }
            return false;
        }
        LOG_EXC << last_error.text() << update;
    }
    for (const Status_effect& e : qAsConst(effects))
        apply_effect(e);
    return true;
}
