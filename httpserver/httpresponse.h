#pragma once
// The answer to one request: buffered until flush (the normal mode) or chunked, with gzip for
// text bodies the client accepts. Sent from the event loop, never with a blocking wait.

#include "httpcookie.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>
#include <memory>

class QIODevice;
class QTcpSocket;
class QTimer;

namespace QuillonHttpd {

class HttpCapacity;
class HttpConnection;

class HttpResponse : public QObject
{
    Q_OBJECT
public:
    explicit HttpResponse(HttpConnection* connection);
    ~HttpResponse() override;

    bool isConnected() const;
    const QMap<QString, QString>& headers() const { return headerMap; }
    int getStatusCode() const { return statusCode; }
    const QMap<QString, HttpCookie>& getCookies() const { return cookies; }

    void setStatus(int code, const QString& text);
    void setHeader(const QString& name, const QString& value);
    void setHeader(const QString& name, int value);
    void clearHeaders();
    void setCookie(const HttpCookie& cookie);
    void write(const QByteArray& data);
    // The body is the open file's next `size` bytes, read a piece at a time as the socket takes
    // them (never compressed); the response owns the file. Instead of write().
    void writeFile(QIODevice* file, qint64 size);
    void flush();
    void close();
    void flushAndDelete();
    void flushSocket();

signals:
    // The whole reply has been taken by the socket (once); a response destroyed before that never
    // says so.
    void replySent();

public slots:
    void slotWrite();

private:
    void writeHeaders();
    void closeConnection();
    bool isChunked() const;
    void watchProgress();
    void writePiece();
    // Gives back the booked reply bytes that have left the socket.
    void settleBooking();

    QTcpSocket* socket;
    HttpConnection* connection;
    QMap<QString, QString> headerMap;
    QMap<QString, HttpCookie> cookies;
    qint32 statusCode = 200;
    QString reasonText = QStringLiteral("OK");
    bool headersSent = false;
    QTimer* writeTimer;
    QByteArray bodyBuffer;
    QByteArray headerBuffer;
    qint64 bodySent = 0;
    qint64 headerSent = 0;
    bool sendRequested = false;
    bool closeAfterSend = false;
    bool deleteAfterSend = false;
    bool flushed = false;
    bool sentSaid = false;
    bool closing = false;  // disconnect requested: nothing more to send
    bool headOnly = false; // the answer to a HEAD: headers only
    QTimer* progressTimer; // drops a peer that takes none of our bytes for sendTimeout
    // Outlives the connection's own members: the response may be deleted with the connection.
    std::shared_ptr<HttpCapacity> capacity;
    std::unique_ptr<QIODevice> bodyFile;
    qint64 bodyFileSize = 0;
    qint64 bodySize() const { return bodyFile ? bodyFileSize : bodyBuffer.size(); }
    qint64 bookedPiece = 0; // of the reply budget, for the bytes in the socket beyond the allowance
    qint64 bookedBody = 0;  // of the reply budget, for a compressed copy of the body
};

} // namespace QuillonHttpd
