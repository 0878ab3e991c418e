// API commands: "cmd"/"send", "cmd"/"status" and "sendmessage".
#include "api_controller.h"

#include "logger.h"
#include "radio_exchange.h"
#include "sql_exchange.h"

#include <QJsonDocument>
#include <QSet>

QVariant API_controller::api_cmd_send(QVariantMap api_request)
{
    const QVariantMap qitems = api_request.value(QStringLiteral("qitems")).toMap();
    const QList<uint32_t> modems = get_modems(qitems);
    const QStringList rights = get_rights(api_request);
    const QString code = qitems.value(QStringLiteral("code")).toString();
    const QString value = qitems.value(QStringLiteral("value")).toString();

    QVariantMap made;
    if (code.size() > k_setting_name_max) {
        // The command row could not hold its name: nothing is queued or sent.
        LOG_EXC << "cmd send: code longer than" << k_setting_name_max << "characters refused";
    } else if (SQL_Exchange::instance) {
        made = SQL_Exchange::instance->send_dl(modems, rights, code, QVariant(value));
    }
    return QVariantMap{{QStringLiteral("cmd_id"), made}};
}

QVariant API_controller::api_cmd_status(QVariantMap api_request)
{
    const QVariantMap qitems = api_request.value(QStringLiteral("qitems")).toMap();
    // Read in place: a list split into strings first cost a small allocation per number, which
    // the heap kept long after the request.
    const QString text = qitems.value(QStringLiteral("cmd_id")).toString();
    QList<uint32_t> ids;
    QSet<uint32_t> seen;
    for (int from = 0; from <= text.size();) {
        int comma = text.indexOf(QLatin1Char(','), from);
        if (comma < 0) comma = text.size();
        const uint32_t id = text.midRef(from, comma - from).toUInt();
        from = comma + 1;
        if (!seen.contains(id)) {
            seen.insert(id);
            ids += id;
        }
    }
    if (!SQL_Exchange::instance) return QVariantMap();
    return SQL_Exchange::instance->get_cmd_states(ids);
}

QVariant API_controller::api_sendmessage(QVariantMap api_request)
{
    if (log_passes(LVL_EXC))
        LOG_EXC << log_cut(QJsonDocument::fromVariant(masked(api_request)).toJson(QJsonDocument::Indented))
                       .constData();
    const QVariantMap qitems = api_request.value(QStringLiteral("qitems")).toMap();
    QVariantMap dl;
    dl.insert(QStringLiteral("msg_type"), QStringLiteral("dl"));
    dl.insert(QStringLiteral("modem_id"),
              uint(qitems.value(QStringLiteral("modem")).toString().toUInt(nullptr, 16)));
    dl.insert(QStringLiteral("payload"), qitems.value(QStringLiteral("message")).toString());
    dl.insert(QStringLiteral("status_id"), qitems.value(QStringLiteral("status_id")).toString());
    if (log_passes(LVL_EXC))
        LOG_EXC << log_cut(QJsonDocument::fromVariant(dl).toJson(QJsonDocument::Compact)).constData();
    if (Radio_Exchange::instance) Radio_Exchange::instance->slot_rabbit_DL(dl);
    return QVariantMap{{QStringLiteral("result"), QStringLiteral("ok")}, {QStringLiteral("messageId"), true}};
}
