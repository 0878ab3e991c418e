// The AMQP library against the throwaway RabbitMQ of the test run.
#include "amqp_authenticator.h"
#include "amqp_frame.h"
#include "amqp_table.h"
#include "testsupport.h"

#include <QTcpSocket>
#include <QtTest>

namespace {

QString amqpHost()
{
    return testsupport::service("STROVA_AMQP_HOST");
}
quint16 amqpPort()
{
    return testsupport::service("STROVA_AMQP_PORT").toUShort();
}

// Next frame from a blocking socket, decoded by the library.
std::unique_ptr<AmqpFrame> nextFrame(QTcpSocket& s, AmqpFrameReader& reader)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 5000) {
        std::unique_ptr<AmqpFrame> frame;
        AmqpFrameFault fault;
        const auto r = reader.read(&s, 131072, &frame, &fault);
        if (r == AmqpFrameReader::FrameRead)
            return frame;
        if (r == AmqpFrameReader::Failed) {
            qWarning() << "frame fault" << fault.code << fault.text;
            return nullptr;
        }
        s.waitForReadyRead(200);
    }
    return nullptr;
}

AmqpMethodFrame* asMethod(const std::unique_ptr<AmqpFrame>& f, quint16 classId, quint16 methodId)
{
    if (!f || f->type() != AmqpFrame::Method)
        return nullptr;
    auto* m = static_cast<AmqpMethodFrame*>(f.get());
    return m->classId() == classId && m->methodId() == methodId ? m : nullptr;
}

} // namespace

class tst_amqp_rabbitmq : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(testsupport::services_available(), "services fixture did not run"); }

    // The protocol header draws connection.start, which our decoder reads whole; the frames we
    // build for the rest of the handshake are accepted.
    void raw_handshake_with_our_frames()
    {
        QTcpSocket s;
        s.connectToHost(amqpHost(), amqpPort());
        QVERIFY(s.waitForConnected(5000));
        s.write(QByteArray("AMQP\x00\x00\x09\x01", 8));
        AmqpFrameReader reader;

        auto frame = nextFrame(s, reader);
        AmqpMethodFrame* start = asMethod(frame, 10, 10);
        QVERIFY(start);
        QCOMPARE(start->channel(), quint16(0));
        QDataStream args(start->arguments());
        quint8 major = 0, minor = 0;
        AmqpTable serverProperties;
        args >> major >> minor >> serverProperties;
        const QString mechanisms = AmqpFrame::readAmqpField(args, AmqpMetaType::LongString).toString();
        const QString locales = AmqpFrame::readAmqpField(args, AmqpMetaType::LongString).toString();
        QCOMPARE(args.status(), QDataStream::Ok);
        QCOMPARE(int(major), 0);
        QCOMPARE(int(minor), 9);
        QCOMPARE(serverProperties.value("product").toString(), QString("RabbitMQ"));
        QVERIFY(serverProperties.value("capabilities").toHash().value("publisher_confirms").toBool());
        // The broker's order of mechanisms changes from run to run.
        QVERIFY2(mechanisms.split(' ').contains("AMQPLAIN"), qPrintable(mechanisms));
        QVERIFY(locales.split(' ').contains("en_US"));

        AmqpMethodWriter startOk(10, 11);
        AmqpTable client;
        client.insert("product", "AMQPC");
        client.insert("version", "0.5.0");
        startOk.table(client);
        AmqpPlainAuthenticator(testsupport::service("STROVA_AMQP_USER"), testsupport::service("STROVA_AMQP_PASS"))
            .write(startOk.stream());
        startOk.shortString("en_US");
        QVERIFY(startOk.isValid());
        s.write(startOk.frame().toByteArray());

        frame = nextFrame(s, reader);
        AmqpMethodFrame* tune = asMethod(frame, 10, 30);
        QVERIFY(tune);
        QDataStream t(tune->arguments());
        quint16 channelMax = 0, heartbeat = 0;
        quint32 frameMax = 0;
        t >> channelMax >> frameMax >> heartbeat;
        QCOMPARE(channelMax, quint16(2047));
        QCOMPARE(frameMax, quint32(131072));
        QCOMPARE(heartbeat, quint16(60));

        AmqpMethodWriter tuneOk(10, 31);
        tuneOk.shortUint(channelMax).longUint(frameMax).shortUint(0);
        AmqpMethodWriter open(10, 40);
        open.shortString(testsupport::service("STROVA_AMQP_VHOST")).octet(0).octet(0);
        s.write(tuneOk.frame().toByteArray() + open.frame().toByteArray());
        QVERIFY(asMethod(nextFrame(s, reader), 10, 41));

        // A message through our header and body frames, fetched back with basic.get.
        AmqpMethodWriter chOpen(20, 10, 1);
        chOpen.shortString("");
        s.write(chOpen.frame().toByteArray());
        QVERIFY(asMethod(nextFrame(s, reader), 20, 11));
        AmqpMethodWriter declare(50, 10, 1);
        declare.shortUint(0).shortString("tst_amqp_raw").octet(0x04).table(AmqpTable());
        s.write(declare.frame().toByteArray());
        QVERIFY(asMethod(nextFrame(s, reader), 50, 11));
        AmqpMethodWriter publish(60, 40, 1);
        publish.shortUint(0).shortString("").shortString("tst_amqp_raw").octet(0);
        AmqpContentFrame header(60);
        header.setChannel(1);
        header.setBodySize(5);
        header.setProperty(AmqpMessage::ContentType, "text.plain");
        header.setProperty(AmqpMessage::Headers, QVariantHash{{"n", 40000}, {"s", "x"}});
        AmqpContentBodyFrame body(QByteArray("hello"));
        body.setChannel(1);
        s.write(publish.frame().toByteArray() + header.toByteArray() + body.toByteArray());
        AmqpMethodWriter get(60, 70, 1);
        get.shortUint(0).shortString("tst_amqp_raw").octet(1);
        s.write(get.frame().toByteArray());
        QVERIFY(asMethod(nextFrame(s, reader), 60, 71));
        frame = nextFrame(s, reader);
        QVERIFY(frame && frame->type() == AmqpFrame::Header);
        auto* got = static_cast<AmqpContentFrame*>(frame.get());
        QCOMPARE(got->bodySize(), qint64(5));
        QCOMPARE(got->property(AmqpMessage::ContentType).toString(), QString("text.plain"));
        QCOMPARE(got->property(AmqpMessage::Headers).toHash(), (QVariantHash{{"n", 40000}, {"s", "x"}}));
        frame = nextFrame(s, reader);
        QVERIFY(frame && frame->type() == AmqpFrame::Body);
        QCOMPARE(static_cast<AmqpContentBodyFrame*>(frame.get())->body(), QByteArray("hello"));

        AmqpMethodWriter close(10, 50);
        close.shortUint(200).shortString("bye").shortUint(0).shortUint(0);
        s.write(close.frame().toByteArray());
        QVERIFY(asMethod(nextFrame(s, reader), 10, 51));
    }
};

QTEST_GUILESS_MAIN(tst_amqp_rabbitmq)
#include "tst_amqp_rabbitmq.moc"
