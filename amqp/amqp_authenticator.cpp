#include "amqp_authenticator.h"
#include "amqp_frame.h"
#include "amqp_table.h"

AmqpAuthenticator::~AmqpAuthenticator() = default;

AmqpPlainAuthenticator::AmqpPlainAuthenticator(const QString& login, const QString& password)
    : user(login), secret(password)
{
}

QString AmqpPlainAuthenticator::type() const
{
    return QStringLiteral("AMQPLAIN");
}

void AmqpPlainAuthenticator::write(QDataStream& out)
{
    AmqpFrame::writeAmqpField(out, AmqpMetaType::ShortString, type());
    // The table's own length prefix makes it the long-string response at the same time.
    AmqpTable response;
    response.insert(QStringLiteral("LOGIN"), user);
    response.insert(QStringLiteral("PASSWORD"), secret);
    out << response;
}
