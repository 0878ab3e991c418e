// The driver's own event log (pseudo modem 1: start, last alive time, failed logins), the login
// check that feeds it, and "diagnostics"/"parse", which decodes a payload without keeping it.
#include "api_controller.h"

#include "log_limiter.h"
#include "logger.h"
#include "parser_strova5.h"
#include "ram_modems.h"
#include "sql_exchange.h"

#include <QTimer>

namespace {

constexpr uint32_t k_own_modem = 1;
constexpr uint32_t k_event_alive = 114; // the last time the driver was known to run
constexpr uint32_t k_event_start_a = 113;
constexpr uint32_t k_event_start_b = 112;
constexpr uint32_t k_event_login_failed = 7;
// Stands for an account's missing "user" or "pass": no client text of printable characters
// equals it.
const QString k_missing_account_field = QStringLiteral("\x01\x02");

// One write to the own event log: its events, all at `ts`, under the log 0.0.99.98.255.255.
Parser_ul_app own_events(uint32_t ts, std::initializer_list<uint32_t> codes)
{
    Parser_ul_app ul;
    ul.modem_id = k_own_modem;
    ul.ts_get = ts;
    ul.header = 0x33;
    for (uint32_t code : codes)
        ul.ul_events << Ul_event_record(ts, 0, 65535, 65535, code, OBIS{0, 0, 99, 98, 255, 255});
    return ul;
}

void store(const Parser_ul_app& ul)
{
    if (SQL_Exchange::instance) SQL_Exchange::instance->slot_UL(ul);
}

} // namespace

void API_controller::start_event_log()
{
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &API_controller::slot_timer_update_ts);
    timer->start(2000);
}

void API_controller::slot_timer_update_ts()
{
    RAM_modems* ram = RAM_modems::instance;
    if (last_saved_ts == 0) {
        const QVariantMap own = ram ? ram->get_settings(k_own_modem) : QVariantMap();
        last_saved_ts = own.value(QStringLiteral("update_ts")).toUInt();
        if (last_saved_ts == 0) last_saved_ts = time_source();
        store(own_events(last_saved_ts, {k_event_alive}));
    }
    const uint32_t now = time_source();
    if (last_saved_ts > now) return; // the clock went back: wait until it passes the saved time
    last_saved_ts = now;
    if (first_run) {
        first_run = false;
        store(own_events(last_saved_ts, {k_event_start_a, k_event_start_b}));
    }
    if (ram) ram->slot_set_setting(k_own_modem, QStringLiteral("update_ts"), uint(last_saved_ts), true);
}

QVariant API_controller::api_authorization(QVariantMap api_request)
{
    const QVariantMap qitems = api_request.value(QStringLiteral("qitems")).toMap();
    const bool complete = qitems.contains(QStringLiteral("user")) && qitems.contains(QStringLiteral("pass"));
    const QString user = qitems.value(QStringLiteral("user")).toString();
    const QString pass = qitems.value(QStringLiteral("pass")).toString();
    // Anyone may try a login as often as he likes: the lines are counted, not all written.
    static log_limiter login_lim(QStringLiteral("login"), LVL_EXC, 50, 1000);
    const bool say = login_lim.pass(LVL_EXC);
    for (const QVariant& v : config.value(QStringLiteral("authorization")).toList()) {
        // The user name only: a password never reaches the log.
        if (say) LOG_EXC << "login" << log_cut(user);
        const QVariantMap account = v.toMap();
        const QString a_user = account.contains(QStringLiteral("user"))
                                   ? account.value(QStringLiteral("user")).toString()
                                   : k_missing_account_field;
        const QString a_pass = account.contains(QStringLiteral("pass"))
                                   ? account.value(QStringLiteral("pass")).toString()
                                   : k_missing_account_field;
        if (complete && a_user == user && a_pass == pass) return QVariantMap{{QStringLiteral("res"), true}};
    }
    static log_limiter failed_lim(QStringLiteral("failed login"), LVL_EXC, 50, 1000);
    if (failed_lim.pass(LVL_EXC)) LOG_EXC << "save fail auth event";
    store(own_events(time_source(), {k_event_login_failed}));
    return QVariantMap{{QStringLiteral("res"), false}};
}

QVariant API_controller::api_parse(QVariantMap api_request)
{
    const QString data =
        api_request.value(QStringLiteral("qitems")).toMap().value(QStringLiteral("data")).toString();
    QByteArray digits;
    for (char c : data.toLocal8Bit())
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) digits += c;
    Radio_ul_input head;
    head.modem_id = k_own_modem;
    head.ts_get = time_source();
    head.payload = QByteArray::fromHex(digits);
    return SQL_Exchange::ul_to_json(parser_strova5::parse_ul_app(head));
}
