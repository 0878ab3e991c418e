#include "shtmlcontroller.h"

#include "httpconnection.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "httpsettings.h"
#include "staticfilecontroller.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace QuillonHttpd {

namespace {

const int maxDepth = 10;

} // namespace

ShtmlController::ShtmlController(HttpConnection* connection)
    : HttpRequestHandler(connection), connection(connection)
{
}

ShtmlController::~ShtmlController() = default;

void ShtmlController::fail(HttpResponse* response, int status, const QString& reason, const QString& body)
{
    response->setStatus(status, reason);
    response->write(body.toUtf8());
    response->flush();
    throw false;
}

void ShtmlController::service(HttpRequest* request, HttpResponse* response)
{
    const QString path = HttpRequest::urlDecode(request->getPath());
    QByteArray body;
    try {
        if (FilePath::unsafe(request->getPath()))
            fail(response, 403, QStringLiteral("Forbidden"),
                 QStringLiteral("403 Forbidden: %1").arg(path.toHtmlEscaped()));
        body = include(path, response, 0);
    } catch (bool) {
        return;
    }
    response->setHeader(QStringLiteral("Content-Type"),
                        QStringLiteral("text/html; charset=") + connection->settings()->encoding);
    response->write(body);
    response->flush();
}

QByteArray ShtmlController::include(QString path, HttpResponse* response, int depth)
{
    const HttpSettings* s = connection->settings();
    const QString docroot = FilePath::docRoot(s);
    // Error pages name the file as asked for, escaped: neither markup of the client's nor the
    // root's place on disk goes out.
    const QString shown = path.toHtmlEscaped();
    if (depth + 1 > maxDepth)
        fail(response, 500, QStringLiteral("Server error"),
             QStringLiteral("500 server error: %1<br>\nRecursive loop detected in included files.")
                 .arg(shown));
    if (path.startsWith(QLatin1String("/..")) || path.startsWith(QLatin1String("..")) ||
        FilePath::clean(path).isEmpty())
        fail(response, 403, QStringLiteral("Forbidden"),
             QStringLiteral("403 Forbidden: %1<br>\nDo not use ../ in your file path").arg(shown));
    const QString fileName = docroot + QLatin1Char('/') + path;
    const QFileInfo info(fileName);
    if (info.isDir())
        fail(response, 500, QStringLiteral("Server error"),
             QStringLiteral("500 Server error: %1<br>\nCannot include directory").arg(shown));
    QFile file(QDir::toNativeSeparators(fileName));
    if (!file.exists())
        fail(response, 404, QStringLiteral("Not found"), QStringLiteral("404 File not found: %1").arg(shown));
    if (!FilePath::insideRoot(fileName, s) || !file.open(QIODevice::ReadOnly))
        fail(response, 403, QStringLiteral("Forbidden"), QStringLiteral("403 Forbidden: %1").arg(shown));

    static const QRegularExpression includeLine(
        QStringLiteral("^\\s*<!--\\s*#include\\s+\".+\"\\s*-->\\s*$"));
    QByteArray output;
    while (!file.atEnd()) {
        const QByteArray raw = file.readLine();
        const int nul = raw.indexOf('\0');
        const QString line = QString::fromUtf8(nul < 0 ? raw : raw.left(nul));
        if (!includeLine.match(line).hasMatch()) {
            output += line.toUtf8();
            continue;
        }
        const QStringList parts = line.split(QLatin1Char('"'), Qt::KeepEmptyParts);
        if (parts.size() == 3) output += include(parts.at(1), response, depth + 1);
    }
    file.close();
    return output;
}

} // namespace QuillonHttpd
