#include "sql_busy_tables.h"

#include <QRegularExpression>

QString Busy_tables::busy(const QString& table) const
{
    if (until.isEmpty() || table.isEmpty()) return QString();
    return until.value(table, -1) > now() ? table : QString();
}

void Busy_tables::remember(const QString& table)
{
    if (table.isEmpty()) return;
    const qint64 t = now();
    for (auto it = until.begin(); it != until.end();)
        it = it.value() <= t ? until.erase(it) : std::next(it);
    until.insert(table, t + hold_ms);
}

bool Busy_tables::is_read(const QString& statement)
{
    static const QRegularExpression read(QStringLiteral("^[\\s(]*(SELECT|SHOW|WITH|EXPLAIN)\\b"),
                                         QRegularExpression::CaseInsensitiveOption);
    return read.match(statement).hasMatch();
}
