// CP16/CP24/CP32/CP56 time tags: exact vectors, a whole century against python3's calendar.timegm,
// and setters that keep every other bit.

#include "iec60870_time.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QtTest>
#include <cstring>
#include <functional>

class tst_iec104_time : public QObject
{
    Q_OBJECT

private slots:
    void vectors_data();
    void vectors();
    void century_against_timegm();
    void setters_keep_other_bits();
    void cp24_arithmetic();
};

void tst_iec104_time::vectors_data()
{
    testsupport::vector_rows(VECTORS("iec104_time.txt"));
}

void tst_iec104_time::vectors()
{
    QFETCH(QStringList, f);
    const quint64 ms = f[0].toULongLong(), back = f[2].toULongLong();
    const QByteArray bytes = testsupport::hex(f[1]);
    sCp56Time2a t;
    std::memset(&t, 0xFF, sizeof t);
    QCOMPARE(cp56_create_from_ms_timestamp(&t, ms), &t);
    QCOMPARE(testsupport::hex_of(QByteArray(reinterpret_cast<char*>(t.encoded_value), 7)),
             testsupport::hex_of(bytes));
    QCOMPARE(quint64(cp56_to_ms_timestamp(&t)), back);
    QCOMPARE(cp56_get_day_of_week(&t), 0);
    QVERIFY(!cp56_is_invalid(&t) && !cp56_is_substituted(&t) && !cp56_is_summer_time(&t));

    sCp32Time2a t32;
    cp32_create(&t32);
    cp32_set_from_ms_timestamp(&t32, ms);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(t32.encoded_value), 4), bytes.left(4));
}

// Every day of 2000-2099 at several times of day: both directions agree with calendar.timegm.
void tst_iec104_time::century_against_timegm()
{
    const char* script =
        "import calendar, datetime\n"
        "d = datetime.date(2000, 1, 1)\n"
        "while d.year < 2100:\n"
        "    for h, m, s, ms in ((0, 0, 0, 0), (6, 7, 8, 9), (12, 34, 56, 789), (23, 59, 59, 999)):\n"
        "        t = calendar.timegm((d.year, d.month, d.day, h, m, s)) * 1000 + ms\n"
        "        print(d.year, d.month, d.day, h, m, s, ms, t)\n"
        "    d += datetime.timedelta(days=1)\n";
    QString error;
    const QList<QByteArray> lines = testsupport::run_tool("python3", {"-c", script}, QByteArray(), &error).split('\n');
    QVERIFY2(error.isEmpty(), qPrintable(error));
    int checked = 0;
    for (const QByteArray& line : lines) {
        const QList<QByteArray> v = line.split(' ');
        if (v.size() != 8) continue;
        const quint64 ms = v[7].toULongLong();
        sCp56Time2a t;
        cp56_create_from_ms_timestamp(&t, ms);
        if (cp56_get_year(&t) != v[0].toInt() - 2000 || cp56_get_month(&t) != v[1].toInt() ||
            cp56_get_day_of_month(&t) != v[2].toInt() || cp56_get_hour(&t) != v[3].toInt() ||
            cp56_get_minute(&t) != v[4].toInt() || cp56_get_second(&t) != v[5].toInt() ||
            cp56_get_millisecond(&t) != v[6].toInt())
            QFAIL(qPrintable("fields of " + line));
        if (cp56_to_ms_timestamp(&t) != ms) QFAIL(qPrintable("milliseconds of " + line));
        checked++;
    }
    QCOMPARE(checked, 36525 * 4);
}

// Each setter on random bytes changes only its own bits and reads back masked.
void tst_iec104_time::setters_keep_other_bits()
{
    struct Setter
    {
        const char* name;
        int byte;
        uint8_t mask;
        std::function<void(Cp56Time2a, int)> set;
        std::function<int(Cp56Time2a)> get;
        int value_mask;
    };
    const Setter setters[] = {
        {"minute", 2, 0x3F, cp56_set_minute, cp56_get_minute, 63},
        {"invalid", 2, 0x80, [](Cp56Time2a t, int v) { cp56_set_invalid(t, v & 1); }, cp56_is_invalid, 1},
        {"substituted", 2, 0x40, [](Cp56Time2a t, int v) { cp56_set_substituted(t, v & 1); },
         cp56_is_substituted, 1},
        {"hour", 3, 0x1F, cp56_set_hour, cp56_get_hour, 31},
        {"summer", 3, 0x80, [](Cp56Time2a t, int v) { cp56_set_summer_time(t, v & 1); }, cp56_is_summer_time,
         1},
        {"day", 4, 0x1F, cp56_set_day_of_month, cp56_get_day_of_month, 31},
        {"weekday", 4, 0xE0, cp56_set_day_of_week, cp56_get_day_of_week, 7},
        {"month", 5, 0x0F, cp56_set_month, cp56_get_month, 15},
    };
    QRandomGenerator rng(2404);
    for (int round = 0; round < 2000; round++) {
        for (const Setter& s : setters) {
            sCp56Time2a t;
            for (auto& b : t.encoded_value)
                b = uint8_t(rng.bounded(256));
            sCp56Time2a before = t;
            const int value = rng.bounded(256);
            s.set(&t, value);
            for (int i = 0; i < 7; i++) {
                const uint8_t keep = i == s.byte ? uint8_t(~s.mask) : 0xFF;
                if ((t.encoded_value[i] & keep) != (before.encoded_value[i] & keep))
                    QFAIL(qPrintable(QString("%1 changed byte %2").arg(s.name).arg(i)));
            }
            QCOMPARE(s.get(&t), value & s.value_mask);
        }
        // The year keeps bit 7 of its byte and is taken modulo 100.
        sCp56Time2a t;
        for (auto& b : t.encoded_value)
            b = uint8_t(rng.bounded(256));
        const uint8_t high = t.encoded_value[6] & 0x80;
        const int year = rng.bounded(1000);
        cp56_set_year(&t, year);
        QCOMPARE(cp56_get_year(&t), year % 100);
        QCOMPARE(uint8_t(t.encoded_value[6] & 0x80), high);
    }
    // The worked example: minute 70 keeps the substituted and invalid bits.
    sCp56Time2a t = {{0, 0, 0xC0, 0, 0, 0, 0}};
    cp56_set_minute(&t, 70);
    QCOMPARE(t.encoded_value[2], uint8_t(0xC6));
}

void tst_iec104_time::cp24_arithmetic()
{
    sCp24Time2a t = {{0x6E, 0xB2, 0x00}}; // 45678
    cp24_set_second(&t, 30);
    QCOMPARE(cp24_get_millisecond(&t) + cp24_get_second(&t) * 1000, 30678);
    cp24_set_millisecond(&t, 7);
    QCOMPARE(cp24_get_millisecond(&t) + cp24_get_second(&t) * 1000, 30007);
    sCp16Time2a d;
    cp16_set_ms(&d, 65535);
    QCOMPARE(cp16_get_ms(&d), 65535);
    QCOMPARE(cp16_get_encoded_value(&d)[0], uint8_t(0xFF));
}

QTEST_APPLESS_MAIN(tst_iec104_time)
#include "tst_iec104_time.moc"
