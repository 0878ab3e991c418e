// The HDLC frame check sequence: exact vectors, and agreement over generated blocks with an
// independent bit-by-bit CRC-16/X.25 and with the byte-step form, across the 255-byte mark.
// Blocks live in buffers of their exact size, so a read past the end shows in the sanitizer build.
#include "hdlc_fcs.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QtTest>
#include <vector>

namespace {

// CRC-16/X.25 bit by bit, as the catalogues define it: reflected input and output, so the
// register shifts right with the reversed polynomial; start 0xFFFF, final XOR 0xFFFF.
uint16_t x25_bitwise(const std::vector<uint8_t>& block)
{
    uint32_t reg = 0xFFFF;
    for (uint8_t byte : block) {
        for (int bit = 0; bit < 8; ++bit) {
            const bool in = ((byte >> bit) & 1) != ((reg & 1) != 0);
            reg >>= 1;
            if (in) reg ^= 0x8408;
        }
    }
    return uint16_t(reg ^ 0xFFFF);
}

} // namespace

class tst_hdlc_fcs : public QObject
{
    Q_OBJECT

private slots:
    void vectors_data() { testsupport::vector_rows(VECTORS("hdlc_fcs.txt")); }
    void vectors()
    {
        QFETCH(QStringList, f);
        const QByteArray bytes = f.at(0) == "-" ? QByteArray() : testsupport::hex(f.at(0));
        const std::vector<uint8_t> block(bytes.cbegin(), bytes.cend());
        QCOMPARE(QString("%1").arg(fcs16(block.data(), block.size()), 4, 16, QChar('0')).toUpper(), f.at(1));
    }

    void empty_block_reads_nothing() { QCOMPARE(fcs16(nullptr, 0), uint16_t(0)); }

    void agrees_with_bitwise_and_byte_step()
    {
        QRandomGenerator rng(1662);
        for (size_t len = 1; len < 2048; ++len) {
            std::vector<uint8_t> block(len);
            for (uint8_t& b : block)
                b = uint8_t(rng.bounded(256));
            uint16_t step = 0xFFFF;
            for (uint8_t b : block)
                step = fcs16_update(step, b);
            const uint16_t whole = fcs16(block.data(), block.size());
            QCOMPARE(whole, x25_bitwise(block));
            QCOMPARE(whole, uint16_t(step ^ 0xFFFF));
        }
    }
};

QTEST_GUILESS_MAIN(tst_hdlc_fcs)
#include "tst_hdlc_fcs.moc"
