// Storage: uplinks into value tuples, the SQL text of values, and the JSON forms of an uplink.
#include "logger.h"
#include "parser_strova5.h"
#include "ram_modems.h"
#include "sql_exchange.h"

#include <QSet>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QHash>
#include <QLocale>
#include <QVarLengthArray>
#include <QVector>
#include <algorithm>
#include <initializer_list>
#include <cmath>

namespace {
const OBIS relay_state = obis_make_cde(96, 3, 0);
const OBIS relay_state_1 = obis_make_cde(96, 3, 1);
const OBIS event_columns[] = {obis_make_cde(12, 7, 0),  obis_make_cde(12, 7, 4),  obis_make_cde(96, 8, 10),
                              obis_make_cde(96, 12, 4), obis_make_cde(96, 12, 6), obis_make_cde(0, 0, 0)};

// A document with at least one member or element; "{}" and "[]" count as empty.
bool holds_data(const QJsonDocument& doc)
{
    return (doc.isObject() && !doc.object().isEmpty()) || (doc.isArray() && !doc.array().isEmpty());
}

QString number_text(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

// Decimal digits straight into `t`: tuples are built for every stored record, and a temporary
// string per number is most of their cost.
void append_number(QString& t, quint64 v)
{
    QChar digits[20];
    int n = 20;
    do {
        digits[--n] = QLatin1Char(char('0' + v % 10));
        v /= 10;
    } while (v);
    t.append(digits + n, 20 - n);
}

// "(" and the leading numbers of a reading's or an event's tuple, then its index_max.
void append_head(QString& t, std::initializer_list<quint64> numbers, uint16_t index_max)
{
    t += QLatin1Char('(');
    for (const quint64 n : numbers) {
        append_number(t, n);
        t += QLatin1String(", ");
    }
    if (index_max == 65535)
        t += QLatin1String("NULL");
    else
        append_number(t, index_max);
}
} // namespace

QString text_of(const QVariant& value)
{
    // Columns with a binary collation come as bytes; QVariant's own conversion stops at a NUL.
    if (value.userType() == QMetaType::QByteArray)
        return QString::fromUtf8(value.toByteArray());
    return value.toString();
}

QVariant json_to_variant(QVariant value)
{
    const QString text = text_of(value);
    // Only object or array text can hold a document; skip parsing everything else.
    for (const QChar c : text) {
        if (c.isSpace())
            continue;
        if (c != QLatin1Char('{') && c != QLatin1Char('['))
            return value;
        break;
    }
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    if (holds_data(doc))
        value = doc.toVariant();
    return value;
}

namespace {
// The JSON scalar that `text` spells, or an invalid variant when it spells none.
QVariant json_scalar(const QString& text)
{
    const QJsonDocument doc = QJsonDocument::fromJson((QLatin1Char('[') + text + QLatin1Char(']')).toUtf8());
    const QJsonArray a = doc.array();
    if (a.size() != 1 || a.at(0).isArray() || a.at(0).isObject()) return QVariant();
    const QJsonValue v = a.at(0);
    if (v.isDouble()) {
        // Whole numbers come back as the integers the registry held, not as doubles.
        const double d = v.toDouble();
        if (std::floor(d) == d && d >= -2147483648.0 && d <= 2147483647.0) return QVariant(int(d));
        if (std::floor(d) == d && d >= 0 && d <= 4294967295.0) return QVariant(uint(d));
        if (std::floor(d) == d && std::fabs(d) < 9007199254740992.0) return QVariant(qlonglong(d));
    }
    return v.isNull() ? QVariant::fromValue(nullptr) : v.toVariant();
}

bool is_text(const QVariant& v)
{
    return v.userType() == QMetaType::QString || v.userType() == QMetaType::QByteArray;
}
} // namespace

QString setting_to_text(const QVariant& value)
{
    const QString text = SQL_Exchange::json_or_text(value);
    if (!is_text(value)) return text;
    // A text is kept as it is only when it reads back as this very text: "42", "true", "[1,2]"
    // or "{\"a\":1}" would come back as a number, a list or a map.
    const QVariant back = setting_from_text(text);
    if (is_text(back) && text_of(back) == text) return text;
    const QByteArray a = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(a.mid(1, a.size() - 2));
}

QVariant setting_from_text(const QVariant& stored)
{
    const QVariant value = json_to_variant(stored);
    if (!is_text(value)) return value;
    const QVariant scalar = json_scalar(text_of(value));
    return scalar.isValid() ? scalar : value;
}

QString SQL_Exchange::sql_text(const QString& text)
{
    // No form here depends on the session's sql_mode: the client library reconnects silently,
    // and the fresh session carries the server's own mode (NO_BACKSLASH_ESCAPES, ANSI_QUOTES)
    // until the next run sets it again. A quote is doubled, which every mode reads the same.
    // A backslash (and NUL) means different things under different modes, so a text holding one
    // goes as UTF-8 in a hex literal, which every mode reads byte for byte.
    bool plain = true;
    for (const QChar c : text) {
        if (c == QLatin1Char('\\') || c.unicode() == 0) {
            plain = false;
            break;
        }
    }
    if (!plain)
        return QLatin1String("_utf8mb4 X'") + QString::fromLatin1(text.toUtf8().toHex()) + QLatin1Char('\'');
    QString out;
    out.reserve(text.size() + 16);
    out += QLatin1Char('\'');
    for (const QChar c : text) {
        if (c == QLatin1Char('\'')) out += QLatin1Char('\'');
        out += c;
    }
    out += QLatin1Char('\'');
    return out;
}

QString SQL_Exchange::sql_number(const QVariant& value)
{
    switch (int(value.userType())) {
    case QMetaType::Bool: return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Char:
    case QMetaType::SChar: return QString::number(value.toLongLong());
    case QMetaType::UInt:
    case QMetaType::UShort:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UChar: return QString::number(value.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::QString:
    case QMetaType::QByteArray: {
        // Text only when it is a number; anything else would break the statement.
        bool ok = false;
        const double d = value.userType() == QMetaType::QString ? value.toString().toDouble(&ok)
                         : value.userType() == QMetaType::QByteArray ? value.toByteArray().toDouble(&ok)
                                                                     : (ok = true, value.toDouble());
        if (ok && std::isfinite(d))
            return number_text(d);
        return QStringLiteral("NULL");
    }
    default: return QStringLiteral("NULL");
    }
}

QString SQL_Exchange::json_or_text(const QVariant& value)
{
    const QJsonDocument doc = QJsonDocument::fromVariant(value);
    if (holds_data(doc))
        return QString::fromUtf8(doc.toJson(QJsonDocument::Compact));
    return text_of(value);
}

namespace {
void append_hex(QString& out, const OBIS& code)
{
    static const char digits[] = "0123456789ABCDEF";
    for (const uint8_t b : {code.A, code.B, code.C, code.D, code.E, code.F}) {
        out += QLatin1Char(digits[b >> 4]);
        out += QLatin1Char(digits[b & 15]);
    }
}

void append_json_value(QString& out, const QVariant& v)
{
    switch (int(v.userType())) {
    case QMetaType::Int:
    case QMetaType::LongLong: out += QString::number(v.toLongLong()); return;
    case QMetaType::UInt:
    case QMetaType::ULongLong: out += QString::number(v.toULongLong()); return;
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = v.toDouble();
        out += std::isfinite(d) ? number_text(d) : QStringLiteral("null");
        return;
    }
    default: {
        // Texts, lists, maps: Qt writes them; the one-element array is cut off again.
        const QByteArray a = QJsonDocument(QJsonArray{QJsonValue::fromVariant(v)}).toJson(QJsonDocument::Compact);
        out += QString::fromUtf8(a.mid(1, a.size() - 2));
    }
    }
}

// Position of each value column by the code's 48-bit number.
const QHash<uint64_t, int>& column_of()
{
    static const QHash<uint64_t, int> index = [] {
        QHash<uint64_t, int> h;
        for (int i = 0; i < SQL_Exchange::obis_list.size(); ++i)
            h.insert(SQL_Exchange::obis_list.at(i).be48(), i);
        return h;
    }();
    return index;
}
// A record holding a reactive energy register of the columns the neighbouring energy record is
// looked for by.
bool has_reactive(const Ul_data_record& rec)
{
    static const QSet<int> columns = [] {
        QSet<int> out;
        for (int i = 0; i < SQL_Exchange::obis_columns.size(); ++i)
            if (QStringList{"OBIS_3_8_0", "OBIS_3_8_1", "OBIS_4_8_0", "OBIS_4_8_1"}.contains(
                    SQL_Exchange::obis_columns.at(i).value(1)))
                out.insert(i);
        return out;
    }();
    for (auto it = rec.values.cbegin(); it != rec.values.cend(); ++it)
        if (columns.contains(column_of().value(it.key().be48(), -1))) return true;
    return false;
}
} // namespace

QString SQL_Exchange::json_of_values(const QMap<OBIS, QVariant>& values)
{
    // Written by hand: this runs for every stored record, and Qt's document model costs several
    // times more for the same compact text.
    QString out;
    out.reserve(values.size() * 28 + 2);
    out += QLatin1Char('{');
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        if (it != values.cbegin())
            out += QLatin1Char(',');
        out += QLatin1Char('"');
        append_hex(out, it.key());
        out += QLatin1String("\":");
        append_json_value(out, it.value());
    }
    out += QLatin1Char('}');
    return out;
}

QString SQL_Exchange::data_tuple(const Parser_ul_app& ul, const Ul_data_record& rec)
{
    static const int columns = obis_list.size();
    // A record fills few of the columns: the runs of NULL between them are copied whole.
    static const QString nulls = QStringLiteral(", NULL").repeated(columns);
    QVarLengthArray<QPair<int, QVariant>, 8> cells;
    for (auto it = rec.values.cbegin(); it != rec.values.cend(); ++it) {
        const int i = column_of().value(it.key().be48(), -1);
        if (i >= 0)
            cells.append(qMakePair(i, it.value()));
    }
    std::sort(cells.begin(), cells.end(),
              [](const QPair<int, QVariant>& a, const QPair<int, QVariant>& b) { return a.first < b.first; });
    QString t;
    t.reserve(420);
    append_head(t, {ul.modem_id, rec.ts, ul.ts_get, ul.header, rec.index}, rec.index_max);
    int next = 0; // the first column not yet written
    for (const auto& cell : cells) {
        t += QStringRef(&nulls, 0, 6 * (cell.first - next));
        t += QLatin1String(", ");
        t += sql_number(cell.second);
        next = cell.first + 1;
    }
    t += QStringRef(&nulls, 0, 6 * (columns - next));
    t += QLatin1String(", ");
    t += rec.values.isEmpty() ? QStringLiteral("NULL") : sql_text(json_of_values(rec.values));
    t += QLatin1Char(')');
    return t;
}

QString SQL_Exchange::event_tuple(const Parser_ul_app& ul, const Ul_event_record& ev)
{
    QString t;
    t.reserve(160);
    append_head(t, {ul.modem_id, ev.ts, ul.ts_get, ev.type.E, ev.index}, ev.index_max);
    t += QLatin1String(", ");
    append_number(t, ev.event);
    t += QLatin1String(", ");
    append_number(t, ev.worktime);
    for (const OBIS& code : event_columns) {
        t += QLatin1String(", ");
        const auto it = ev.values.constFind(code);
        t += it == ev.values.cend() ? QStringLiteral("NULL") : sql_number(it.value());
    }
    t += QLatin1String(", ");
    t += ev.values.isEmpty() ? QStringLiteral("NULL") : sql_text(json_of_values(ev.values));
    t += QLatin1Char(')');
    return t;
}

QString SQL_Exchange::setting_tuple(uint32_t modem_id, const Ul_setting& setting)
{
    const QString data = setting.value.isNull() ? QString() : setting_to_text(setting.value);
    return QLatin1Char('(') + QString::number(modem_id) + QLatin1String(", ") + QString::number(setting.ts) +
           QLatin1String(", 0, ") + sql_text(setting.key) + QLatin1String(", ") + sql_text(data) + QLatin1Char(')');
}

bool SQL_Exchange::keep_curr_record(uint32_t modem_id, const Ul_data_record& rec)
{
    RAM_modems* ram = RAM_modems::instance;
    modem_record* modem = ram->find_modem(modem_id);
    if (!modem)
        modem = ram->add_modem(modem_id, QVariantMap());
    if (!modem)
        return true;
    QMap<uint32_t, Ul_data_record>& recent = modem->curr_data;
    bool store = false;
    if (!recent.isEmpty()) {
        const Ul_data_record& previous = recent.last();
        if (previous.values.contains(relay_state)) {
            const auto changed = [&](const OBIS& code) {
                const auto a = previous.values.constFind(code);
                const auto b = rec.values.constFind(code);
                const bool in_a = a != previous.values.cend();
                const bool in_b = b != rec.values.cend();
                return in_a != in_b || (in_a && a.value() != b.value());
            };
            store = changed(relay_state) || changed(relay_state_1);
        }
        if (recent.size() >= 10)
            recent.erase(recent.begin());
    }
    recent.insert(rec.ts, rec);
    return store;
}

void SQL_Exchange::slot_UL(Parser_ul_app ul)
{
    RAM_modems* ram = RAM_modems::instance;
    const bool curr_in_ram = ram && ram->is_no_db(QStringLiteral("curr"));
    for (const Ul_data_record& rec : qAsConst(ul.ul_datas)) {
        if (curr_in_ram && rec.type == 254 && !keep_curr_record(ul.modem_id, rec))
            continue;
        data_batch.tuples << data_tuple(ul, rec);
        if (ram && has_reactive(rec)) {
            // A modem met first here gets its record now, so that what is learned of it later
            // from the table cannot leave out this row, which may not be written by then.
            modem_record* modem = ram->find_modem(ul.modem_id);
            if (!modem) modem = ram->add_modem(ul.modem_id, QVariantMap());
            modem->note_reactive(ul.header, rec.ts, rec.ts);
        }
    }
    for (const Ul_event_record& ev : qAsConst(ul.ul_events)) {
        if (ul.modem_id < 2)
            queue_own_event(event_tuple(ul, ev));
        else
            event_batch.tuples << event_tuple(ul, ev);
    }
    for (const Ul_setting& s : qAsConst(ul.ul_settings)) {
        if (ram)
            ram->slot_set_setting(ul.modem_id, s.key, s.value, false);
        setting_batch.tuples << setting_tuple(ul.modem_id, s);
        if (statuses_out || !pending_statuses.isEmpty())
            reported_at.insert(qMakePair(ul.modem_id, s.key), ++setting_seq);
    }
    // The cap closes the intake at once: a save may be seconds away while the server is gone.
    if (intake_open && qMax(qMax(data_batch.tuples.size(), event_batch.tuples.size()), setting_batch.tuples.size()) +
                               writer_rows - run_own_rows >=
                           pending_cap)
        check_intake();
}

QString SQL_Exchange::own_event_key(const QString& tuple)
{
    // "(modem, ts, ts_get, type, index, index_max, event, ...": modem, type, second and code.
    const QVector<QStringRef> f = tuple.midRef(1).split(QLatin1String(", "));
    return f.size() < 7 ? tuple
                        : f.at(0) + QLatin1Char(':') + f.at(3) + QLatin1Char(':') + f.at(1) + QLatin1Char(':') + f.at(6);
}

void SQL_Exchange::queue_own_event(const QString& tuple)
{
    const QString key = own_event_key(tuple);
    if (own_event_keys.contains(key)) return; // the same row is waiting already
    if (own_event_batch.tuples.size() + run_own_rows >= own_event_cap) {
        if (own_event_lines.pass())
            LOG_WRN << "the driver's own events wait for the database at the cap of" << own_event_cap
                    << "rows; further ones are dropped:" << log_cut(tuple, 200);
        return;
    }
    own_event_keys.insert(key);
    own_event_batch.tuples << tuple;
}

QVariantMap SQL_Exchange::ul_to_json(const Parser_ul_app& ul)
{
    QVariantMap out;
    out.insert(QStringLiteral("header"), int(ul.header));
    out.insert(QStringLiteral("modem_id"), uint(ul.modem_id));
    out.insert(QStringLiteral("payload"), QString::fromLatin1(ul.payload.toHex().toUpper()));
    out.insert(QStringLiteral("ts_get"), uint(ul.ts_get));

    QVariantList datas;
    for (const Ul_data_record& rec : ul.ul_datas) {
        QVariantMap m;
        m.insert(QStringLiteral("ts"), uint(rec.ts));
        m.insert(QStringLiteral("index"), int(rec.index));
        m.insert(QStringLiteral("index_ext"), int(rec.index_max));
        for (auto it = rec.values.cbegin(); it != rec.values.cend(); ++it)
            m.insert(obis_to_string(it.key()), it.value());
        datas << m;
    }
    if (!datas.isEmpty())
        out.insert(QStringLiteral("ul_datas"), datas);

    QVariantList events;
    for (const Ul_event_record& ev : ul.ul_events) {
        QVariantMap m;
        m.insert(QStringLiteral("ts"), uint(ev.ts));
        m.insert(QStringLiteral("index"), int(ev.index));
        m.insert(QStringLiteral("index_ext"), int(ev.index_max));
        m.insert(QStringLiteral("type"), obis_to_string(ev.type));
        m.insert(QStringLiteral("event"), uint(ev.event));
        m.insert(QStringLiteral("work"), uint(ev.worktime));
        for (auto it = ev.values.cbegin(); it != ev.values.cend(); ++it)
            m.insert(obis_to_string(it.key()), it.value());
        events << m;
    }
    if (!events.isEmpty())
        out.insert(QStringLiteral("ul_events"), events);

    QVariantMap settings;
    for (const Ul_setting& s : ul.ul_settings)
        settings.insert(s.key, s.value);
    if (!settings.isEmpty())
        out.insert(QStringLiteral("ul_settings"), settings);

    LOG_EXC << QJsonDocument::fromVariant(out).toJson(QJsonDocument::Indented).constData();
    return out;
}
