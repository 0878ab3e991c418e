// API commands: "cmd"/"send", "cmd"/"status" and "sendmessage".
#include "api_controller.h"

#include "logger.h"
#include "radio_exchange.h"
#include "sql_exchange.h"

#include "log_limiter.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonDocument>
#include <QSet>
#include <algorithm>
#include <limits>

namespace {

// Commands of callers without a command right (no token, `view`, any other right): whether
// they need no right or are refused for want of one, each is numbered and stored, so they share
// one budget: this many a second per client address, and as many for all such callers together.
constexpr int k_open_per_second = 100;
// Addresses remembered at once; past them the newcomers share one allowance.
constexpr int k_open_clients_max = 4096;

struct open_allowance
{
    double left = k_open_per_second;
    qint64 at = 0;

    void refill(qint64 now)
    {
        left = std::min<double>(k_open_per_second, left + double(now - at) * k_open_per_second / 1000.0);
        at = now;
    }
};

// Takes up to `wanted` of the client's allowance and of the one all such callers share, both
// refilling at k_open_per_second; returns how many it may send now.
int take_open_allowance(const QString& client, int wanted)
{
    static QHash<QString, open_allowance> clients;
    static open_allowance all;
    static QElapsedTimer clock;
    if (!clock.isValid()) clock.start();
    const qint64 now = clock.elapsed() + 1000;
    QString key = client;
    if (!clients.contains(key) && clients.size() >= k_open_clients_max) {
        // Allowances that are whole again tell nothing: they go first.
        for (auto it = clients.begin(); it != clients.end();)
            it = now - it->at >= 1000 ? clients.erase(it) : std::next(it);
        if (clients.size() >= k_open_clients_max) key.clear();
    }
    open_allowance& a = clients[key];
    a.refill(now);
    all.refill(now);
    const int n = std::max(0, std::min({wanted, int(a.left), int(all.left)}));
    a.left -= n;
    all.left -= n;
    return n;
}

// How many commands without a right may go now: they leave half of the downlink queue's room to
// the commands under a token, however fast they come.
int open_room()
{
    const Radio_Exchange* radio = Radio_Exchange::instance;
    return radio ? radio->dl_spare_room() : std::numeric_limits<int>::max();
}

} // namespace

QVariant API_controller::api_cmd_send(QVariantMap api_request)
{
    const QVariantMap qitems = api_request.value(QStringLiteral("qitems")).toMap();
    QList<uint32_t> modems = get_modems(qitems);
    const QStringList rights = get_rights(api_request);
    const QString code = qitems.value(QStringLiteral("code")).toString();
    const QString value = qitems.value(QStringLiteral("value")).toString();

    // A caller below the command rights sends only what needs no right ("display", "0.8.4"),
    // and its refused commands are stored too: its share is bounded per address and for all such
    // callers, so that no number of them can take the command road from those who hold a right.
    const QString client = api_request.value(QStringLiteral("client")).toString();
    if (!holds_command_right(rights) && !modems.isEmpty()) {
        const int allowed = take_open_allowance(client, std::min(int(modems.size()), open_room()));
        if (allowed < modems.size()) {
            static log_limiter lim(QStringLiteral("commands without a right refused"), LVL_WRN, 10, 60000);
            if (lim.pass(LVL_WRN))
                LOG_WRN
                    << "cmd send without a right from" << client << ":" << modems.size() - allowed << "of"
                    << modems.size() << "commands refused (at most" << k_open_per_second
                    << "a second a client and as many for all callers without a command right, and half the"
                    << "downlink queue's room)";
            modems = modems.mid(0, allowed);
        }
    }

    QVariantMap made;
    if (code.size() > k_setting_name_max) {
        // The command row could not hold its name: nothing is queued or sent.
        LOG_LIMITED(LVL_EXC, "cmd send code too long")
            << "cmd send: code longer than" << k_setting_name_max << "characters refused";
    } else if (SQL_Exchange::instance) {
        // Callers holding a command right share the downlink room by who they are.
        made = SQL_Exchange::instance->send_dl(modems, rights, code, QVariant(value),
                                               api_request.value(QStringLiteral("caller")).toString());
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
    LOG_LIMITED(LVL_EXC, "sendmessage request")
        << log_cut(QJsonDocument::fromVariant(masked(api_request)).toJson(QJsonDocument::Indented))
               .constData();
    const QVariantMap qitems = api_request.value(QStringLiteral("qitems")).toMap();
    QVariantMap dl;
    dl.insert(QStringLiteral("msg_type"), QStringLiteral("dl"));
    dl.insert(QStringLiteral("modem_id"),
              uint(qitems.value(QStringLiteral("modem")).toString().toUInt(nullptr, 16)));
    dl.insert(QStringLiteral("payload"), qitems.value(QStringLiteral("message")).toString());
    dl.insert(QStringLiteral("status_id"), qitems.value(QStringLiteral("status_id")).toString());
    LOG_LIMITED(LVL_EXC, "sendmessage downlink")
        << log_cut(QJsonDocument::fromVariant(dl).toJson(QJsonDocument::Compact)).constData();
    // The route asks for `special`.
    if (Radio_Exchange::instance) Radio_Exchange::instance->post_dl(dl, true);
    return QVariantMap{{QStringLiteral("result"), QStringLiteral("ok")}, {QStringLiteral("messageId"), true}};
}
