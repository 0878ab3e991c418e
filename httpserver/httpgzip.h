#pragma once
// One gzip member (RFC 1952) around Qt's deflate, for "Content-Encoding: gzip" replies.

#include <QByteArray>
#include <QObject>

class HttpGZipCompression : public QObject
{
    Q_OBJECT
public:
    static QByteArray compress(const QByteArray& data);
    static QByteArray gzipHeader();
    static QByteArray deflate(const QByteArray& data);
    static QByteArray gzipTrailer(const QByteArray& data);
    static quint32 crc32(const QByteArray& data);
    static quint32 updateCrc32(quint8 byte, quint32 crc);

private:
    HttpGZipCompression() = default;
};
