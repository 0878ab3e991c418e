// Wire format of the AMQP library: frames, field tables and the login response, byte for byte,
// and the decoder's answer to hostile input (run in the sanitizer build too).
// Vectors: data/amqp_wire.txt.
#include "amqp_authenticator.h"
#include "amqp_frame.h"
#include "amqp_table.h"
#include "testsupport.h"

#include <QBuffer>
#include <QDateTime>
#include <QPoint>
#include <QRandomGenerator>
#include <QtTest>

using testsupport::hex;
using testsupport::hex_of;
using testsupport::Log_capture;

namespace {

QByteArray tableBytes(const AmqpTable& table)
{
    QByteArray out;
    QDataStream s(&out, QIODevice::WriteOnly);
    s << table;
    return out;
}

AmqpTable tableFrom(const QByteArray& bytes, QDataStream::Status* status = nullptr)
{
    AmqpTable t;
    QDataStream s(bytes);
    s >> t;
    if (status) *status = s.status();
    return t;
}

// A value in the typed notation of the vector file.
QVariant value_of(const QString& text)
{
    if (text.startsWith('[') || text.startsWith('{')) {
        QVariantList list;
        QVariantHash table;
        int depth = 0, start = 1;
        for (int i = 1; i < text.size(); ++i) {
            const QChar c = text[i];
            depth += (c == '[' || c == '{') ? 1 : (c == ']' || c == '}') ? -1 : 0;
            if ((depth == 0 && c == ',') || depth < 0) {
                const QString item = text.mid(start, i - start);
                if (!item.isEmpty()) {
                    if (text[0] == '[') list << value_of(item);
                    else table.insert(item.section('=', 0, 0), value_of(item.section('=', 1)));
                }
                start = i + 1;
            }
        }
        return text[0] == '[' ? QVariant(list) : QVariant(table);
    }
    const QString kind = text.section(':', 0, 0), v = text.section(':', 1);
    if (kind == "t" || kind == "f") return kind == "t";
    if (kind == "i") return v.toInt();
    if (kind == "u") return v.toUInt();
    if (kind == "us") return QVariant::fromValue(ushort(v.toUInt()));
    if (kind == "ll") return v.toLongLong();
    if (kind == "ull") return v.toULongLong();
    if (kind == "d") return v.toDouble();
    if (kind == "fl") return v.toFloat();
    if (kind == "s") return v;
    if (kind == "x") return hex(v);
    if (kind == "ts") return QDateTime::fromSecsSinceEpoch(v.toLongLong(), Qt::UTC);
    if (kind == "dec") return QVariant::fromValue(AMQP::Decimal{quint8(v.section('/', 0, 0).toUInt()), v.section('/', 1).toInt()});
    return QVariant();
}

// A readable device that the test appends to, as a socket receives.
class Feed
{
public:
    Feed() { device.open(QIODevice::ReadWrite); }
    void append(const QByteArray& bytes)
    {
        const qint64 at = device.pos();
        device.seek(device.size());
        device.write(bytes);
        device.seek(at);
    }
    QBuffer device;
};

AmqpFrameReader::Result read_one(const QByteArray& wire, std::unique_ptr<AmqpFrame>* frame, AmqpFrameFault* fault,
                                 int frameMax = 131072)
{
    Feed feed;
    feed.append(wire);
    AmqpFrameReader reader;
    return reader.read(&feed.device, frameMax, frame, fault);
}

} // namespace

class tst_amqp_wire : public QObject
{
    Q_OBJECT

    static void rows(const char* section) { testsupport::vector_rows(VECTORS("amqp_wire.txt"), section); }

private slots:
    void initTestCase() { AMQP::setLogHandler(Log_capture::sink); }

    // Every frame kind is read and written back byte for byte.
    void frames_data() { rows("frame"); }
    void frames()
    {
        QFETCH(QStringList, f);
        const QByteArray wire = hex(f[0]);
        AmqpFrameFault fault;
        std::unique_ptr<AmqpFrame> read = AmqpFrameReader::decode(wire, &fault);
        QVERIFY2(read, qPrintable(fault.text));
        QCOMPARE(hex_of(read->toByteArray()), hex_of(wire));
        QCOMPARE(read->size(), wire.size() - 8);
    }

    // The writers build the same bytes.
    void frame_writers()
    {
        AmqpMethodWriter tune(10, 31);
        tune.shortUint(0).longUint(131072).shortUint(60);
        QCOMPARE(hex_of(tune.frame().toByteArray()), hex_of(hex("01 0000 0000000C 000A 001F 0000 00020000 003C CE")));
        AmqpMethodWriter close(20, 40, 3);
        close.shortUint(200).shortString("OK").shortUint(0).shortUint(0);
        QCOMPARE(hex_of(close.frame().toByteArray()), hex_of(hex("01 0003 0000000D 0014 0028 00C8 02 4F4B 0000 0000 CE")));
        AmqpContentFrame header(60);
        header.setChannel(1);
        header.setBodySize(3);
        header.setProperty(AmqpMessage::AppId, QStringLiteral("x"));
        header.setProperty(AmqpMessage::Timestamp, QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC));
        header.setProperty(AmqpMessage::DeliveryMode, 2);
        header.setProperty(AmqpMessage::Headers, QVariantHash{{"a", 1}});
        const QByteArray wire = hex("02 0001 00000021 003C 0000 0000000000000003 3048 00000004 01616201 02 000000006553F100 0178 CE");
        QCOMPARE(hex_of(header.toByteArray()), hex_of(wire)); // properties in wire order
        AmqpContentBodyFrame body(QByteArray("ABC"));
        body.setChannel(1);
        QCOMPARE(hex_of(body.toByteArray()), QString("0300010000000341424" "3CE"));

        AmqpFrameFault fault;
        auto frame = AmqpFrameReader::decode(wire, &fault);
        auto* read = static_cast<AmqpContentFrame*>(frame.get());
        QCOMPARE(read->bodySize(), qint64(3));
        QCOMPARE(read->property(AmqpMessage::Headers).toHash(), (QVariantHash{{"a", 1}}));
        QCOMPARE(read->property(AmqpMessage::DeliveryMode).toInt(), 2);
        QCOMPARE(read->property(AmqpMessage::Timestamp).toDateTime().toSecsSinceEpoch(), qint64(1700000000));
        QCOMPARE(read->property(AmqpMessage::AppId).toString(), QString("x"));
    }

    // One value of each table type: its octet and encoding, and what reading it gives back.
    void table_values_data() { rows("value"); }
    void table_values()
    {
        QFETCH(QStringList, f);
        const QByteArray wire = hex(f[1]);
        const QVariant decoded = value_of(f[2]);
        QByteArray out;
        QDataStream s(&out, QIODevice::WriteOnly);
        QVERIFY(AmqpTable::writeTypedFieldValue(s, value_of(f[0])));
        QCOMPARE(hex_of(out), hex_of(wire));
        // Read back inside a table entry "k", so the octet mapping is exercised too.
        const QByteArray entry = hex("01 6B") + wire;
        QDataStream::Status status;
        const AmqpTable t = tableFrom(hex(QString("%1").arg(entry.size(), 8, 16, QChar('0'))) + entry, &status);
        QCOMPARE(status, QDataStream::Ok);
        QCOMPARE(t.value("k").userType(), decoded.userType());
        QCOMPARE(t.value("k"), decoded);
    }

    // Property: generated tables of every value kind come back equal after a write and a read.
    void tables_round_trip()
    {
        QRandomGenerator rng(20240601);
        const QList<QStringList> values = [] {
            QList<QStringList> out;
            for (const auto& v : testsupport::read_vectors(VECTORS("amqp_wire.txt"), "value"))
                out << QStringList{v.fields[0], v.fields[2]};
            return out;
        }();
        for (int round = 0; round < 300; ++round) {
            QVariantHash written, expected;
            for (int n = int(rng.bounded(12)); n > 0; --n) {
                const QStringList& v = values[int(rng.bounded(values.size()))];
                const QString key = QString::fromUtf8("k\xC3\xA4%1").arg(rng.bounded(1000));
                written.insert(key, value_of(v[0]));
                expected.insert(key, value_of(v[1]));
            }
            QCOMPARE(QVariantHash(tableFrom(tableBytes(AmqpTable(written)))), expected);
        }
        // Keys are written sorted; what cannot be encoded is left out with its key.
        QCOMPARE(hex_of(tableBytes(AmqpTable({{"product", "AMQPC"}}))), hex_of(hex("00000012 07 70726F64756374 53 00000005 414D515043")));
        QCOMPARE(hex_of(tableBytes(AmqpTable({{"b", 2}, {"a", 1}}))), hex_of(hex("00000008 0161 6201 0162 6202")));
        QCOMPARE(hex_of(tableBytes(AmqpTable({{"a", 1}, {"p", QPoint(1, 2)}, {"z", qulonglong(1) << 63}, {QString(256, 'k'), 1}}))),
                 hex_of(hex("00000004 0161 6201")));
        QCOMPARE(hex_of(tableBytes(AmqpTable({{"a", QVariantList{1, QPoint(), 2}}}))), hex_of(hex("0000000B 0161 41 00000004 6201 6202")));
    }

    void table_reading_rules()
    {
        Log_capture log;
        // The last of equal keys wins.
        QCOMPARE(tableFrom(hex("00000008 01616201 01616202")).value("a"), QVariant(2));
        // An unknown type ends the table: later bytes are not misread as entries, and what follows
        // the table in the stream is still in place.
        QDataStream in(hex("0000000B 01616201 01625A 01636203 2A"));
        AmqpTable t;
        in >> t;
        QCOMPARE(in.status(), QDataStream::Ok);
        QCOMPARE(t.size(), 2);
        QCOMPARE(t.value("a"), QVariant(1));
        QVERIFY(t.contains("b") && !t.value("b").isValid());
        QVERIFY(log.has("invalid octet received: Z"));
        quint8 after = 0;
        in >> after;
        QCOMPARE(after, quint8(0x2A));
        // The same inside an array.
        QCOMPARE(tableFrom(hex("0000000D 0161 41 00000006 6201 5A 006202")).value("a").toList(), QVariantList{1});
    }

    void login_response_and_fields()
    {
        Log_capture log;
        AmqpPlainAuthenticator auth("u", QString::fromUtf8("p\xC3\xA4"));
        QCOMPARE(auth.type(), QString("AMQPLAIN"));
        QByteArray out;
        QDataStream s(&out, QIODevice::WriteOnly);
        auth.write(s);
        QCOMPARE(hex_of(out), hex_of(hex("08 414D51504C41494E 0000001D 05 4C4F47494E 53 00000001 75"
                                         " 08 50415353574F5244 53 00000003 70C3A4")));
        // Timestamps come back as the same moment while the seconds fit in 32 bits.
        for (qint64 secs : {qint64(0), qint64(1700000000), qint64(0xFFFFFFFFLL)}) {
            QByteArray b;
            QDataStream w(&b, QIODevice::WriteOnly);
            AmqpFrame::writeAmqpField(w, AmqpMetaType::Timestamp, QDateTime::fromSecsSinceEpoch(secs, Qt::UTC));
            QDataStream r(b);
            QCOMPARE(AmqpFrame::readAmqpField(r, AmqpMetaType::Timestamp).toDateTime().toSecsSinceEpoch(), secs);
        }
        // Table-only types are not method arguments.
        QByteArray b;
        QDataStream w(&b, QIODevice::WriteOnly);
        AmqpFrame::writeAmqpField(w, AmqpMetaType::LongInt, 5);
        QVERIFY(b.isEmpty());
        QVERIFY(log.has("unsupported value type: 9"));
        // A short string of exactly 255 bytes still fits; one over 255 bytes would shift every
        // later field, so the frame is refused whole.
        AmqpMethodWriter fits(50, 10);
        fits.shortString(QString(255, 'q'));
        QCOMPARE(fits.frame().arguments().size(), 256);
        AmqpMethodWriter over(50, 10, 1);
        over.shortUint(0).shortString(QString(200, 'q') + QString::fromUtf8("\xC3\xA4").repeated(30)).octet(2);
        QVERIFY(!over.isValid());
        AmqpContentFrame header(60);
        header.setChannel(1);
        header.setProperty(AmqpMessage::ContentType, QString(256, 't'));
        bool ok = true;
        QVERIFY(header.toByteArray(&ok).isEmpty());
        QVERIFY(!ok);
        QVERIFY(log.has("short string of 256 bytes refused"));
    }

    // Bytes from the broker that must close the connection with these codes, without reading
    // past the frame or allocating from a hostile length.
    void hostile_frames_data() { rows("hostile"); }
    void hostile_frames()
    {
        QFETCH(QStringList, f);
        std::unique_ptr<AmqpFrame> frame;
        AmqpFrameFault fault;
        QCOMPARE(read_one(hex(f[0]), &frame, &fault), AmqpFrameReader::Failed);
        QVERIFY(!frame);
        QCOMPARE(int(fault.code), f[1].toInt());
        QCOMPARE(fault.text, f[2]);
    }

    // Tables nested deeper than any broker sends would exhaust the stack.
    void nested_tables_refused()
    {
        QByteArray nested = hex("00000000");
        for (int i = 0; i < 200; ++i) {
            const QByteArray entry = hex("0161 46") + nested;
            nested = hex(QString("%1").arg(entry.size(), 8, 16, QChar('0'))) + entry;
        }
        const QByteArray start = hex("000A000A 0009") + nested + hex("00000000 00000000");
        std::unique_ptr<AmqpFrame> frame;
        AmqpFrameFault fault;
        QCOMPARE(read_one(hex("01 0000") + hex(QString("%1").arg(start.size(), 8, 16, QChar('0'))) + start + hex("CE"), &frame, &fault),
                 AmqpFrameReader::Failed);
        QCOMPARE(fault.text, QString("malformed method frame"));
    }

    // The frame-max covers the whole frame, header and end octet included.
    void frame_max_boundary()
    {
        for (int payload : {4096 - 8, 4096 - 7}) {
            AmqpContentBodyFrame body(QByteArray(payload, 'b'));
            body.setChannel(1);
            std::unique_ptr<AmqpFrame> frame;
            AmqpFrameFault fault;
            QCOMPARE(read_one(body.toByteArray(), &frame, &fault, 4096),
                     payload == 4096 - 8 ? AmqpFrameReader::FrameRead : AmqpFrameReader::Failed);
        }
    }

    // A frame arriving in pieces is taken once, when its last byte is there; several frames in
    // one read are all taken.
    void frames_in_pieces()
    {
        const QByteArray stream = hex("08 0000 00000000 CE 03 0001 00000003 414243 CE 01 0000 0000000C 000A 001E 07FF 00020000 003C CE");
        for (int chunk : {1, 2, 7, 8, 13, int(stream.size())}) {
            Feed feed;
            AmqpFrameReader reader;
            QList<int> types;
            for (int at = 0; at < stream.size(); at += chunk) {
                feed.append(stream.mid(at, chunk));
                for (;;) {
                    std::unique_ptr<AmqpFrame> frame;
                    AmqpFrameFault fault;
                    const auto r = reader.read(&feed.device, 131072, &frame, &fault);
                    QVERIFY(r != AmqpFrameReader::Failed);
                    if (r == AmqpFrameReader::NeedMore) break;
                    types << frame->type();
                }
            }
            QCOMPARE(types, (QList<int>{8, 3, 1}));
            QCOMPARE(feed.device.bytesAvailable(), qint64(0));
        }
    }

    // Random damage to the frames of the vector file must end in a frame, a fault or a wait,
    // never a crash or an out-of-range read (the sanitizer build watches).
    void damaged_frames_never_crash()
    {
        QList<QByteArray> seeds;
        for (const auto& v : testsupport::read_vectors(VECTORS("amqp_wire.txt")))
            if (v.section != "value") seeds << hex(v.fields[0]);
        QRandomGenerator rng(20240601);
        int frames = 0;
        for (int i = 0; i < 20000; ++i) {
            QByteArray wire = seeds[i % seeds.size()];
            for (int k = 1 + int(rng.bounded(4)); k > 0; --k)
                wire[int(rng.bounded(wire.size()))] = char(rng.bounded(256));
            if (rng.bounded(4) == 0) wire.truncate(int(rng.bounded(wire.size())));
            std::unique_ptr<AmqpFrame> frame;
            AmqpFrameFault fault;
            frames += read_one(wire, &frame, &fault) == AmqpFrameReader::FrameRead ? 1 : 0;
        }
        QVERIFY(frames > 0);
    }
};

QTEST_GUILESS_MAIN(tst_amqp_wire)
#include "tst_amqp_wire.moc"
