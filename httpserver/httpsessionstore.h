#pragma once
// Every live session under its id, found again through a cookie; sessions unused for longer
// than the settings' sessionExpirationTime are dropped every 30 s, each announced first.

#include "httpsession.h"

#include <QByteArray>
#include <QMap>
#include <QRecursiveMutex>
#include <QObject>

class QTimer;

namespace QuillonHttpd {

class HttpRequest;
class HttpResponse;
class HttpServer;
class HttpSettings;

class HttpSessionStore : public QObject
{
    Q_OBJECT
public:
    HttpSessionStore(HttpSettings* settings, QObject* parent = nullptr);
    explicit HttpSessionStore(HttpServer* server);
    ~HttpSessionStore() override;

    // Time as the store sees it; the current time unless a test sets another.
    void setClock(const HttpSession::Clock& clock) { this->clock = clock; }

    void startCleaner();
    QString cookieName() const;
    QByteArray sessionId(HttpRequest* request, HttpResponse* response);
    HttpSession session(HttpRequest* request, HttpResponse* response);
    HttpSession session(const QByteArray& id);
    void removeSession(HttpSession session);

signals:
    void aboutToRemove(const HttpSession& session);

public slots:
    void slotCleaner();

private:
    QTimer* cleanupTimer = nullptr;
    QMap<QByteArray, HttpSession> sessions;
    HttpSettings* settings;
    HttpSession::Clock clock = &QDateTime::currentDateTime;
    mutable QRecursiveMutex mutex; // connections on threads of their own share the map
};

} // namespace QuillonHttpd
