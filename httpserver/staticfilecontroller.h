#pragma once
// Serves one file below the document root, whole, with its type and cache lifetime. Nothing
// outside the root is served: not through "..", a NUL in the path, nor a symbolic link.

#include "httprequesthandler.h"

#include <QDateTime>
#include <QHash>
#include <QString>

namespace QuillonHttpd {

class StaticFileController : public HttpRequestHandler
{
    Q_OBJECT
public:
    explicit StaticFileController(HttpConnection* connection);
    ~StaticFileController() override;

    void service(HttpRequest* request, HttpResponse* response) override;
    HttpSettings* settings() const;

    static QString httpDate(const QDateTime& utc);
    // File suffix -> MIME type, filled once on first use.
    static const QHash<QString, QString>& mimeTypes();

private:
    HttpConnection* connection;
};

// Shared by the file handlers: the request path as a name below the root.
namespace FilePath {
// The raw request path is unfit for a file look-up: a "%" without two hex digits after it (which
// urlDecode reads leniently: "%+0" and a trailing "%0" would give a NUL), or a NUL, raw or
// decoded (which urlDecode would silently cut off, and the name with it).
bool unsafe(const QString& rawPath);
// The path cleaned of "." and ".." steps; empty when a ".." would climb above the root.
QString clean(const QString& decodedPath);
// The root with "/" separators.
QString docRoot(const HttpSettings* settings);
// Whether an existing file, its symbolic links resolved, lies inside the root.
bool insideRoot(const QString& fileName, const HttpSettings* settings);
} // namespace FilePath

} // namespace QuillonHttpd
