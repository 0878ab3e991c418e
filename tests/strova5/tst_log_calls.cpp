// Every log call on a road that clients reach passes a limiter, whatever its level: the sources
// listed in data/log_calls.txt are read, and a call that passes none fails unless the list names
// it with the reason it cannot repeat at a client's will.
#include "testsupport.h"

#include <QDir>
#include <QRegularExpression>
#include <QtTest>

namespace {

struct Call
{
    int line = 0;
    QString text; // the call's statement as written, up to its end
    bool limited = false;
};

// Comments and the insides of string and character literals become blanks (line feeds stay),
// so that braces, semicolons and names in them do not count.
QString code_only(const QString& src)
{
    QString out = src;
    const int n = src.size();
    for (int i = 0; i < n;) {
        const QChar c = src.at(i);
        auto blank = [&](int from, int to) {
            for (int k = from; k < to && k < n; ++k)
                if (out.at(k) != QLatin1Char('\n')) out[k] = QLatin1Char(' ');
        };
        if (c == QLatin1Char('/') && i + 1 < n && src.at(i + 1) == QLatin1Char('/')) {
            int end = src.indexOf(QLatin1Char('\n'), i);
            if (end < 0) end = n;
            blank(i, end);
            i = end;
        } else if (c == QLatin1Char('/') && i + 1 < n && src.at(i + 1) == QLatin1Char('*')) {
            int end = src.indexOf(QLatin1String("*/"), i + 2);
            end = end < 0 ? n : end + 2;
            blank(i, end);
            i = end;
        } else if (c == QLatin1Char('R') && src.midRef(i, 3) == QLatin1String("R\"(")) {
            int end = src.indexOf(QLatin1String(")\""), i + 3);
            end = end < 0 ? n : end;
            blank(i + 3, end);
            i = end + 2;
        } else if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            int k = i + 1;
            while (k < n && src.at(k) != c && src.at(k) != QLatin1Char('\n'))
                k += src.at(k) == QLatin1Char('\\') ? 2 : 1;
            blank(i + 1, k);
            i = k + 1;
        } else {
            ++i;
        }
    }
    return out;
}

// The log calls of one source and whether each passes a limiter: LOG_LIMITED itself, or a guard
// (its statement's condition or that of a block around it) that asks a limiter's pass(), one of
// `helpers`, or a variable set from a pass().
QList<Call> log_calls(const QString& src, const QStringList& helpers)
{
    static const QRegularExpression call(
        QStringLiteral("\\b(LOG_LIMITED|STROVA_LOG|LOG_(EXC|ERR|WRN|NTC|DBG|TRC)|qWarning|qDebug|qCritical|"
                       "qInfo|log_write)\\b"));
    static const QRegularExpression asks_pass(QStringLiteral("\\bpass\\s*\\("));
    static const QRegularExpression set_from_pass(QStringLiteral("\\b(\\w+)\\s*=\\s*[^;=]*\\bpass\\s*\\("));
    const QString code = code_only(src);
    QStringList limited_vars;
    for (auto it = set_from_pass.globalMatch(code); it.hasNext();)
        limited_vars << it.next().captured(1);
    auto limits = [&](const QString& guard) {
        if (guard.contains(asks_pass)) return true;
        for (const QString& name : helpers + limited_vars)
            if (guard.contains(QRegularExpression(QStringLiteral("\\b%1\\b").arg(name)))) return true;
        return false;
    };

    QList<Call> out;
    struct Block
    {
        QString header;
        int parens;
    };
    QList<Block> blocks;
    int statement = 0, parens = 0, line = 1;
    auto next_call = call.globalMatch(code);
    QRegularExpressionMatch pending = next_call.hasNext() ? next_call.next() : QRegularExpressionMatch();
    for (int i = 0; i < code.size(); ++i) {
        while (pending.hasMatch() && pending.capturedStart() == i) {
            Call c;
            c.line = line;
            int end = i, depth = 0;
            while (end < code.size() && !(depth == 0 && code.at(end) == QLatin1Char(';'))) {
                if (code.at(end) == QLatin1Char('(')) ++depth;
                if (code.at(end) == QLatin1Char(')')) --depth;
                ++end;
            }
            c.text = src.mid(i, end - i).simplified();
            QString guard = code.mid(statement, i - statement);
            for (const Block& b : qAsConst(blocks))
                guard += QLatin1Char('\n') + b.header;
            c.limited = pending.captured(1) == QLatin1String("LOG_LIMITED") || limits(guard);
            out << c;
            pending = next_call.hasNext() ? next_call.next() : QRegularExpressionMatch();
        }
        const QChar ch = code.at(i);
        if (ch == QLatin1Char('\n')) ++line;
        if (ch == QLatin1Char('(')) ++parens;
        if (ch == QLatin1Char(')')) --parens;
        if (ch == QLatin1Char('{')) {
            blocks.append({code.mid(statement, i - statement), parens});
            parens = 0;
            statement = i + 1;
        } else if (ch == QLatin1Char('}')) {
            if (!blocks.isEmpty()) parens = blocks.takeLast().parens;
            statement = i + 1;
        } else if (ch == QLatin1Char(';') && parens == 0) {
            statement = i + 1;
        }
    }
    return out;
}

QStringList scanned_files(const QDir& root, const QString& entry)
{
    const QFileInfo info(root.filePath(entry));
    QStringList out;
    if (info.isDir()) {
        for (const QString& f : QDir(info.filePath()).entryList({"*.cpp", "*.h"}, QDir::Files, QDir::Name))
            out << entry + "/" + f;
        return out;
    }
    const QDir dir(info.path());
    for (const QString& f : dir.entryList({info.fileName()}, QDir::Files, QDir::Name))
        out << root.relativeFilePath(dir.filePath(f));
    return out;
}

} // namespace

class tst_log_calls : public QObject
{
    Q_OBJECT

private slots:
    // The scan itself: what it calls limited and what not, on sources written the ways the
    // daemon's are.
    void scan_tells_limited_from_bare_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("verdicts"); // one letter a call: l limited, b bare
        QTest::newRow("bare") << "void f() { LOG_EXC << \"x\"; }"
                              << "b";
        QTest::newRow("macro") << "void f() { LOG_LIMITED(LVL_EXC, \"k\") << 1; }"
                               << "l";
        QTest::newRow("guarded") << "void f() { if (lim.pass(LVL_WRN)) LOG_WRN << 1; LOG_WRN << 2; }"
                                 << "lb";
        QTest::newRow("block") << "void f() { if (lim.pass()) { LOG_EXC << 1; LOG_EXC << 2; } LOG_EXC << 3; }"
                               << "llb";
        QTest::newRow("variable") << "void f() { const bool say = x().pass(4); if (say) LOG_NTC << 1; }"
                                  << "l";
        QTest::newRow("level test is no limiter") << "void f() { if (log_passes(5)) LOG_DBG << 1; }"
                                                  << "b";
        QTest::newRow("helper") << "void f() { if (lineWanted(\"k\", 3)) qWarning(\"x\"); }"
                                << "l";
        QTest::newRow("else branch")
            << "void f() { if (a) g(); else if (lineWanted(\"k\", 5)) qDebug() << 1; }"
            << "l";
        QTest::newRow("after a guarded loop") << "void f() { for (int i = 0; i < 3; ++i) { if (l.pass()) "
                                                 "LOG_EXC << i; } LOG_EXC << 9; }"
                                              << "lb";
        QTest::newRow("words in strings and comments")
            << "void f() { g(\"pass(\"); // pass(\n LOG_EXC << 1; }"
            << "b";
        QTest::newRow("lambda in a call") << "void f() { connect(a, b, [] { LOG_WRN << 1; }); }"
                                          << "b";
    }
    void scan_tells_limited_from_bare()
    {
        QFETCH(QString, source);
        QFETCH(QString, verdicts);
        QString got;
        for (const Call& c : log_calls(source, {"lineWanted"}))
            got += c.limited ? 'l' : 'b';
        QCOMPARE(got, verdicts);
    }

    // The daemon's own sources.
    void every_call_on_a_client_road_is_limited()
    {
        const QString list = VECTORS("log_calls.txt");
        const QDir root(QStringLiteral(STROVA_SOURCE_DIR));
        QStringList helpers;
        for (const testsupport::Vector& v : testsupport::read_vectors(list, "helpers"))
            helpers << v.name;
        QList<testsupport::Vector> exempt = testsupport::read_vectors(list, "exempt");
        QVector<int> used(exempt.size());
        QStringList bare;
        int calls = 0, files = 0;
        for (const testsupport::Vector& entry : testsupport::read_vectors(list, "scan")) {
            const QStringList found = scanned_files(root, entry.name);
            QVERIFY2(!found.isEmpty(), qPrintable("nothing to scan at " + entry.name));
            for (const QString& name : found) {
                QFile f(root.filePath(name));
                QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(name));
                ++files;
                for (const Call& c : log_calls(QString::fromUtf8(f.readAll()), helpers)) {
                    ++calls;
                    if (c.limited) continue;
                    bool listed = false;
                    for (int k = 0; k < exempt.size() && !listed; ++k) {
                        if (exempt[k].name == name && c.text.contains(exempt[k].fields.value(0))) {
                            listed = true;
                            ++used[k];
                        }
                    }
                    if (!listed)
                        bare << QStringLiteral("%1:%2: %3").arg(name).arg(c.line).arg(c.text.left(120));
                }
            }
        }
        qInfo("%d log calls in %d files", calls, files);
        for (const QString& b : qAsConst(bare))
            qWarning("passes no limiter: %s", qPrintable(b));
        QVERIFY2(bare.isEmpty(), qPrintable(QStringLiteral("%1 log calls pass no limiter").arg(bare.size())));
        // A listed call that is gone, or now limited, leaves the list.
        for (int k = 0; k < exempt.size(); ++k)
            QVERIFY2(used[k] > 0, qPrintable("listed but not found bare: " + exempt[k].name + " | " +
                                             exempt[k].fields.value(0)));
    }
};

QTEST_GUILESS_MAIN(tst_log_calls)
#include "tst_log_calls.moc"
