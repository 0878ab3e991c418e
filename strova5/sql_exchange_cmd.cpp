// Storage: command requests, their numbers and their states.
#include "logger.h"
#include "parser_strova5.h"
#include "ram_modems.h"
#include "sql_exchange.h"

#include <QDateTime>
#include <QSqlQuery>

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
    for (const uint32_t modem_id : qAsConst(modems)) {
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
        if (++cmd_counter == 0)
            ++cmd_counter; // 0 stands for "find the command by its setting"
        cmd.cmd_id = cmd_counter;
        made << cmd;
    }

    for (const Stringify_dl_app& cmd : qAsConst(made)) {
        if (cmd.modem_id < 2)
            continue; // pseudo modems: the number stays used, nothing is sent or stored
        const bool send = cmd.state != 3 && cmd.state != 4;
        const uint32_t stored_state = cmd.state > 5 ? 3 : cmd.state;
        if (send)
            emit signal_DL(cmd);
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
    if (cmd_ids.isEmpty())
        return out;
    QStringList numbers;
    for (const uint32_t id : qAsConst(cmd_ids))
        numbers << QString::number(id);
    const QString select =
        QStringLiteral("SELECT * FROM modems_cmd WHERE cmd_id in (%1) LIMIT 1000").arg(numbers.join(QLatin1Char(',')));
    QSqlQuery q(db);
    if (!run(q, select)) {
        // A silent link was said by run() already (no server error code); a lost one fails
        // every read alike.
        const bool said = last_error.nativeErrorCode().isEmpty();
        if (classify(last_error) == Error_class::refused || (!said && read_lines.pass()))
            LOG_EXC << last_error.text() << select;
        return out;
    }
    read_lines.end();
    while (q.next())
        out.insert(QString::number(q.value(QStringLiteral("cmd_id")).toUInt()),
                   cmd_state_text(q.value(QStringLiteral("state")).toUInt()));
    return out;
}

void SQL_Exchange::slot_DL_status(Rabbit_dl_status status)
{
    if (status.modem_id < 2)
        return;
    RAM_modems* ram = registry_with("cmd");
    modem_record* modem = ram ? ram->find_modem(status.modem_id) : nullptr;
    if (!modem) {
        pending_statuses << Pending_status{status, cmd_counter};
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
    switch (cmd.state) {
    case 0: cmd.state = 3; break;
    case 1: cmd.state = cmd.setting != status.setting ? 2 : 3; break;
    case 2:
        if (cmd.setting == status.setting)
            cmd.state = 3;
        break;
    case 5:
        cmd.state = 3;
        if (copy) {
            LOG_EXC << "copy setting";
            copy = false;
            const Stringify_dl_app confirmed = cmd; // the registry may move the record while storing
            copy_setting(status.modem_id, confirmed.ts, confirmed.setting, confirmed.data);
        }
        break;
    default: break;
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
