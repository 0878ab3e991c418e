#pragma once
// Tables found locked elsewhere (LOCK TABLES, an ALTER TABLE waiting behind a long transaction):
// once a read met the server's lock bound on one, the main thread's reads of it fail at once for
// a while rather than wait the bound again each time.

#include <QHash>
#include <QString>
#include <functional>

class Busy_tables
{
public:
    // `now`: milliseconds on a steady clock; a table stays busy `hold_ms` after it was remembered.
    Busy_tables(std::function<qint64()> now, qint64 hold_ms) : now(std::move(now)), hold_ms(hold_ms) {}
    // `table` while it is remembered busy, else empty.
    QString busy(const QString& table) const;
    void remember(const QString& table);
    // Whether `statement` only reads: only a read's wait tells that the reads of its table wait
    // (a write also waits for a row lock, which reads pass; ANALYZE also for a backup's global
    // read lock, which reads pass too).
    static bool is_read(const QString& statement);

private:
    std::function<qint64()> now;
    qint64 hold_ms;
    QHash<QString, qint64> until; // table -> clock time
};
