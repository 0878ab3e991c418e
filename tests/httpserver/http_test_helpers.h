#pragma once
// Shared by the HTTP library tests: a socket-like device fed by the test, and the request loop
// as the connection drives it.

#include "httprequest.h"
#include "testsupport.h"

#include <QByteArray>
#include <QIODevice>
#include <QProcess>
#include <QRegularExpression>
#include <QString>

// A sequential device whose bytes arrive when the test feeds them, like a socket's.
class FeedDevice : public QIODevice
{
public:
    FeedDevice() { open(QIODevice::ReadOnly | QIODevice::Unbuffered); }
    void feed(const QByteArray& bytes) { pending += bytes; }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return pending.size() + QIODevice::bytesAvailable(); }
    bool canReadLine() const override { return pending.contains('\n') || QIODevice::canReadLine(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 n = qMin<qint64>(maxSize, pending.size());
        memcpy(data, pending.constData(), size_t(n));
        pending.remove(0, int(n));
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray pending;
};

// Calls readFromSocket while it makes progress, as the connection does on readyRead.
inline void drive(QuillonHttpd::HttpRequest& request, QIODevice& device)
{
    for (;;) {
        const auto status = request.getStatus();
        if (status == QuillonHttpd::HttpRequest::Complete || status == QuillonHttpd::HttpRequest::Abort)
            return;
        const qint64 before = device.bytesAvailable();
        request.readFromSocket(&device);
        if (request.getStatus() == status && device.bytesAvailable() == before) return;
    }
}

// "GET / HTTP/1.1\r\n" with C escapes (\r \n \t \\ \xNN) -> bytes; {N*text} repeats text N times.
inline QByteArray unescape(const QString& text)
{
    QString expanded = text;
    static const QRegularExpression repeat(QStringLiteral("\\{(\\d+)\\*([^}]*)\\}"));
    for (QRegularExpressionMatch m; (m = repeat.match(expanded)).hasMatch();)
        expanded.replace(m.capturedStart(), m.capturedLength(),
                         m.captured(2).repeated(m.captured(1).toInt()));
    const QByteArray in = expanded.toUtf8();
    QByteArray out;
    for (int i = 0; i < in.size(); ++i) {
        if (in[i] != '\\' || i + 1 >= in.size()) {
            out += in[i];
            continue;
        }
        const char c = in[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == 'x' && i + 2 < in.size() + 1) {
            out += char(in.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

// Runs a program with stdin bytes; its stdout. *exitCode is 0 when it ran and succeeded.
inline QByteArray runTool(const QString& program, const QStringList& args, const QByteArray& input,
                          int* exitCode = nullptr)
{
    QString error;
    const QByteArray out = testsupport::run_tool(program, args, input, &error);
    if (exitCode) *exitCode = error.isEmpty() ? 0 : 1;
    return out;
}
