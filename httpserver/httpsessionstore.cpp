#include "httpsessionstore.h"

#include "httpcookie.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "httpserver.h"
#include "httpsettings.h"

#include <QMutexLocker>
#include <QTimer>

namespace QuillonHttpd {

HttpSessionStore::HttpSessionStore(HttpSettings* settings, QObject* parent)
    : QObject(parent), settings(settings)
{
    startCleaner();
}

HttpSessionStore::HttpSessionStore(HttpServer* server) : QObject(server), settings(server->getSettings())
{
    startCleaner();
}

HttpSessionStore::~HttpSessionStore() = default;

void HttpSessionStore::startCleaner()
{
    cleanupTimer = new QTimer(this);
    cleanupTimer->setInterval(30000);
    cleanupTimer->setSingleShot(false);
    connect(cleanupTimer, &QTimer::timeout, this, &HttpSessionStore::slotCleaner);
    cleanupTimer->start();
}

QString HttpSessionStore::cookieName() const
{
    return settings->sessionCookieName;
}

QByteArray HttpSessionStore::sessionId(HttpRequest* request, HttpResponse* response)
{
    const QString name = cookieName();
    QByteArray id = response->getCookies().value(name).value.toUtf8();
    if (id.isEmpty()) id = request->getCookieMap().value(name).toUtf8();
    QMutexLocker locker(&mutex);
    if (!id.isEmpty() && !sessions.contains(id)) return QByteArray();
    return id;
}

HttpSession HttpSessionStore::session(HttpRequest* request, HttpResponse* response)
{
    const QByteArray id = sessionId(request, response);
    if (!id.isEmpty()) {
        QMutexLocker locker(&mutex);
        const auto it = sessions.constFind(id);
        // Removed meanwhile by another thread: fall through to a new one.
        if (it != sessions.constEnd()) {
            HttpSession found = it.value();
            found.setLastAccess();
            return found;
        }
    }
    HttpSession created(clock);
    const QByteArray newId = created.getId();
    {
        QMutexLocker locker(&mutex);
        sessions.insert(newId, created);
    }
    HttpCookie cookie;
    cookie.set(cookieName(), QString::fromUtf8(newId), settings->sessionExpirationTime, QStringLiteral("/"));
    response->setCookie(cookie);
    return created;
}

HttpSession HttpSessionStore::session(const QByteArray& id)
{
    QMutexLocker locker(&mutex);
    const auto it = sessions.constFind(id);
    if (it == sessions.constEnd()) return HttpSession(clock);
    HttpSession found = it.value();
    found.setLastAccess();
    return found;
}

void HttpSessionStore::removeSession(HttpSession session)
{
    emit aboutToRemove(session);
    const QByteArray id = session.getId();
    QMutexLocker locker(&mutex);
    sessions.remove(id);
}

void HttpSessionStore::slotCleaner()
{
    const QDateTime now = clock();
    const qint64 lifetime = settings->sessionExpirationTime;
    // Recursive: a receiver of aboutToRemove may use the store from within.
    QMutexLocker locker(&mutex);
    auto it = sessions.begin();
    while (it != sessions.end()) {
        const QDateTime last = it.value().getLastAccess();
        if (last.isValid() && last.addSecs(lifetime) >= now) {
            ++it;
            continue;
        }
        const QByteArray id = it.key();
        const HttpSession leaving = it.value();
        emit aboutToRemove(leaving);
        sessions.remove(id);
        it = sessions.upperBound(id);
    }
}

} // namespace QuillonHttpd
