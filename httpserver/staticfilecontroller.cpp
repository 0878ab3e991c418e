#include "staticfilecontroller.h"

#include "httpconnection.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "httpsettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cctype>

namespace QuillonHttpd {

namespace FilePath {

bool unsafe(const QString& rawPath)
{
    const QByteArray bytes = rawPath.toUtf8();
    for (int i = 0; i < bytes.size(); ++i) {
        if (bytes.at(i) == '\0') return true;
        if (bytes.at(i) != '%') continue;
        if (i + 2 >= bytes.size() || !isxdigit(uchar(bytes.at(i + 1))) || !isxdigit(uchar(bytes.at(i + 2))))
            return true;
        if (bytes.at(i + 1) == '0' && bytes.at(i + 2) == '0') return true;
    }
    return false;
}

QString clean(const QString& decodedPath)
{
    QString path = QDir::cleanPath(decodedPath);
    if (!path.startsWith(QLatin1Char('/'))) path.prepend(QLatin1Char('/'));
    if (path.split(QLatin1Char('/')).contains(QLatin1String(".."))) return QString();
    return path;
}

QString docRoot(const HttpSettings* settings)
{
    return QDir::fromNativeSeparators(settings->root);
}

bool insideRoot(const QString& fileName, const HttpSettings* settings)
{
    const QString file = QFileInfo(fileName).canonicalFilePath();
    const QString root = QFileInfo(docRoot(settings)).canonicalFilePath();
    if (file.isEmpty() || root.isEmpty()) return false;
    if (file == root) return true;
    return file.startsWith(root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/'));
}

} // namespace FilePath

StaticFileController::StaticFileController(HttpConnection* connection)
    : HttpRequestHandler(connection), connection(connection)
{
    mimeTypes();
}

StaticFileController::~StaticFileController() = default;

HttpSettings* StaticFileController::settings() const
{
    return connection->settings();
}

const QHash<QString, QString>& StaticFileController::mimeTypes()
{
    // Built once, before any reader sees it, also with connections on threads of their own.
    static const QHash<QString, QString> table = {
        {QStringLiteral("png"), QStringLiteral("image/png")},
        {QStringLiteral("jpeg"), QStringLiteral("image/jpeg")},
        {QStringLiteral("jpg"), QStringLiteral("image/jpeg")},
        {QStringLiteral("gif"), QStringLiteral("image/gif")},
        {QStringLiteral("txt"), QStringLiteral("text/plain")},
        {QStringLiteral("html"), QStringLiteral("text/html")},
        {QStringLiteral("xhtml"), QStringLiteral("text/html")},
        {QStringLiteral("shtml"), QStringLiteral("text/html")},
        {QStringLiteral("htm"), QStringLiteral("text/html")},
        {QStringLiteral("css"), QStringLiteral("text/css")},
        {QStringLiteral("json"), QStringLiteral("application/json")},
        {QStringLiteral("js"), QStringLiteral("application/javascript")},
    };
    return table;
}

QString StaticFileController::httpDate(const QDateTime& utc)
{
    static const char* const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDate d = utc.date();
    const QTime t = utc.time();
    const int day = d.dayOfWeek();
    const int month = d.month();
    auto two = [](int n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    return QStringLiteral("%1, %2 %3 %4 %5:%6:%7 GMT")
        .arg(QLatin1String(day >= 1 && day <= 7 ? days[day - 1] : ""), two(d.day()),
             QLatin1String(month >= 1 && month <= 12 ? months[month - 1] : ""), QString::number(d.year()),
             two(t.hour()), two(t.minute()), two(t.second()));
}

void StaticFileController::service(HttpRequest* request, HttpResponse* response)
{
    auto forbidden = [response]() {
        response->setStatus(403, QStringLiteral("Forbidden"));
        response->write("403 Forbidden");
        response->flush();
    };
    const QString path = FilePath::clean(HttpRequest::urlDecode(request->getPath()));
    if (path.isEmpty() || FilePath::unsafe(request->getPath())) {
        forbidden();
        return;
    }
    QString fileName = FilePath::docRoot(settings()) + path;
    if (QFileInfo(fileName).isDir()) fileName += QLatin1Char('/') + settings()->indexFile;
    QFile file(QDir::toNativeSeparators(fileName));
    if (!file.exists()) {
        response->setStatus(404, QStringLiteral("Not found"));
        response->write("404 Not found");
        response->flush();
        return;
    }
    if (!FilePath::insideRoot(fileName, settings()) || !file.open(QIODevice::ReadOnly)) {
        forbidden();
        return;
    }
    const QString suffix = QFileInfo(fileName).suffix();
    const auto type = mimeTypes().constFind(suffix);
    if (!suffix.isEmpty() && type != mimeTypes().constEnd())
        response->setHeader(QStringLiteral("Content-Type"), type.value());
    const qint32 maxAge = settings()->maxAge;
    response->setHeader(QStringLiteral("Cache-Control"), QStringLiteral("Public,max-age=%1").arg(maxAge));
    response->setHeader(QStringLiteral("Expires"), httpDate(QDateTime::currentDateTimeUtc().addSecs(maxAge)));
    // A large file is read as its client takes it, not held whole for every slow client.
    const qint64 size = file.size();
    if (size > qint64(settings()->writeChunk) * 16) {
        auto* open = new QFile(file.fileName());
        if (!open->open(QIODevice::ReadOnly)) {
            delete open;
            forbidden();
            return;
        }
        response->writeFile(open, size);
    } else {
        response->write(file.readAll());
    }
    response->flush();
}

} // namespace QuillonHttpd
