#pragma once
// The HTTP face of the API: static UI files below "ui" beside the executable, and every
// request below "api" handed to API_controller::api_exec with the rights its token grants,
// answered as JSON or JSONP.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>
#include <cstdint>

namespace http_api {

// The compiled key of the token signature (HMAC-MD5). It stands in every installation and in the
// source, so it is public: an installation sets its own with "api"."jwt_key".
QByteArray api_key();

// Path segments of a request path: percent escapes decoded once, split on "/", empty
// segments dropped, a leading "driver_strova5" taken off.
QStringList path_segments(const QString& raw_path);

// Roles and markers a token grants: the roles of "claims"."driver-strova5", "_b_admin" for
// "claims"."b"."admin", "_auth_admin" for "claims"."auth"."admin" on the path api/rights only.
// `cookie` is the cookie's token, `authorization` the header's value ("Bearer <token>" replaces
// the cookie's). A missing, malformed, forged or expired token grants nothing. `key` signs the
// tokens. `verified`, when given, receives the SHA-1 of the bytes the signature was checked over
// (header and payload, percent escapes decoded) when the token passes, else is cleared: one value
// for every spelling of one token.
QStringList token_rights(const QString& cookie, const QString& authorization, const QStringList& segments,
                         uint32_t now, const QByteArray& key = api_key(), QByteArray* verified = nullptr);

// A JSONP callback name we agree to write back into a script.
bool callback_allowed(const QString& name);

// The body of an API answer: compact JSON of a map or a list, empty otherwise; wrapped in
// "callback(...)" when a callback is given. An answer moved in is not copied: the wrapping grows
// its own text.
QByteArray api_body(QVariant answer, const QString& callback);

// Whether the peer of a socket whose reading is paused has left: its end of stream or a reset
// (bytes it sent after its request are read and dropped).
bool peer_left(int fd);

// The rights of a request's token, from its Cookie and Authorization header values as they came
// (before the cookies are parsed): empty without a valid token.
QStringList header_rights(const QString& cookies, const QString& authorization);

// Who asks, for the report places and the log: "token " and the hex of the digest a token check
// gave back (token_rights' `verified`), else "address " and the client's address.
QString caller_of(const QByteArray& verified, const QString& client);

} // namespace http_api

#include "api_reports_runner.h"
#include "httprequesthandler.h"
#include "httpserver.h"

// The API's HTTP server; one handler per connection. It owns the places of the long reports.
class http_api_quill : public QuillonHttpd::HttpServer
{
    Q_OBJECT
public:
    http_api_quill(QuillonHttpd::HttpSettings* settings, QObject* parent);
    QuillonHttpd::HttpRequestHandler* requestHandler(QuillonHttpd::HttpConnection* connection) override;

    report_runner reports;
};

class http_api_HttpRequestHandler : public QuillonHttpd::HttpRequestHandler
{
    Q_OBJECT
public:
    http_api_HttpRequestHandler(QuillonHttpd::HttpConnection* connection, report_runner* reports);
    void service(QuillonHttpd::HttpRequest* request, QuillonHttpd::HttpResponse* response) override;

private:
    // False when the answer is a report that goes on from the event loop and flushes the
    // response itself. `caller` names who asked, for the report places.
    bool serve_api(const QVariantMap& api_request, const QString& callback, const QString& caller,
                   QuillonHttpd::HttpResponse* response);
    // Watches the socket while a report waits or is built: a client that resets or ends its
    // sending has left, and its report is dropped. Gone with `response`.
    QObject* watch_leaving(QuillonHttpd::HttpResponse* response, quint64 ticket);
    // The body's size when the answer is no refusal, else 0.
    static qint64 write_answer(QuillonHttpd::HttpResponse* response, QVariant answer,
                               const QString& callback);
    // A report's answer written, and counted against the reports' memory while it is sent.
    void answer_held(QuillonHttpd::HttpResponse* response, QVariant answer, const QString& callback,
                     const QString& caller, report_caller kind);
    static void hold_answer(report_runner* runner, QuillonHttpd::HttpResponse* response, qint64 bytes,
                            const QString& caller, report_caller kind);
    static void serve_file(const QStringList& segments, QuillonHttpd::HttpRequest* request,
                           QuillonHttpd::HttpResponse* response);

    report_runner* const reports;
};
