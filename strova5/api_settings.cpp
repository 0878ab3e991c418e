// API settings: "setting", "setting"/"set" and "setting"/"version_list".
#include "api_controller.h"

#include "api_reports.h"
#include "api_reports_job.h"
#include "log_limiter.h"
#include "logger.h"
#include "parser_strova5.h"
#include "ram_modems.h"

#include <algorithm>

namespace {

// The modem ids in the order of their decimal texts, as the keys of a map answer stand, each
// once.
QList<uint32_t> in_key_order(QList<uint32_t> modems)
{
    // Texts of decimal numbers compare as the numbers scaled to the same count of digits, the
    // shorter first where they are equal: no text is made for the sort.
    const auto digits = [](uint32_t n) {
        int d = 1;
        while (n >= 10) {
            n /= 10;
            ++d;
        }
        return d;
    };
    static const quint64 tens[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000};
    std::sort(modems.begin(), modems.end(), [&](uint32_t a, uint32_t b) {
        const int da = digits(a), db = digits(b);
        const quint64 sa = quint64(a) * tens[10 - da], sb = quint64(b) * tens[10 - db];
        return sa != sb ? sa < sb : da < db;
    });
    modems.erase(std::unique(modems.begin(), modems.end()), modems.end());
    return modems;
}

// A map answer built as a list of written entries: the list's brackets become braces.
QVariant as_object(QVariant list)
{
    QByteArray text = list.value<api_json_text>().json;
    text[0] = '{';
    text[text.size() - 1] = '}';
    return QVariant::fromValue(api_json_text{text});
}

// "setting": one setting, or all of them, of each selected modem, keyed by its decimal id.
class setting_job : public report_job
{
public:
    setting_job(QList<uint32_t> modems_, QString code_)
        : report_job(QStringLiteral("setting"), in_key_order(std::move(modems_)),
                     code_.isEmpty() ? QStringLiteral("all settings") : QStringLiteral("setting ") + code_),
          code(std::move(code_))
    {
    }

protected:
    int serve(int from, int want) override
    {
        RAM_modems* ram = RAM_modems::instance;
        const int end = qMin(total, from + want);
        QByteArray text;
        for (int i = from; i < end; ++i) {
            const uint32_t modem = modems.at(i);
            if (i > from) text += ',';
            text += '"';
            text += QByteArray::number(modem);
            text += "\":";
            if (!code.isEmpty()) {
                report_items::append_json(
                    text, QVariantMap{{code, ram ? ram->get_setting(modem, code) : QVariant()}});
            } else {
                QVariantMap all = ram ? ram->get_settings(modem) : QVariantMap();
                all.insert(QStringLiteral("DLMS"), parser_strova5::is_new_sw(modem));
                report_items::append_json(text, all);
            }
        }
        out.append_written(text);
        answered += end - from;
        return end - from;
    }
    QVariant conclude() override { return as_object(out.finish()); }
    bool reads_database() const override { return false; }

private:
    const QString code;
};

// "version_list": the selected modems grouped by their firmware and hardware texts.
class version_list_job : public report_job
{
public:
    explicit version_list_job(QList<uint32_t> modems_)
        : report_job(QStringLiteral("setting/version_list"), std::move(modems_), QStringLiteral("versions"))
    {
    }

protected:
    int serve(int from, int want) override
    {
        RAM_modems* ram = RAM_modems::instance;
        const int end = qMin(total, from + want);
        for (int i = from; i < end; ++i) {
            const uint32_t modem = modems.at(i);
            const QVariantMap version =
                ram ? ram->get_setting(modem, QStringLiteral("version")).toMap() : QVariantMap();
            add(sw, version.value(QStringLiteral("sw")).toString(), modem);
            add(hw, version.value(QStringLiteral("hw")).toString(), modem);
        }
        answered += end - from;
        return end - from;
    }
    bool reads_database() const override { return false; }

    QVariant conclude() override
    {
        // Anyone may ask, as often as he likes: the lines are counted beyond a burst.
        static log_limiter lim(QStringLiteral("version list"), LVL_EXC, 50, 1000);
        if (lim.pass(LVL_EXC)) {
            LOG_EXC << "sw versions" << sw.size();
            LOG_EXC << "hw versions" << hw.size();
        }
        QByteArray text = "{\"hw\":";
        write_groups(text, hw, false);
        text += ",\"sw\":";
        write_groups(text, sw, false);
        text += ",\"sw_size\":";
        write_groups(text, sw, true);
        text += '}';
        return QVariant::fromValue(api_json_text{text});
    }

private:
    struct group
    {
        QByteArray ids; // written, comma-separated
        int size = 0;
    };
    QMap<QString, group> sw, hw;

    static void add(QMap<QString, group>& groups, const QString& key, uint32_t modem)
    {
        group& g = groups[key];
        if (g.size++ > 0) g.ids += ',';
        g.ids += QByteArray::number(modem);
    }
    static void write_groups(QByteArray& text, const QMap<QString, group>& groups, bool sizes)
    {
        text += '{';
        for (auto it = groups.cbegin(); it != groups.cend(); ++it) {
            if (it != groups.cbegin()) text += ',';
            report_items::append_json(text, it.key());
            text += ':';
            if (sizes) {
                text += QByteArray::number(it->size);
            } else {
                text += '[';
                text += it->ids;
                text += ']';
            }
        }
        text += '}';
    }
};

} // namespace

std::unique_ptr<report_job> API_controller::make_setting(const QVariantMap& api_request)
{
    const QVariantMap qitems = api_request.value(QStringLiteral("qitems")).toMap();
    return std::make_unique<setting_job>(get_modems(qitems), qitems.value(QStringLiteral("code")).toString());
}

QVariant API_controller::api_setting(QVariantMap api_request)
{
    return make_setting(api_request)->run();
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

std::unique_ptr<report_job> API_controller::make_setting_version_list(const QVariantMap& api_request)
{
    return std::make_unique<version_list_job>(
        get_modems(api_request.value(QStringLiteral("qitems")).toMap()));
}

QVariant API_controller::api_setting_version_list(QVariantMap api_request)
{
    return make_setting_version_list(api_request)->run();
}
