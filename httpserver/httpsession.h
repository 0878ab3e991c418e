#pragma once
// A server-side session: a handle to shared data (id, last access, values) that stays valid as
// long as any handle refers to it, also after the store has dropped it. Every copy renews the
// last access. The data carries its own lock, so handles on different threads exclude each other.

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QMutex>
#include <QSharedPointer>
#include <QString>
#include <QVariant>
#include <functional>

namespace QuillonHttpd {

class HttpSession
{
public:
    using Clock = std::function<QDateTime()>;

    // New session data: a new id, last access now, no values.
    HttpSession();
    explicit HttpSession(const Clock& clock);
    HttpSession(const HttpSession& other);
    HttpSession& operator=(const HttpSession& other);
    ~HttpSession();

    QByteArray getId() const;
    QDateTime getLastAccess() const;
    void setLastAccess();
    QVariant get(const QString& name) const;
    void set(const QString& name, const QVariant& value);
    void remove(const QString& name);
    bool contains(const QString& name) const;
    QMap<QString, QVariant> getAll() const;

private:
    struct Data
    {
        QByteArray id;
        QDateTime lastAccess;
        QMap<QString, QVariant> values;
        Clock clock;
        mutable QMutex lock;
    };
    QSharedPointer<Data> data;
};

} // namespace QuillonHttpd

Q_DECLARE_METATYPE(QuillonHttpd::HttpSession)
