#include "httpsession.h"

#include <QMutexLocker>
#include <QUuid>

namespace QuillonHttpd {

HttpSession::HttpSession() : HttpSession(Clock(&QDateTime::currentDateTime)) {}

HttpSession::HttpSession(const Clock& clock) : data(QSharedPointer<Data>::create())
{
    data->id = QUuid::createUuid().toString().toUtf8();
    data->clock = clock;
    data->lastAccess = clock();
}

HttpSession::HttpSession(const HttpSession& other) : data(other.data)
{
    setLastAccess();
}

HttpSession& HttpSession::operator=(const HttpSession& other)
{
    data = other.data;
    setLastAccess();
    return *this;
}

HttpSession::~HttpSession() = default;

QByteArray HttpSession::getId() const
{
    QMutexLocker locker(&data->lock);
    return data->id;
}

QDateTime HttpSession::getLastAccess() const
{
    QMutexLocker locker(&data->lock);
    return data->lastAccess;
}

void HttpSession::setLastAccess()
{
    QMutexLocker locker(&data->lock);
    data->lastAccess = data->clock();
}

QVariant HttpSession::get(const QString& name) const
{
    QMutexLocker locker(&data->lock);
    return data->values.value(name);
}

void HttpSession::set(const QString& name, const QVariant& value)
{
    QMutexLocker locker(&data->lock);
    data->values.insert(name, value);
}

void HttpSession::remove(const QString& name)
{
    QMutexLocker locker(&data->lock);
    data->values.remove(name);
}

bool HttpSession::contains(const QString& name) const
{
    QMutexLocker locker(&data->lock);
    return data->values.contains(name);
}

QMap<QString, QVariant> HttpSession::getAll() const
{
    QMutexLocker locker(&data->lock);
    return data->values;
}

} // namespace QuillonHttpd
