// tshark's IEC 104 dissector as an independent reader of what the codec encodes: one I-frame per
// type (and a sequence ASDU where the type honours SQ), written to a pcap with text2pcap.

#include "iec104_samples.h"
#include "testsupport.h"

#include <QtEndian>
#include <QStandardPaths>
#include <QtTest>

using namespace iec104test;

namespace {

struct Sent
{
    int type;
    bool sequence;
    QList<QVariantMap> objects;
};

QByteArray i_frame(Asdu asdu, int ns)
{
    uint8_t buffer[256];
    sStaticFrame frame;
    Frame f = static_frame_init(&frame, buffer, 6, sizeof buffer);
    asdu_encode(asdu, f);
    const int size = frame_get_size(f);
    buffer[0] = 0x68;
    buffer[1] = uint8_t(size - 2);
    buffer[2] = uint8_t((ns % 128) * 2);
    buffer[3] = uint8_t(ns / 128);
    buffer[4] = buffer[5] = 0;
    return QByteArray(reinterpret_cast<char*>(buffer), size);
}

bool same_value(const QVariant& ours, const QString& theirs)
{
    if (ours.userType() == QMetaType::Float || ours.userType() == QMetaType::Double)
        return qAbs(ours.toDouble() - theirs.toDouble()) <= 1e-4 * qMax(1.0, qAbs(ours.toDouble()));
    if (ours.userType() == QMetaType::Bool)
        return theirs == (ours.toBool() ? "1" : "0") || theirs == (ours.toBool() ? "True" : "False");
    bool ok = false;
    const qlonglong v = theirs.toLongLong(&ok, 0);
    return ok && v == ours.toLongLong();
}

} // namespace

class tst_iec104_tshark : public QObject
{
    Q_OBJECT

private slots:
    void every_type_as_tshark_reads_it();
};

void tst_iec104_tshark::every_type_as_tshark_reads_it()
{
    if (QStandardPaths::findExecutable("tshark").isEmpty() ||
        QStandardPaths::findExecutable("text2pcap").isEmpty())
        QFAIL("tshark and text2pcap are needed (scripts/install-deps)");
    sAppLayerParameters p{1, 1, 2, 0, 2, 3, 249};
    QList<Sent> sent;
    QByteArray dump;
    int count = 0;
    const InformationObjectKind* kinds = info_object_kinds(&count);
    for (int k = 0; k < count; k++) {
        for (int sq = 0; sq <= (kinds[k].sq == IO_SQ_YES ? 1 : 0); sq++) {
            const int type = kinds[k].type;
            const int cot = type >= 45 && type != 70 ? 6 : 3;
            Asdu asdu = asdu_create(&p, sq, cot, 0, 0x1234, false, false);
            Sent s{type, bool(sq), {}};
            for (int i = 0; i < (sq ? 3 : 1); i++) {
                sInformationObject storage;
                InformationObject o = make_sample(type, &storage, 1000 + i);
                QVERIFY(asdu_add_object(asdu, o));
                s.objects << fields_of(o);
            }
            const QByteArray frame = i_frame(asdu, sent.size());
            asdu_destroy(asdu);
            dump += "0000 " + frame.toHex(' ') + "\n";
            sent << s;
        }
    }

    QString error;
    const QByteArray pcap = testsupport::run_tool("text2pcap", {"-q", "-T", "40000,2404", "-", "-"}, dump, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QStringList fields{"frame.number",          "_ws.malformed",      "_ws.expert",
                       "iec60870_104.type",     "iec60870_104.tx",    "iec60870_asdu.typeid",
                       "iec60870_asdu.causetx", "iec60870_asdu.addr", "iec60870_asdu.sq",
                       "iec60870_asdu.numix"};
    QSet<QString> value_fields;
    for (const Sent& s : sent)
        for (const QVariantMap& m : s.objects)
            for (auto it = m.begin(); it != m.end(); ++it)
                if (it.key().startsWith("iec60870_asdu.")) value_fields.insert(it.key());
    const QStringList value_list = value_fields.values();
    fields += value_list;
    QStringList args{"-r",          "-",  "-T",           "fields", "-E",
                     "separator=|", "-E", "occurrence=a", "-E",     "aggregator=,"};
    for (const QString& f : fields)
        args << "-e" << f;
    const QByteArray text = testsupport::run_tool("tshark", args, pcap, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));

    const QList<QByteArray> lines = text.trimmed().split('\n');
    QCOMPARE(lines.size(), sent.size());
    int known = 0;
    QSet<QString> unknown;
    for (int i = 0; i < sent.size(); i++) {
        const QStringList cols = QString::fromUtf8(lines[i]).split('|');
        QCOMPARE(cols.size(), fields.size());
        auto col = [&](const QString& name) { return cols[fields.indexOf(name)]; };
        const Sent& s = sent[i];
        const QString where = QString("type %1 sq %2: ").arg(s.type).arg(s.sequence);
        QVERIFY2(col("_ws.malformed").isEmpty() && col("_ws.expert").isEmpty(),
                 qPrintable(where + col("_ws.expert")));
        QCOMPARE(col("iec60870_104.tx").toInt(), i);
        QCOMPARE(col("iec60870_asdu.typeid").toInt(), s.type);
        QCOMPARE(col("iec60870_asdu.causetx").toInt(), s.type >= 45 && s.type != 70 ? 6 : 3);
        QCOMPARE(col("iec60870_asdu.addr").toInt(), 0x1234);
        QCOMPARE(col("iec60870_asdu.numix").toInt(), s.objects.size());
        // A type counts as known to the dissector when it shows any of its value fields.
        bool decoded = false;
        for (const QString& f : value_list)
            if (f != "iec60870_asdu.ioa" && s.objects[0].contains(f) && !col(f).isEmpty()) decoded = true;
        if (!decoded) {
            unknown << QString::number(s.type);
            continue; // only checked for not being flagged
        }
        known++;
        for (const QString& f : value_list) {
            const QStringList theirs = col(f).isEmpty() ? QStringList() : col(f).split(',');
            QList<QVariant> ours;
            for (const QVariantMap& m : s.objects)
                if (m.contains(f)) ours << m[f];
            if (ours.isEmpty()) continue;
            QVERIFY2(theirs.size() == ours.size(), qPrintable(where + f + " tshark: " + col(f) +
                                                              " objects: " + QString::number(ours.size())));
            for (int j = 0; j < ours.size(); j++) {
                // The dissector shows the 32-bit bitstring with its bytes in wire order.
                if (f == "iec60870_asdu.bitstring") ours[j] = qToBigEndian(ours[j].toUInt());
                QVERIFY2(same_value(ours[j], theirs[j]),
                         qPrintable(where + f + " ours " + ours[j].toString() + " tshark " + theirs[j]));
            }
        }
    }
    qInfo("tshark decoded the values of %d of %d frames; not the types %s", known, int(sent.size()),
          qPrintable(QStringList(unknown.begin(), unknown.end()).join(' ')));
    QVERIFY(known >= 40);
}

QTEST_APPLESS_MAIN(tst_iec104_tshark)
#include "tst_iec104_tshark.moc"
