#include "httpgzip.h"

#include <QDataStream>
#include <array>

namespace {

constexpr std::array<quint32, 256> makeCrcTable()
{
    std::array<quint32, 256> table{};
    for (quint32 n = 0; n < 256; ++n) {
        quint32 c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<quint32, 256> crcTable = makeCrcTable();

} // namespace

QByteArray HttpGZipCompression::gzipHeader()
{
    return QByteArray::fromHex("1f8b080000000000000b");
}

QByteArray HttpGZipCompression::deflate(const QByteArray& data)
{
    // qCompress gives a 4-byte length, the 2-byte zlib header, the deflate data and an Adler-32.
    const QByteArray z = qCompress(data, -1);
    if (data.isEmpty() || z.size() < 10)
        return QByteArray::fromHex("0300"); // a final empty fixed block: keeps the member decodable
    return z.mid(6, z.size() - 10);
}

quint32 HttpGZipCompression::updateCrc32(quint8 byte, quint32 crc)
{
    return (crc >> 8) ^ crcTable[(crc ^ byte) & 0xFF];
}

quint32 HttpGZipCompression::crc32(const QByteArray& data)
{
    quint32 crc = 0xFFFFFFFFu;
    for (char c : data)
        crc = updateCrc32(quint8(c), crc);
    return crc ^ 0xFFFFFFFFu;
}

QByteArray HttpGZipCompression::gzipTrailer(const QByteArray& data)
{
    QByteArray out;
    QDataStream stream(&out, QIODevice::WriteOnly);
    stream.setByteOrder(QDataStream::LittleEndian);
    stream << crc32(data) << quint32(data.size());
    return out;
}

QByteArray HttpGZipCompression::compress(const QByteArray& data)
{
    const QByteArray trailer = gzipTrailer(data);
    const QByteArray body = deflate(data);
    return gzipHeader() + body + trailer;
}
