// What the configuration file may hold: switches and the keys the daemon does not read.
#include "config_keys.h"

#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QtTest>

class tst_config_keys : public QObject
{
    Q_OBJECT

    static QVariantMap json(const char* text) { return QJsonDocument::fromJson(text).toVariant().toMap(); }

private slots:
    void switches_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<bool>("on");
        QTest::newRow("absent") << "{}" << false;
        QTest::newRow("false") << R"({"k": false})" << false;
        QTest::newRow("0") << R"({"k": 0})" << false;
        QTest::newRow("0.0") << R"({"k": 0.0})" << false;
        QTest::newRow("null") << R"({"k": null})" << false;
        QTest::newRow("true") << R"({"k": true})" << true;
        QTest::newRow("1") << R"({"k": 1})" << true;
        QTest::newRow("empty object") << R"({"k": {}})" << true;
        QTest::newRow("text") << R"({"k": "no"})" << true;
    }
    void switches()
    {
        QFETCH(QString, section);
        QFETCH(bool, on);
        QCOMPARE(config_switch(json(section.toUtf8().constData()), "k"), on);
    }

    // Unknown keys at any depth are named by their path; free-form content is not looked into.
    void unknown_keys_named()
    {
        const QVariantMap cfg = json(R"({"log_level": 4, "loglevel": 3, "zzzzzzzz": 1,
            "api": {"whitelist_modems": [1], "authorization": [{"user": "u", "anything": 1}], "sw": {"nme": "x"}},
            "sql": {"timers": {"data_ms": 200, "datams": 1}},
            "iec104": {"port": 1},
            "RAM": {"no_db": ["cmd"], "max_busyness": {"DL_PSK_500": 70}}})");
        QStringList unknown = config_unknown_keys(cfg);
        unknown.sort();
        QCOMPARE(unknown, (QStringList{"api.sw.nme (did you mean api.sw.name?)",
                                       "api.whitelist_modems (did you mean api.whilelist_modems?)", "iec104.port",
                                       "loglevel (did you mean log_level?)",
                                       "sql.timers.datams (did you mean sql.timers.data_ms?)", "zzzzzzzz"}));
    }

    // Every key the README documents is one the daemon reads.
    void documented_keys_known()
    {
        QFile readme(QFINDTESTDATA("../../README.md"));
        QVERIFY(readme.open(QIODevice::ReadOnly));
        const QRegularExpression row("^\\| (`[A-Za-z0-9_]+`(?:\\.`[A-Za-z0-9_]+`)*) \\|",
                                     QRegularExpression::MultilineOption);
        QVariantMap cfg;
        int rows = 0;
        for (auto it = row.globalMatch(QString::fromUtf8(readme.readAll())); it.hasNext(); ++rows) {
            const QStringList path = it.next().captured(1).remove('`').split('.');
            // Nested maps down to the key, each level merged into what is there.
            std::function<void(QVariantMap&, int)> put = [&](QVariantMap& m, int i) {
                if (i == path.size() - 1) {
                    if (!m.contains(path[i])) m.insert(path[i], 1);
                    return;
                }
                QVariantMap inner = m.value(path[i]).toMap();
                put(inner, i + 1);
                m.insert(path[i], inner);
            };
            put(cfg, 0);
        }
        QVERIFY(rows > 20);
        QCOMPARE(config_unknown_keys(cfg), QStringList());
    }
};

QTEST_GUILESS_MAIN(tst_config_keys)
#include "tst_config_keys.moc"
