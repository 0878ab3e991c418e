// The operator's API page is run as written: its configuration, its uplinks through the broker,
// and every curl line of its examples against the real daemon, each answer compared with the one
// printed under it. Times and command numbers are compared by shape, so the page cannot drift
// from what the daemon answers.
#include "api_daemon.h"

#include <QRegularExpression>
#include <cmath>

using namespace api_daemon;

namespace {

struct Example
{
    QString line;     // the curl line as printed, without "$ "
    QString expected; // the answer printed under it; empty: an empty body
};

struct Page
{
    QVariantMap config;
    QStringList uplinks;
    QList<Example> examples;
};

// Fenced blocks: ```json example-config, ```text example-uplinks, and ```console with
// "$ curl ..." lines, each followed by its answer.
Page read_page(const QString& path)
{
    Page page;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return page;
    QString block;
    QStringList body;
    for (const QString& line : QString::fromUtf8(f.readAll()).split('\n')) {
        if (line.startsWith("```")) {
            if (block.isNull()) {
                block = line.mid(3).trimmed();
                body.clear();
                continue;
            }
            if (block == "json example-config")
                page.config = QJsonDocument::fromJson(body.join('\n').toUtf8()).toVariant().toMap();
            else if (block == "text example-uplinks")
                page.uplinks = body;
            block = QString();
            continue;
        }
        if (block.isNull()) continue;
        body << line;
        if (block != "console") continue;
        if (line.startsWith("$ "))
            page.examples << Example{line.mid(2), QString()};
        else if (!page.examples.isEmpty())
            page.examples.last().expected += (page.examples.last().expected.isEmpty() ? "" : "\n") + line;
    }
    return page;
}

// Words of a shell line with its single and double quotes; "$NAME" inside double quotes or bare
// is taken from `vars`.
QStringList shell_words(const QString& line, const QMap<QString, QString>& vars)
{
    QStringList words;
    QString word;
    bool in_word = false;
    QChar quote;
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (quote.isNull() && c.isSpace()) {
            if (in_word) words << word;
            word.clear();
            in_word = false;
            continue;
        }
        in_word = true;
        if ((c == '\'' || c == '"') && (quote.isNull() || quote == c)) {
            quote = quote.isNull() ? c : QChar();
            continue;
        }
        if (c == '$' && quote != '\'') {
            int end = i + 1;
            while (end < line.size() && (line.at(end).isLetterOrNumber() || line.at(end) == '_'))
                ++end;
            word += vars.value(line.mid(i + 1, end - i - 1));
            i = end - 1;
            continue;
        }
        word += c;
    }
    if (in_word) words << word;
    return words;
}

bool is_time(double v)
{
    return v >= 1e9 && v < 4294967296.0;
}

// JSON numbers come back as whole or floating numbers by their text: one kind here.
int kind_of(const QVariant& v)
{
    switch (v.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return QMetaType::Double;
    default:
        return v.userType();
    }
}

// Compares a printed answer with a received one. Numbers that are UNIX times and texts that are
// date-times only need to be of that kind; command numbers (below "cmd_id", or keys already
// known as one) stand for the ones of this run, learned in `cmd_numbers`.
bool same_shape(const QVariant& want, const QVariant& got, bool in_cmd, QMap<QString, QString>& cmd_numbers,
                const QString& where, QString* why)
{
    static const QRegularExpression date_time("^\\d{4}\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d$");
    const auto fail = [&](const QString& text) {
        *why = where + ": " + text;
        return false;
    };
    if (kind_of(want) != kind_of(got))
        return fail(QString("%1 where %2 was printed").arg(got.typeName(), want.typeName()));
    switch (kind_of(want)) {
    case QMetaType::QVariantMap: {
        const QVariantMap w = want.toMap(), g = got.toMap();
        QVariantMap mapped;
        for (auto it = w.cbegin(); it != w.cend(); ++it)
            mapped.insert(cmd_numbers.value(it.key(), it.key()), it.value());
        if (mapped.keys() != g.keys())
            return fail(QString("keys %1, printed %2").arg(g.keys().join(','), mapped.keys().join(',')));
        for (auto it = mapped.cbegin(); it != mapped.cend(); ++it)
            if (!same_shape(it.value(), g.value(it.key()), in_cmd || it.key() == "cmd_id", cmd_numbers,
                            where + "." + it.key(), why))
                return false;
        return true;
    }
    case QMetaType::QVariantList: {
        const QVariantList w = want.toList(), g = got.toList();
        if (w.size() != g.size()) return fail(QString("%1 items, printed %2").arg(g.size()).arg(w.size()));
        for (int i = 0; i < w.size(); ++i)
            if (!same_shape(w.at(i), g.at(i), in_cmd, cmd_numbers, where + QString("[%1]").arg(i), why))
                return false;
        return true;
    }
    case QMetaType::Double: {
        const double w = want.toDouble(), g = got.toDouble();
        if (in_cmd) {
            const QString printed = QString::number(qint64(w)), now = QString::number(qint64(g));
            if (cmd_numbers.contains(printed) && cmd_numbers.value(printed) != now)
                return fail("command number " + now + " where " + cmd_numbers.value(printed) + " was before");
            cmd_numbers.insert(printed, now);
            return true;
        }
        if (is_time(w)) return is_time(g) || fail(QString("%1 is no time").arg(g));
        return std::fabs(w - g) <= 1e-9 * std::max(1.0, std::fabs(w)) ||
               fail(QString("%1, printed %2").arg(g).arg(w));
    }
    case QMetaType::QString:
        if (date_time.match(want.toString()).hasMatch())
            return date_time.match(got.toString()).hasMatch() || fail(got.toString() + " is no date-time");
        return want == got || fail(got.toString() + ", printed " + want.toString());
    default:
        return want == got || fail(got.toString() + ", printed " + want.toString());
    }
}

} // namespace

class tst_api_doc : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(testsupport::services_available(), "no throwaway services"); }

    void examples_answer_as_printed()
    {
        const Page page = read_page(QStringLiteral(STROVA_SOURCE_DIR "/docs/api.md"));
        QVERIFY2(!page.config.isEmpty() && !page.uplinks.isEmpty(), "no example set-up in docs/api.md");
        QVERIFY2(page.examples.size() >= 10, "the examples of docs/api.md were not found");

        QSqlDatabase db = testsupport::schema_database("st_api_doc", "doc");
        QVERIFY(db.isOpen());
        testsupport::amqp_peer(testsupport::service("STROVA_AMQP_URI"),
                               {"bind", "doc_dl", "doc_dl_seen", "#"});

        // The page's own port would collide with other daemons on this machine: the harness picks one.
        QVariantMap config = page.config;
        QVariantMap api = config.value("api").toMap();
        const QString printed_port = api.take("port").toString();
        config.insert("api", api);
        config.insert("rabbit", rabbit("doc_ul", "doc_dl"));
        Daemon d(config, 0, "st_api_doc");
        QVERIFY2(d.start(true), qPrintable(d.log()));

        publish("doc_ul", page.uplinks);
        QTRY_VERIFY_WITH_TIMEOUT(
            scalar(db, "SELECT COUNT(*) FROM modems_data").toInt() >= 1 &&
                scalar(db, "SELECT COUNT(*) FROM modems_event").toInt() >= 2 &&
                scalar(db, "SELECT COUNT(*) FROM modems_setting WHERE setting='sn'").toInt() >= 1,
            20000);

        const auto tokens = caller_tokens();
        // The page's period, FROM and TO, is the hour before and after its uplinks.
        const qint64 sent = QRegularExpression("\"time_detected\":(\\d+)")
                                .match(page.uplinks.join('\n'))
                                .captured(1)
                                .toLongLong();
        QVERIFY(sent > 0);
        const QMap<QString, QString> vars{{"USER_TOKEN", tokens.value("user")},
                                          {"ADMIN_TOKEN", tokens.value("admin")},
                                          {"FROM", QString::number(sent - 3600)},
                                          {"TO", QString::number(sent + 3600)}};
        QMap<QString, QString> cmd_numbers;
        static const QRegularExpression jsonp("^([A-Za-z_$][A-Za-z0-9_$.]*)\\((.*)\\)$",
                                              QRegularExpression::DotMatchesEverythingOption);
        for (const Example& e : page.examples) {
            QStringList words = shell_words(e.line, vars);
            QVERIFY2(words.value(0) == "curl", qPrintable(e.line));
            QStringList args;
            QString target;
            const QString origin = "http://127.0.0.1:" + printed_port;
            for (int i = 1; i < words.size(); ++i) {
                if (words[i] == "-s") continue;
                if (words[i].startsWith(origin)) {
                    target = words[i].mid(origin.size());
                    continue;
                }
                args << words[i];
            }
            QVERIFY2(target.startsWith("/api/"), qPrintable("no daemon URL in: " + e.line));
            // Command numbers of this run stand in for the printed ones.
            for (auto it = cmd_numbers.cbegin(); it != cmd_numbers.cend(); ++it)
                target.replace(QRegularExpression("(cmd_id=(?:\\d+,)*)" + it.key() + "\\b"),
                               "\\1" + it.value());

            // Commands reach their table with the next batched write; their states are read there.
            if (target.startsWith("/api/cmd/status"))
                for (const QString& number : cmd_numbers)
                    QTRY_VERIFY_WITH_TIMEOUT(
                        scalar(db, "SELECT COUNT(*) FROM modems_cmd WHERE cmd_id=" + number).toInt() == 1,
                        20000);

            const Reply r = d.get(target, args);
            QCOMPARE(r.status, 200);
            const QString got = QString::fromUtf8(r.body);
            const QString context = e.line + "\nanswered: " + got;
            if (e.expected.trimmed().isEmpty()) {
                QVERIFY2(got.isEmpty(), qPrintable(context));
                continue;
            }
            QString want_json = e.expected.trimmed(), got_json = got;
            const auto want_call = jsonp.match(want_json);
            if (want_call.hasMatch()) {
                const auto got_call = jsonp.match(got);
                QVERIFY2(got_call.hasMatch() && got_call.captured(1) == want_call.captured(1),
                         qPrintable(context));
                want_json = want_call.captured(2);
                got_json = got_call.captured(2);
            }
            QJsonParseError error;
            const QVariant want = QJsonDocument::fromJson(want_json.toUtf8(), &error).toVariant();
            QVERIFY2(error.error == QJsonParseError::NoError,
                     qPrintable("printed answer is no JSON: " + e.expected));
            QString why;
            QVERIFY2(same_shape(want, QJsonDocument::fromJson(got_json.toUtf8()).toVariant(), false,
                                cmd_numbers, "answer", &why),
                     qPrintable(context + "\n" + why));
        }
    }
};

QTEST_GUILESS_MAIN(tst_api_doc)
#include "tst_api_doc.moc"
