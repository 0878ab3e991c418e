#pragma once
// The storage stand-in of every suite that needs one: it records what the other components
// hand to storage (commands, uplinks, statuses, removals, loader requests) and serves pending
// settings. With `encode` set, each command is encoded the way storage does, so that an
// encoding that queues a command of its own re-enters the encoder for real.

#include "parser_strova5.h"
#include "sql_exchange.h"

#include <QJsonArray>
#include <QJsonDocument>

class Storage_double : public SQL_Exchange
{
public:
    struct Command
    {
        uint32_t modem;
        QStringList rights;
        QString setting;
        QVariant data;
        bool to_list;
        Stringify_dl_app encoded;
        // "setting data", the list form marked "*"; modem and rights only when not `usual`.
        QString text(uint32_t usual_modem, const QStringList& usual_rights) const
        {
            QString out = (to_list ? QStringLiteral("*") : QString()) + setting;
            if (!data.isNull()) {
                const QByteArray a = QJsonDocument(QJsonArray{QJsonValue::fromVariant(data)}).toJson(QJsonDocument::Compact);
                out += QLatin1Char(' ') + QString::fromUtf8(a.mid(1, a.size() - 2));
            }
            if (modem != usual_modem || rights != usual_rights)
                out += QStringLiteral(" to %1 as %2").arg(modem).arg(rights.join(QLatin1Char(',')));
            return out;
        }
    };

    Storage_double() : SQL_Exchange(QVariantMap(), nullptr) {}
    // No key to estimate from: reports count modem by modem, through the doubles' own counts.
    qint64 estimate_window_rows(bool, QList<uint32_t>, uint32_t, uint32_t) override { return -1; }

    bool encode = false;
    bool keep = true; // false: statuses are only counted (benchmarks)
    qint64 status_count = 0;
    uint32_t next_cmd = 100;
    QList<Command> commands;
    QList<Parser_ul_app> uplinks;
    QList<Rabbit_dl_status> statuses;
    QStringList removed, loader; // "type:time", "modem:type:limit"
    QMap<uint32_t, QVariantMap> pending;

    QStringList sent(uint32_t usual_modem = 0, const QStringList& usual_rights = {}) const
    {
        QStringList out;
        for (const Command& c : commands)
            out << c.text(usual_modem, usual_rights);
        return out;
    }
    // Keys of the settings handed over for saving, in order.
    QStringList saved() const
    {
        QStringList keys;
        for (const Parser_ul_app& ul : uplinks)
            for (const Ul_setting& s : ul.ul_settings)
                keys << s.key;
        return keys;
    }

    bool init() override { return true; }
    QVariantMap send_dl(uint32_t modem, QStringList rights, QString setting, QVariant data) override
    {
        Command c{modem, rights, setting, data, false, {}};
        if (encode)
            c.encoded = parser_strova5::stringify_dl_app(Dl_request(modem, 1700000001, setting, data), rights);
        commands << c;
        return {{"cmd_id", ++next_cmd}};
    }
    QVariantMap send_dl(QList<uint32_t> modems, QStringList rights, QString setting, QVariant data,
                        QString = QString()) override
    {
        for (uint32_t m : modems)
            commands << Command{m, rights, setting, data, true, {}};
        return {};
    }
    void remove_old(uint8_t type, uint32_t time) override { removed << QStringLiteral("%1:%2").arg(type).arg(time); }
    bool get_pending_settings(QMap<uint32_t, QVariantMap>& out) override
    {
        out = pending;
        return true;
    }
    void slot_UL(Parser_ul_app ul) override { uplinks << ul; }
    void slot_DL_status(Rabbit_dl_status status) override
    {
        ++status_count;
        if (keep)
            statuses << status;
    }
    void slot_loader_req(uint32_t modem, uint8_t type, uint32_t limit) override
    {
        loader << QStringLiteral("%1:%2:%3").arg(modem).arg(type).arg(limit);
    }
};
