#include "http_api_quill.h"

#include "api_controller.h"
#include "api_reports.h"
#include "httpconnection.h"
#include "httplog.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "log_limiter.h"
#include "logger.h"
#include "records.h"
#include "sql_exchange.h"
#include "staticfilecontroller.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QMutex>
#include <QPointer>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QSslSocket>
#include <QTcpSocket>
#include <QVariantMap>
#include <cerrno>
#include <cmath>
#include <memory>
#include <sys/socket.h>

namespace http_api {

QByteArray api_key()
{
    // Kept masked so that the key does not stand in the binary as plain text.
    static const unsigned char stored[11] = {0x09, 0x2E, 0x28, 0x35, 0x2C, 0x3B,
                                             0x6F, 0x77, 0x10, 0x0D, 0x0E};
    constexpr unsigned char mask = 0x5A;
    QByteArray key(11, '\0');
    for (int i = 0; i < 11; ++i)
        key[i] = char(stored[i] ^ mask);
    return key;
}

QStringList path_segments(const QString& raw_path)
{
    QStringList segments =
        QuillonHttpd::HttpRequest::urlDecode(raw_path).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (!segments.isEmpty() && segments.first() == QLatin1String("driver_strova5")) segments.removeFirst();
    return segments;
}

namespace {

// "exp" as unsigned seconds; what is no number gives 0, what lies beyond 32 bits the latest time.
uint32_t read_exp(const QVariant& v)
{
    bool ok = false;
    const double d = v.type() == QVariant::String ? v.toString().toDouble(&ok) : v.toDouble(&ok);
    if (!ok || !std::isfinite(d) || d <= 0) return 0;
    if (d >= 4294967295.0) return 4294967295u;
    return uint32_t(d);
}

QVariantMap object_at(const QVariantMap& m, const char* key)
{
    const QVariant v = m.value(QLatin1String(key));
    return v.type() == QVariant::Map ? v.toMap() : QVariantMap();
}

} // namespace

QStringList token_rights(const QString& cookie, const QString& authorization, const QStringList& segments,
                         uint32_t now, const QByteArray& key, QByteArray* verified)
{
    if (verified) verified->clear();
    QString token = cookie;
    const QStringList words = authorization.split(QLatin1Char(' '), Qt::KeepEmptyParts);
    if (words.size() == 2 && words.first().toLower() == QLatin1String("bearer")) token = words.at(1);

    const QList<QByteArray> parts = QByteArray::fromPercentEncoding(token.toLatin1()).split('.');
    if (parts.size() != 3) return {};

    const QByteArray signed_part = parts.at(0) + '.' + parts.at(1);
    const QByteArray mac =
        QMessageAuthenticationCode::hash(signed_part, key, QCryptographicHash::Md5).toHex();
    if (QByteArray::fromBase64(parts.at(2)) != mac) return {};

    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromBase64(parts.at(1)));
    const QVariantMap payload = doc.isObject() ? doc.object().toVariantMap() : QVariantMap();
    if (!(now < read_exp(payload.value(QStringLiteral("exp"))))) return {};
    // The signature's own spelling is left out: its Base64 skips stray characters.
    if (verified) *verified = QCryptographicHash::hash(signed_part, QCryptographicHash::Sha1);

    const QVariantMap claims = object_at(payload, "claims");
    QStringList rights = object_at(claims, "driver-strova5").keys();
    if (object_at(claims, "b").contains(QStringLiteral("admin"))) rights += QStringLiteral("_b_admin");
    if (object_at(claims, "auth").contains(QStringLiteral("admin")) &&
        segments == QStringList{QStringLiteral("api"), QStringLiteral("rights")})
        rights += QStringLiteral("_auth_admin");
    return rights;
}

bool callback_allowed(const QString& name)
{
    // \z, not $: a trailing newline must not pass.
    static const QRegularExpression allowed(QStringLiteral("\\A[A-Za-z_$][A-Za-z0-9_$.]{0,63}\\z"));
    return allowed.match(name).hasMatch();
}

QByteArray api_body(QVariant answer, const QString& callback)
{
    QByteArray json;
    const int type = answer.userType();
    if (type == QMetaType::QVariantMap || type == QMetaType::QVariantList || type == QMetaType::QStringList)
        json = QJsonDocument::fromVariant(answer).toJson(QJsonDocument::Compact);
    else if (type == qMetaTypeId<api_json_text>())
        json = answer.value<api_json_text>().json;
    else if (type == qMetaTypeId<api_refusal>())
        json = QJsonDocument(QJsonObject{{QStringLiteral("error"), answer.value<api_refusal>().text}})
                   .toJson(QJsonDocument::Compact);
    answer = QVariant(); // the text has one owner left, so the wrapping below grows it in place
    if (callback.isEmpty()) return json;
    json.prepend(callback.toUtf8() + '(');
    json.append(')');
    return json;
}

bool peer_left(int fd)
{
    char scratch[4096];
    for (int i = 0; i < 16; ++i) {
        const ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n > 0) continue; // what follows a complete request is never read as a request
        if (n == 0) return true;
        if (errno == EINTR) continue;
        return errno != EAGAIN && errno != EWOULDBLOCK;
    }
    return false;
}

QStringList header_rights(const QString& cookies, const QString& authorization)
{
    QString cookie;
    for (const QString& part : cookies.split(QLatin1Char(';'))) {
        const QString item = part.trimmed();
        if (item.startsWith(QLatin1String("TARVIK_JWT="))) cookie = item.mid(11);
    }
    const API_controller* api = API_controller::instance;
    const QStringList roles =
        token_rights(cookie, authorization, QStringList(), uint32_t(QDateTime::currentSecsSinceEpoch()),
                     api ? api->token_key : api_key());
    if (roles.isEmpty()) return roles;
    return api ? api->get_rights(QVariantMap{{QStringLiteral("rights"), roles}}) : roles;
}

QString caller_of(const QByteArray& verified, const QString& client)
{
    if (verified.isEmpty()) return QStringLiteral("address ") + client;
    return QStringLiteral("token ") + QString::fromLatin1(verified.toHex());
}

} // namespace http_api

// ---------------------------------------------------------------- the server and its handler

namespace {

// One request at a time: a request that arrives while another is inside service() (which can
// happen only when that one runs the event loop) is turned away.
bool g_busy = false;

// Clears the busy flag however the request leaves.
struct busy_guard
{
    busy_guard() { g_busy = true; }
    ~busy_guard() { g_busy = false; }
};

// A handler's map entry of a request item (node, key and value; the texts are shared) and how
// many such maps a request goes through (the items, and the copy a handler makes to change them).
constexpr qint64 k_item_entry_bytes = 128;
constexpr qint64 k_item_copies = 2;

// An answer no larger than this goes to the socket whole with the reply's first piece.
constexpr qint64 k_answer_piece = report_runner::unheld_max;

// UI files served from memory, reloaded when their modification time moves on: one entry per
// file below ui/, so together they never hold more than ui/ itself.
QMap<QString, uint32_t>& file_times()
{
    static QMap<QString, uint32_t> times;
    return times;
}
QMap<QString, QByteArray>& file_contents()
{
    static QMap<QString, QByteArray> contents;
    return contents;
}

// The client's address as its operator writes it: an IPv4 client on the dual-stack listener
// without its IPv6 mapping.
QString client_text(const QHostAddress& address)
{
    bool v4 = false;
    const quint32 ip = address.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip).toString() : address.toString();
}

void not_found(QuillonHttpd::HttpResponse* response)
{
    response->setStatus(404, QString());
    response->setHeader(QStringLiteral("Content-Length"), 0);
    response->write(QByteArray());
}

} // namespace

http_api_quill::http_api_quill(QuillonHttpd::HttpSettings* settings, QObject* parent)
    : QuillonHttpd::HttpServer(settings, parent)
{
    // A request whose token holds a command right keeps a slot while anonymous clients hold them
    // all. Asked with the header values as soon as they are seen, before the cookies are parsed.
    setCommandRightCheck([](const QString& cookies, const QString& authorization) {
        return holds_command_right(http_api::header_rights(cookies, authorization));
    });
    // Requests of callers with a right of any kind (commands, `view`, an operator's probe) are
    // served as soon as they are read; those of callers without one, the open routes' crowd,
    // wait their turns (HttpServer::setRightCheck).
    setRightCheck([](const QString& cookies, const QString& authorization) {
        return !http_api::header_rights(cookies, authorization).isEmpty();
    });
    // A broken request costs its sender one connection, and our log one line: beyond a burst
    // each kind of such line is counted.
    QuillonHttpd::setLineFilter([](const char* kind, int level) {
        static QMutex mutex;
        static QHash<QByteArray, std::shared_ptr<log_limiter>> limiters;
        std::shared_ptr<log_limiter> lim;
        {
            QMutexLocker lock(&mutex);
            std::shared_ptr<log_limiter>& slot = limiters[QByteArray(kind)];
            if (!slot) slot = std::make_shared<log_limiter>(QString::fromLatin1(kind), level, 50, 1000);
            lim = slot;
        }
        return lim->pass(level);
    });
}

QuillonHttpd::HttpRequestHandler* http_api_quill::requestHandler(QuillonHttpd::HttpConnection* connection)
{
    return new http_api_HttpRequestHandler(connection, &reports);
}

http_api_HttpRequestHandler::http_api_HttpRequestHandler(QuillonHttpd::HttpConnection* connection,
                                                         report_runner* reports_)
    : QuillonHttpd::HttpRequestHandler(connection), reports(reports_)
{
}

void http_api_HttpRequestHandler::service(QuillonHttpd::HttpRequest* request,
                                          QuillonHttpd::HttpResponse* response)
{
    if (g_busy) {
        response->setStatus(404, QString());
        response->write(QByteArray());
        response->flush();
        return;
    }
    const busy_guard busy;

    const QString raw_path = request->getPath();
    if (QuillonHttpd::HttpRequest::urlDecode(raw_path) == QLatin1String("/favicon.ico")) {
        response->setStatus(404, QString());
        response->write(QByteArray());
        response->flush();
        return;
    }
    QStringList segments = http_api::path_segments(raw_path);

    // The handlers' maps of the items (the texts themselves are shared) are booked with the
    // request's own, so that many large requests at once meet the server's budget, not the heap.
    const QMultiMap<QString, QString>& params = request->getParameterMap();
    if (!request->bookMemory(qint64(params.size()) * k_item_copies * k_item_entry_bytes)) {
        static log_limiter lim(QStringLiteral("api request over the memory budget"), LVL_WRN, 10, 60000);
        if (lim.pass(LVL_WRN))
            LOG_WRN << "api request of" << params.size()
                    << "items refused: requests in memory are at the budget";
        response->setStatus(503, QStringLiteral("service unavailable"));
        response->setHeader(QStringLiteral("Content-Length"), 0);
        response->write(QByteArray());
        response->flush();
        return;
    }
    // A name given twice keeps its first value; the parameter map holds the newest first.
    QVariantMap qitems;
    for (auto it = params.cbegin(); it != params.cend();) {
        const QString& name = it.key();
        QString first;
        for (; it != params.cend() && it.key() == name; ++it)
            first = it.value();
        qitems.insert(name, first);
    }

    QString callback;
    if (qitems.contains(QStringLiteral("callback"))) {
        callback = qitems.take(QStringLiteral("callback")).toString();
        static log_limiter lim(QStringLiteral("jsonp callback"), LVL_EXC, 50, 1000);
        if (lim.pass(LVL_EXC)) LOG_EXC << "jsonp_callback" << log_cut(callback);
        // Anything but a plain script name would be written into the client's script.
        if (!http_api::callback_allowed(callback)) callback.clear();
    }

    QVariantMap api_request{{QStringLiteral("path"), segments},
                            {QStringLiteral("qitems"), qitems},
                            {QStringLiteral("client"), client_text(getConnection()->getPeerAddress())}};
    const QString cookie_token = request->getCookieMap().value(QStringLiteral("TARVIK_JWT"));
    const QString authorization = request->header(QStringLiteral("authorization"));
    QByteArray verified;
    const QStringList rights = http_api::token_rights(
        cookie_token, authorization, segments, uint32_t(QDateTime::currentSecsSinceEpoch()),
        API_controller::instance ? API_controller::instance->token_key : http_api::api_key(), &verified);
    if (!rights.isEmpty()) api_request.insert(QStringLiteral("rights"), rights);

    if (segments.isEmpty()) {
        serve_file({QStringLiteral("ui"), QStringLiteral("redir.html")}, request, response);
    } else if (segments.first() == QLatin1String("api")) {
        const QString caller =
            http_api::caller_of(verified, api_request.value(QStringLiteral("client")).toString());
        // The handlers share what callers hold (the downlink room) by the same key as the places.
        api_request.insert(QStringLiteral("caller"), caller);
        if (!serve_api(api_request, callback, caller, response)) return;
    } else if (segments.first() == QLatin1String("ui")) {
        serve_file(segments, request, response);
    } else {
        not_found(response);
    }
    response->flush();
}

bool http_api_HttpRequestHandler::serve_api(const QVariantMap& api_request, const QString& callback,
                                            const QString& caller, QuillonHttpd::HttpResponse* response)
{
    std::unique_ptr<report_job> job;
    API_controller* const api = API_controller::instance;
    // A report (or an open route that grows with its modems) is admitted before its modem list
    // is read: one that may have neither a place, a try nor room to wait costs nothing.
    report_runner::admission admitted;
    report_caller kind = report_caller::anonymous;
    bool refused = false;
    QVariant answer = api ? api->api_begin(api_request, job,
                                           [&]() {
                                               kind = api->report_kind(api_request);
                                               admitted = reports->admits(caller, kind);
                                               refused = !admitted.any();
                                               return refused ? reports->refusal(caller, kind) : QVariant();
                                           })
                          : QVariant();
    if (!job) {
        if (refused) {
            static log_limiter lim(QStringLiteral("report refused before its work"), LVL_WRN, 50, 1000);
            if (lim.pass(LVL_WRN))
                LOG_WRN << qPrintable(
                    QStringLiteral("report %1 refused before its work, no room to wait: %2")
                        .arg(api_request.value(QStringLiteral("path")).toStringList().join(QLatin1Char('/')),
                             caller));
        }
        write_answer(response, std::move(answer), callback);
        return true;
    }
    job->set_caller(caller);
    // A report that reads the database: while its link is known to be away, the refusal its first
    // read would bring comes at once, before any place or turn is given. One served from the
    // registry is answered as ever.
    if (job->reads_database() && SQL_Exchange::instance && SQL_Exchange::instance->link_known_away()) {
        // The outage has its own line; this one says only why the report got no statement.
        job->refuse(503, QStringLiteral("database not answering"), "database link away");
        write_answer(response, job->take_answer(), callback);
        return true;
    }
    // A report that one slice builds needs no place: it is tried at once when the runner's rule
    // allows, also before a refusal for want of room to wait.
    if (admitted.try_now && report_runner::worth_a_try(*job) && reports->try_first(*job, caller, kind)) {
        answer_held(response, job->take_answer(), callback, caller, kind);
        return true;
    }
    // A longer one waits for a place and goes on from the event loop; its response is flushed
    // when it is done (or dropped with its connection).
    const QPointer<QuillonHttpd::HttpResponse> later(response);
    auto watcher = std::make_shared<QPointer<QObject>>();
    report_runner* const runner = reports;
    const quint64 ticket = reports->take(
        std::move(job), caller, kind, [later, callback, watcher, runner, caller, kind](QVariant done) {
            // The socket goes back to its own reading with the reply: a half-close from now on
            // is no leave.
            delete watcher->data();
            if (later.isNull()) return;
            hold_answer(runner, later, write_answer(later, std::move(done), callback), caller, kind);
            later->flush();
        });
    if (ticket == 0) return false; // refused at once: the reply is on its way already
    *watcher = watch_leaving(response, ticket);
    return false;
}

void http_api_HttpRequestHandler::answer_held(QuillonHttpd::HttpResponse* response, QVariant answer,
                                              const QString& callback, const QString& caller,
                                              report_caller kind)
{
    hold_answer(reports, response, write_answer(response, std::move(answer), callback), caller, kind);
}

void http_api_HttpRequestHandler::hold_answer(report_runner* runner, QuillonHttpd::HttpResponse* response,
                                              qint64 bytes, const QString& caller, report_caller kind)
{
    // A refusal or an answer of one piece leaves at once; a larger one counts against the
    // reports' memory until its client has taken it, or its connection is gone.
    if (bytes <= k_answer_piece) return;
    const quint64 key = runner->hold(caller, kind, bytes);
    const QPointer<report_runner> guarded(runner);
    const auto release = [guarded, key] {
        if (guarded) guarded->release(key);
    };
    connect(response, &QuillonHttpd::HttpResponse::replySent, runner, release);
    connect(response, &QObject::destroyed, runner, release);
}

QObject* http_api_HttpRequestHandler::watch_leaving(QuillonHttpd::HttpResponse* response, quint64 ticket)
{
    report_runner* const runner = reports;
    // However the response goes (its connection closed, cut for its time), the report goes too.
    connect(response, &QObject::destroyed, runner, [runner, ticket] { runner->drop(ticket); });
    QTcpSocket* socket = getConnection()->getSocket();
    if (!socket) return nullptr;
    if (qobject_cast<QSslSocket*>(socket)) {
        // A TLS socket goes on reading (it must, to write): its end is its disconnect.
        return nullptr;
    }
    // The socket's own reading is paused once its request is complete (a half-close must not cut
    // an ordinary reply); meanwhile this notifier alone watches the descriptor.
    const qintptr fd = socket->socketDescriptor();
    if (fd < 0) return nullptr;
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, response);
    // A socket closed some other way gives up its descriptor, which a new connection may take at
    // once: the notifier stops with it.
    connect(socket, &QAbstractSocket::disconnected, notifier, [notifier] { notifier->setEnabled(false); });
    const QPointer<QTcpSocket> guarded(socket);
    connect(notifier, &QSocketNotifier::activated, runner, [notifier, runner, ticket, guarded, fd] {
        if (!http_api::peer_left(int(fd))) return;
        notifier->setEnabled(false);
        runner->drop(ticket); // its line says the client left
        if (guarded) guarded->abort();
    });
    return notifier;
}

qint64 http_api_HttpRequestHandler::write_answer(QuillonHttpd::HttpResponse* response, QVariant answer,
                                                 const QString& callback)
{
    const int status =
        answer.userType() == qMetaTypeId<api_refusal>() ? answer.value<api_refusal>().status : 200;
    const QByteArray body = http_api::api_body(std::move(answer), callback);
    response->setStatus(status, QString());
    response->setHeader(QStringLiteral("Content-Type"),
                        callback.isEmpty() ? QStringLiteral("application/json; charset=utf-8")
                                           : QStringLiteral("jsonp; charset=utf-8"));
    response->setHeader(QStringLiteral("Content-Length"), body.size());
    response->write(body);
    return status == 200 ? body.size() : 0;
}

void http_api_HttpRequestHandler::serve_file(const QStringList& segments, QuillonHttpd::HttpRequest* request,
                                             QuillonHttpd::HttpResponse* response)
{
    if (segments.contains(QStringLiteral(".."))) return not_found(response);
    // A "%" the decoding read leniently, or a NUL, names no file; "." and empty steps name the
    // same file as without them, so that each file has one cache entry however it is asked for.
    if (QuillonHttpd::FilePath::unsafe(request->getPath())) return not_found(response);
    QStringList steps = segments;
    steps.removeAll(QStringLiteral("."));
    const QString path = API_controller::exe_dir() + QLatin1Char('/') + steps.join(QLatin1Char('/'));

    const QFileInfo info(path);
    const uint32_t mtime = info.isFile() ? uint32_t(info.lastModified().toSecsSinceEpoch()) : 0;
    const auto cached = file_times().constFind(path);
    if (info.isFile() && (cached == file_times().cend() || cached.value() < mtime)) {
        QFile f(path);
        if (f.open(QIODevice::ReadOnly)) {
            LOG_LIMITED(LVL_TRC, "ui file loaded") << "load" << log_cut(path);
            file_contents().insert(path, f.readAll());
            file_times().insert(path, mtime);
        }
    }
    if (!file_times().contains(path)) {
        // Any client can ask for missing files as fast as it likes.
        static log_limiter missing_lines(QStringLiteral("missing ui file"), LVL_DBG, 50, 1000);
        if (missing_lines.pass(LVL_DBG)) LOG_DBG << "no file" << log_cut(path);
        return not_found(response);
    }

    const uint32_t cached_time = file_times().value(path);
    const QByteArray digest = QCryptographicHash::hash(path.toLocal8Bit() + QByteArray::number(cached_time),
                                                       QCryptographicHash::Md5);
    const QString etag = QString::fromLatin1(digest.toHex());
    QByteArray given;
    for (QChar c : request->header(QStringLiteral("If-None-Match")))
        if (c.isDigit() || (c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f')))
            given += char(c.toLatin1());
    if (QByteArray::fromHex(given) == digest) {
        response->setStatus(304, QString());
        response->setHeader(QStringLiteral("Content-Length"), 0);
        response->setHeader(QStringLiteral("ETag"), etag);
        response->write(QByteArray());
        return;
    }

    const QByteArray& body = file_contents()[path];
    response->setStatus(200, QString());
    response->setHeader(QStringLiteral("Content-Length"), body.size());
    response->setHeader(QStringLiteral("ETag"), etag);
    const QString& name = steps.last();
    QString type;
    if (name.contains(QLatin1String(".html"))) type = QStringLiteral("text/html; charset=utf-8");
    if (name.contains(QLatin1String(".js"))) type = QStringLiteral("text/javascript");
    if (name.contains(QLatin1String(".css"))) type = QStringLiteral("text/css");
    if (!type.isEmpty()) response->setHeader(QStringLiteral("Content-Type"), type);
    response->write(body);
}
