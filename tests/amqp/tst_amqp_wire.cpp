// Wire format of the AMQP library: frames, field tables and the login response, byte for byte,
// and the decoder's answer to hostile input (run in the sanitizer build too).
#include "amqp_authenticator.h"
#include "amqp_frame.h"
#include "amqp_table.h"
#include "testsupport.h"

#include <QBuffer>
#include <QDateTime>
#include <QPoint>
#include <QRandomGenerator>
#include <QtTest>
#include <functional>

using testsupport::hex;
using testsupport::hex_of;

typedef std::function<AmqpFrame*()> FrameMaker;
Q_DECLARE_METATYPE(FrameMaker)

namespace {

QStringList logLines;
void captureLog(int, const QString& message)
{
    logLines << message;
}

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

} // namespace

class tst_amqp_wire : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { AMQP::setLogHandler(captureLog); }
    void init() { logLines.clear(); }

    // Every frame kind is written byte for byte, and reading it back gives the same bytes.
    void frame_vectors_data()
    {
        QTest::addColumn<FrameMaker>("make");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("heartbeat") << FrameMaker([] { return new AmqpHeartbeatFrame; })
                                   << hex("08 0000 00000000 CE");
        QTest::newRow("tune-ok") << FrameMaker([] {
            AmqpMethodWriter w(10, 31);
            w.shortUint(0).longUint(131072).shortUint(60);
            return new AmqpMethodFrame(w.frame());
        }) << hex("01 0000 0000000C 000A 001F 0000 00020000 003C CE");
        QTest::newRow("open with strings") << FrameMaker([] {
            AmqpMethodWriter w(10, 40);
            w.shortString("/api").octet(0).octet(0);
            return new AmqpMethodFrame(w.frame());
        }) << hex("01 0000 0000000B 000A 0028 04 2F617069 00 00 CE");
        QTest::newRow("channel close on 3") << FrameMaker([] {
            AmqpMethodWriter w(20, 40, 3);
            w.shortUint(200).shortString("OK").shortUint(0).shortUint(0);
            return new AmqpMethodFrame(w.frame());
        }) << hex("01 0003 0000000D 0014 0028 00C8 02 4F4B 0000 0000 CE");
        QTest::newRow("header text.plain") << FrameMaker([] {
            auto* f = new AmqpContentFrame(60);
            f->setChannel(1);
            f->setBodySize(5);
            f->setProperty(AmqpMessage::ContentType, QStringLiteral("text.plain"));
            return f;
        }) << hex("02 0001 00000019 003C 0000 0000000000000005 8000 0A 746578742E706C61696E CE");
        QTest::newRow("header without properties") << FrameMaker([] {
            auto* f = new AmqpContentFrame(60);
            f->setChannel(2);
            f->setBodySize(0x0102030405LL);
            return f;
        }) << hex("02 0002 0000000E 003C 0000 0000000102030405 0000 CE");
        QTest::newRow("header mixed properties in wire order")
            << FrameMaker([] {
                   auto* f = new AmqpContentFrame(60);
                   f->setChannel(1);
                   f->setBodySize(3);
                   f->setProperty(AmqpMessage::AppId, QStringLiteral("x"));
                   f->setProperty(AmqpMessage::Timestamp, QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC));
                   f->setProperty(AmqpMessage::DeliveryMode, 2);
                   f->setProperty(AmqpMessage::Headers, QVariantHash{{"a", 1}});
                   return f;
               })
            << hex("02 0001 00000021 003C 0000 0000000000000003 3048"
                   " 00000004 01616201  02  000000006553F100  0178 CE");
        QTest::newRow("body") << FrameMaker([] {
            auto* f = new AmqpContentBodyFrame(QByteArray("ABC"));
            f->setChannel(1);
            return f;
        }) << hex("03 0001 00000003 414243 CE");
    }
    void frame_vectors()
    {
        QFETCH(FrameMaker, make);
        QFETCH(QByteArray, wire);
        std::unique_ptr<AmqpFrame> built(make());
        QCOMPARE(hex_of(built->toByteArray()), hex_of(wire));
        QCOMPARE(built->size(), wire.size() - 8);

        AmqpFrameFault fault;
        std::unique_ptr<AmqpFrame> read = AmqpFrameReader::decode(wire, &fault);
        QVERIFY2(read, qPrintable(fault.text));
        QCOMPARE(read->type(), built->type());
        QCOMPARE(read->channel(), built->channel());
        QCOMPARE(hex_of(read->toByteArray()), hex_of(wire));
    }

    void content_header_properties_read_back()
    {
        AmqpFrameFault fault;
        auto frame = AmqpFrameReader::decode(hex("02 0001 00000021 003C 0000 0000000000000003 3048"
                                                 " 00000004 01616201 02 000000006553F100 0178 CE"),
                                             &fault);
        QVERIFY(frame);
        auto* header = static_cast<AmqpContentFrame*>(frame.get());
        QCOMPARE(header->classId(), quint16(60));
        QCOMPARE(header->bodySize(), qint64(3));
        QCOMPARE(header->properties().size(), 4);
        QCOMPARE(header->property(AmqpMessage::Headers).toHash(), (QVariantHash{{"a", 1}}));
        QCOMPARE(header->property(AmqpMessage::DeliveryMode).toInt(), 2);
        QCOMPARE(header->property(AmqpMessage::Timestamp).toDateTime().toSecsSinceEpoch(),
                 qint64(1700000000));
        QCOMPARE(header->property(AmqpMessage::AppId).toString(), QString("x"));
    }

    // One value of each table type: its octet and encoding, and what reading it gives back.
    void table_values_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QVariant>("decoded");
        auto row = [](const char* name, const QVariant& v, const char* h, const QVariant& back) {
            QTest::newRow(name) << v << hex(h) << back;
        };
        row("true", true, "74 01", true);
        row("false", false, "74 00", false);
        row("int 127", 127, "62 7F", 127);
        row("int -127", -127, "62 81", -127);
        row("int -128", -128, "73 FF80", -128);
        row("int 128", 128, "73 0080", 128);
        row("int 32767", 32767, "73 7FFF", 32767);
        row("int 40000", 40000, "49 00009C40", 40000);
        row("int -40000", -40000, "49 FFFF63C0", -40000);
        row("int min", std::numeric_limits<int>::min(), "49 80000000", std::numeric_limits<int>::min());
        row("uint 127", 127u, "62 7F", 127);
        row("uint 40000", 40000u, "49 00009C40", 40000);
        row("uint 2^31-1", 0x7FFFFFFFu, "49 7FFFFFFF", 0x7FFFFFFF);
        row("uint 2^31", 0x80000000u, "6C 0000000080000000", qlonglong(0x80000000LL));
        row("uint max", 0xFFFFFFFFu, "6C 00000000FFFFFFFF", qlonglong(0xFFFFFFFFLL));
        row("ushort 40000", QVariant::fromValue(ushort(40000)), "49 00009C40", 40000);
        row("ushort 7", QVariant::fromValue(ushort(7)), "73 0007", 7);
        row("longlong -2", qlonglong(-2), "6C FFFFFFFFFFFFFFFE", qlonglong(-2));
        row("ulonglong 5", qulonglong(5), "6C 0000000000000005", qlonglong(5));
        row("double 1.5 as float", 1.5, "66 3FC00000", QVariant(1.5f));
        row("double -0.25 as float", -0.25, "66 BE800000", QVariant(-0.25f));
        row("double beyond float", 1e39, "64 48078287F49C4A1D", 1e39);
        row("string", QString("AMQPC"), "53 00000005 414D515043", QString("AMQPC"));
        row("string utf-8", QString::fromUtf8("\xC3\xA4x"), "53 00000003 C3A478",
            QString::fromUtf8("\xC3\xA4x"));
        row("empty string", QString(""), "53 00000000", QString(""));
        row("bytes", QByteArray("\x00\xFF", 2), "78 00000002 00FF", QByteArray("\x00\xFF", 2));
        row("timestamp", QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC), "54 000000006553F100",
            QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC));
        row("decimal", QVariant::fromValue(AMQP::Decimal{2, 12345}), "44 02 00003039",
            QVariant::fromValue(AMQP::Decimal{2, 12345}));
        row("array 1 2", QVariantList{1, 2}, "41 00000004 6201 6202", QVariantList{1, 2});
        row("empty array", QVariantList{}, "41 00000000", QVariantList{});
        row("nested table", QVariantHash{{"a", true}}, "46 00000004 0161 7401", QVariantHash{{"a", true}});
        row("void", QVariant(), "56", QVariant());
    }
    void table_values()
    {
        QFETCH(QVariant, value);
        QFETCH(QByteArray, wire);
        QFETCH(QVariant, decoded);
        QByteArray out;
        QDataStream s(&out, QIODevice::WriteOnly);
        QVERIFY(AmqpTable::writeTypedFieldValue(s, value));
        QCOMPARE(hex_of(out), hex_of(wire));

        // Read back inside a table entry "k", so the octet mapping is exercised too.
        QByteArray table = hex("00000000 01 6B") + wire;
        const quint32 length = quint32(table.size() - 4);
        table[0] = char(length >> 24);
        table[1] = char(length >> 16);
        table[2] = char(length >> 8);
        table[3] = char(length);
        QDataStream::Status status;
        const AmqpTable t = tableFrom(table, &status);
        QCOMPARE(status, QDataStream::Ok);
        QVERIFY(t.contains("k"));
        const QVariant got = t.value("k");
        QCOMPARE(got.userType(), decoded.userType());
        QCOMPARE(got, decoded);
    }

    void tables_byte_exact_data()
    {
        QTest::addColumn<AmqpTable>("table");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("empty") << AmqpTable() << hex("00000000");
        QTest::newRow("product") << AmqpTable({{"product", "AMQPC"}})
                                 << hex("00000012 07 70726F64756374 53 00000005 414D515043");
        QTest::newRow("keys sorted") << AmqpTable({{"b", 2}, {"a", 1}})
                                     << hex("00000008 0161 6201 0162 6202");
        QTest::newRow("unencodable value left out with its key")
            << AmqpTable({{"a", 1}, {"p", QPoint(1, 2)}, {"z", qulonglong(1) << 63}})
            << hex("00000004 0161 6201");
        QTest::newRow("key over 255 bytes left out")
            << AmqpTable({{QString(256, 'k'), 1}, {"a", 1}}) << hex("00000004 0161 6201");
        QTest::newRow("unencodable array element skipped")
            << AmqpTable({{"a", QVariantList{1, QPoint(), 2}}}) << hex("0000000B 0161 41 00000004 6201 6202");
    }
    void tables_byte_exact()
    {
        QFETCH(AmqpTable, table);
        QFETCH(QByteArray, wire);
        QCOMPARE(hex_of(tableBytes(table)), hex_of(wire));
    }

    void table_reading_rules()
    {
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
        QVERIFY(!t.contains("c"));
        QVERIFY(logLines.join('\n').contains("invalid octet received: Z"));
        quint8 after = 0;
        in >> after;
        QCOMPARE(after, quint8(0x2A));

        // The same inside an array.
        const AmqpTable arr = tableFrom(hex("0000000D 0161 41 00000006 6201 5A 006202"));
        QCOMPARE(arr.value("a").toList(), QVariantList{1});
    }

    void login_response()
    {
        AmqpPlainAuthenticator auth("u", QString::fromUtf8("p\xC3\xA4"));
        QCOMPARE(auth.type(), QString("AMQPLAIN"));
        QByteArray out;
        QDataStream s(&out, QIODevice::WriteOnly);
        auth.write(s);
        QCOMPARE(hex_of(out), hex_of(hex("08 414D51504C41494E 0000001D"
                                         " 05 4C4F47494E 53 00000001 75"
                                         " 08 50415353574F5244 53 00000003 70C3A4")));
    }

    void method_argument_fields()
    {
        // Timestamps come back as the same moment while the seconds fit in 32 bits.
        for (qint64 secs : {qint64(0), qint64(1700000000), qint64(0xFFFFFFFFLL)}) {
            QByteArray b;
            QDataStream out(&b, QIODevice::WriteOnly);
            AmqpFrame::writeAmqpField(out, AmqpMetaType::Timestamp,
                                      QDateTime::fromSecsSinceEpoch(secs, Qt::UTC));
            QCOMPARE(b.size(), 8);
            QDataStream in(b);
            QCOMPARE(AmqpFrame::readAmqpField(in, AmqpMetaType::Timestamp).toDateTime().toSecsSinceEpoch(),
                     secs);
        }
        // Void reads nothing.
        QDataStream in(hex("07"));
        QVERIFY(!AmqpFrame::readAmqpField(in, AmqpMetaType::Void).isValid());
        QCOMPARE(AmqpFrame::readAmqpField(in, AmqpMetaType::ShortShortUint).toInt(), 7);
        // Table-only types are not method arguments.
        QByteArray b;
        QDataStream out(&b, QIODevice::WriteOnly);
        AmqpFrame::writeAmqpField(out, AmqpMetaType::LongInt, 5);
        QVERIFY(b.isEmpty());
        QVERIFY(logLines.join('\n').contains("unsupported value type: 9"));
        // A short string of exactly 255 bytes still fits.
        AmqpMethodWriter fits(50, 10);
        fits.shortString(QString(255, 'q'));
        QVERIFY(fits.isValid());
        QCOMPARE(fits.frame().arguments().size(), 256);
    }

    // A short string over 255 bytes would shift every later field: the frame is refused whole.
    void overlong_short_strings_are_refused()
    {
        AmqpMethodWriter w(50, 10, 1);
        w.shortUint(0).shortString(QString(200, 'q') + QString::fromUtf8("\xC3\xA4").repeated(30)).octet(2);
        QVERIFY(!w.isValid());

        AmqpContentFrame header(60);
        header.setChannel(1);
        header.setProperty(AmqpMessage::ContentType, QString(256, 't'));
        bool ok = true;
        QVERIFY(header.toByteArray(&ok).isEmpty());
        QVERIFY(!ok);
        QVERIFY(logLines.join('\n').contains("short string of 256 bytes refused"));
    }

    // Bytes from the broker that must close the connection with these codes, without reading
    // past the frame or allocating from a hostile length.
    void hostile_frames_data()
    {
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("method shorter than 4")
            << hex("01 0001 00000002 000A CE") << 501 << "malformed method frame";
        QTest::newRow("start: table longer than frame")
            << hex("01 0000 0000000A 000A000A 0009 0000FFFF CE") << 501 << "malformed method frame";
        QTest::newRow("secure: long string longer than frame")
            << hex("01 0000 00000008 000A0014 7FFFFFFF CE") << 501 << "malformed method frame";
        QTest::newRow("open-ok: short string longer than frame")
            << hex("01 0000 00000007 000A0029 05 6162 CE") << 501 << "malformed method frame";
        QTest::newRow("tune: arguments cut short")
            << hex("01 0000 00000008 000A001E 07FF 0002 CE") << 501 << "malformed method frame";
        QTest::newRow("start: array longer than its table")
            << hex("01 0000 00000019 000A000A 0009 00000007 016141 7FFFFFF0 00000000 00000000 CE") << 501
            << "malformed method frame";
        QTest::newRow("start: byte array longer than its table")
            << hex("01 0000 00000019 000A000A 0009 00000007 016178 00000100 00000000 00000000 CE") << 501
            << "malformed method frame";
        QTest::newRow("deliver: key cut short")
            << hex("01 0001 00000007 003C003C 03 6374 CE") << 501 << "malformed method frame";
        QTest::newRow("header shorter than 14")
            << hex("02 0001 00000004 003C0000 CE") << 501 << "malformed content header";
        QTest::newRow("header: headers table longer than frame")
            << hex("02 0001 00000012 003C 0000 0000000000000000 2000 7FFFFFFF CE") << 501
            << "malformed content header";
        QTest::newRow("header: property cut short")
            << hex("02 0001 0000000F 003C 0000 0000000000000000 8000 09 CE") << 501
            << "malformed content header";
        QTest::newRow("header on channel 0") << hex("02 0000 0000000E 003C 0000 0000000000000000 0000 CE")
                                             << 504 << "channel number must be greater than zero";
        QTest::newRow("body on channel 0")
            << hex("03 0000 00000001 41 CE") << 504 << "channel number must be greater than zero";
        QTest::newRow("heartbeat on channel 1")
            << hex("08 0001 00000000 CE") << 501 << "heartbeat must have channel id zero";
        QTest::newRow("wrong frame end") << hex("08 0000 00000000 00") << 505 << "wrong end of frame";
        QTest::newRow("unknown frame type") << hex("04 0000 00000000 CE") << 501 << "invalid frame type";
        QTest::newRow("text instead of frames")
            << QByteArray("HTTP/1.1 400 Bad Request\r\n\r\n") << 501 << "invalid frame type";
        QTest::newRow("length beyond frame-max, header only")
            << hex("03 0001 7FFFFFF0") << 501 << "frame size too large";

        // Tables nested deeper than any broker sends would exhaust the stack.
        QByteArray nested = hex("00000000");
        for (int i = 0; i < 200; ++i) {
            QByteArray outer = hex("00000000 0161 46") + nested;
            const quint32 n = quint32(outer.size() - 4);
            outer[0] = char(n >> 24);
            outer[1] = char(n >> 16);
            outer[2] = char(n >> 8);
            outer[3] = char(n);
            nested = outer;
        }
        QByteArray start = hex("000A000A 0009") + nested + hex("00000000 00000000");
        QByteArray frame = hex("01 0000 00000000") + start + hex("CE");
        const quint32 n = quint32(start.size());
        frame[3] = char(n >> 24);
        frame[4] = char(n >> 16);
        frame[5] = char(n >> 8);
        frame[6] = char(n);
        QTest::newRow("tables nested 200 deep") << frame << 501 << "malformed method frame";
    }
    void hostile_frames()
    {
        QFETCH(QByteArray, wire);
        QFETCH(int, code);
        QFETCH(QString, text);
        Feed feed;
        feed.append(wire);
        AmqpFrameReader reader;
        std::unique_ptr<AmqpFrame> frame;
        AmqpFrameFault fault;
        QCOMPARE(reader.read(&feed.device, 131072, &frame, &fault), AmqpFrameReader::Failed);
        QVERIFY(!frame);
        QCOMPARE(int(fault.code), code);
        QCOMPARE(fault.text, text);
    }

    // The frame-max covers the whole frame, header and end octet included.
    void frame_max_boundary()
    {
        const int frameMax = 4096;
        for (int payload : {frameMax - 8, frameMax - 7}) {
            AmqpContentBodyFrame body(QByteArray(payload, 'b'));
            body.setChannel(1);
            Feed feed;
            feed.append(body.toByteArray());
            AmqpFrameReader reader;
            std::unique_ptr<AmqpFrame> frame;
            AmqpFrameFault fault;
            const auto result = reader.read(&feed.device, frameMax, &frame, &fault);
            QCOMPARE(result, payload == frameMax - 8 ? AmqpFrameReader::FrameRead : AmqpFrameReader::Failed);
        }
    }

    // A frame arriving in pieces is taken once, when its last byte is there; several frames in
    // one read are all taken.
    void frames_in_pieces()
    {
        const QByteArray stream = hex("08 0000 00000000 CE") + hex("03 0001 00000003 414243 CE") +
                                  hex("01 0000 0000000C 000A 001E 07FF 00020000 003C CE");
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

    // Random damage to valid frames must end in a frame, a fault or a wait, never a crash or an
    // out-of-range read (the sanitizer build watches).
    void damaged_frames_never_crash()
    {
        const QList<QByteArray> seeds = {
            hex("01 0000 00000019 000A000A 0009 00000007 01614100000000 00000000 00000000 CE"),
            hex("02 0001 00000021 003C 0000 0000000000000003 3048 00000004 01616201 02 000000006553F100 0178 "
                "CE"),
            hex("01 0001 00000016 003C003C 03 637467 0000000000000001 00 01 65 02 726B CE"),
        };
        QRandomGenerator rng(20240601);
        int frames = 0;
        for (int i = 0; i < 20000; ++i) {
            QByteArray wire = seeds[i % seeds.size()];
            const int flips = 1 + int(rng.bounded(4));
            for (int k = 0; k < flips; ++k)
                wire[int(rng.bounded(wire.size()))] = char(rng.bounded(256));
            if (rng.bounded(4) == 0) wire.truncate(int(rng.bounded(wire.size())));
            Feed feed;
            feed.append(wire);
            AmqpFrameReader reader;
            std::unique_ptr<AmqpFrame> frame;
            AmqpFrameFault fault;
            if (reader.read(&feed.device, 131072, &frame, &fault) == AmqpFrameReader::FrameRead) ++frames;
        }
        QVERIFY(frames > 0);
    }
};

QTEST_GUILESS_MAIN(tst_amqp_wire)
#include "tst_amqp_wire.moc"
