// API settings: "setting", "setting"/"set" and "setting"/"version_list".
#include "api_controller.h"

#include "log_limiter.h"
#include "logger.h"
#include "parser_strova5.h"
#include "ram_modems.h"

QVariant API_controller::api_setting(QVariantMap api_request)
{
    const QVariantMap qitems = api_request.value(QStringLiteral("qitems")).toMap();
    const QList<uint32_t> modems = get_modems(qitems);
    const QString code = qitems.value(QStringLiteral("code")).toString();
    RAM_modems* ram = RAM_modems::instance;
    QVariantMap out;
    for (uint32_t modem : modems) {
        if (!code.isEmpty()) {
            const QVariant value = ram ? ram->get_setting(modem, code) : QVariant();
            out.insert(QString::number(modem), QVariantMap{{code, value}});
        } else {
            QVariantMap all = ram ? ram->get_settings(modem) : QVariantMap();
            all.insert(QStringLiteral("DLMS"), parser_strova5::is_new_sw(modem));
            out.insert(QString::number(modem), all);
        }
    }
    return out;
}

QVariant API_controller::api_setting_set(QVariantMap api_request)
{
    const QVariantMap qitems = api_request.value(QStringLiteral("qitems")).toMap();
    const QString code = qitems.value(QStringLiteral("code")).toString();
    if (code.size() > k_setting_name_max) {
        // The setting row could not hold its name: nothing is written.
        LOG_LIMITED(LVL_EXC, "setting set code too long")
            << "setting set: code longer than" << k_setting_name_max << "characters refused";
    } else if (!code.isEmpty() && RAM_modems::instance) {
        const QVariant value = qitems.value(QStringLiteral("value"));
        for (uint32_t modem : get_modems(qitems))
            RAM_modems::instance->slot_set_setting(modem, code, value, true);
    }
    return api_setting(api_request);
}

QVariant API_controller::api_setting_version_list(QVariantMap api_request)
{
    const QVariantMap qitems = api_request.value(QStringLiteral("qitems")).toMap();
    QMap<QString, QVariantList> sw_groups, hw_groups;
    for (uint32_t modem : get_modems(qitems)) {
        const QVariantMap version =
            RAM_modems::instance ? RAM_modems::instance->get_setting(modem, QStringLiteral("version")).toMap()
                                 : QVariantMap();
        sw_groups[version.value(QStringLiteral("sw")).toString()] += uint(modem);
        hw_groups[version.value(QStringLiteral("hw")).toString()] += uint(modem);
    }
    QVariantMap sw, hw, sw_size;
    for (auto it = sw_groups.cbegin(); it != sw_groups.cend(); ++it) {
        sw.insert(it.key(), it.value());
        sw_size.insert(it.key(), it.value().size());
    }
    for (auto it = hw_groups.cbegin(); it != hw_groups.cend(); ++it)
        hw.insert(it.key(), it.value());
    // Anyone may ask, as often as he likes: the lines are counted beyond a burst.
    static log_limiter lim(QStringLiteral("version list"), LVL_EXC, 50, 1000);
    if (lim.pass(LVL_EXC)) {
        LOG_EXC << "sw versions" << sw.size();
        LOG_EXC << "hw versions" << hw.size();
    }
    return QVariantMap{
        {QStringLiteral("sw"), sw}, {QStringLiteral("hw"), hw}, {QStringLiteral("sw_size"), sw_size}};
}
