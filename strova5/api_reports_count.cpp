// The rows of a report's window counted ahead, as cheaply as the window allows.
#include "api_reports_count.h"

#include "api_reports_job.h"
#include "ram_modems.h"
#include "sql_exchange.h"

namespace {
// Rows a statement counts from the key: some tens of milliseconds of the server's time.
constexpr qint64 piece_rows = 200000;
} // namespace

window_count::window_count(bool events_, QList<uint32_t> kinds_, uint32_t from_, uint32_t to_, uint32_t cap_,
                           bool want_counts_)
    : events(events_), kinds(std::move(kinds_)), from(from_), to(to_), cap(cap_), want_counts(want_counts_)
{
}

bool window_count::exact()
{
    if (mode != nothing || forced) return false;
    forced = true;
    mode = undecided;
    return true;
}

void window_count::decide(const QList<uint32_t>& modems, qint64 row_bytes)
{
    if (from > to) {
        mode = nothing; // an empty window holds no rows
        return;
    }
    SQL_Exchange* sql = SQL_Exchange::instance;
    const qint64 estimate = sql->estimate_window_rows(events, kinds, from, to);
    if (estimate < 0) {
        mode = by_modem; // not told: counted modem by modem
        return;
    }
    const qint64 modems_n = qMax<qint64>(1, modems.size());
    // The estimate is of every modem's rows, at the fewest bytes a row takes: while it says the
    // answer fits, the count is folded into the reading (the answer's own size refuses it, should
    // the estimate fall short); otherwise the count tells before anything is built.
    const bool near_bound = forced || estimate * row_bytes > report_job::answer_max;
    const bool thin = estimate <= 4 * modems_n;
    const qint64 pieces = qMax<qint64>(1, (estimate + piece_rows - 1) / piece_rows);
    // The key holds every modem's rows: it is worth reading for a good share of them only. The
    // registry counts the fleet exactly; the engine's sampled statistic may count it many times
    // over on an aged table, so it may only lower the figure (a table holding fewer modems).
    const auto most_modems = [&] {
        qint64 fleet = RAM_modems::instance ? RAM_modems::instance->modem_count() : -1;
        const qint64 told = sql->estimate_modems(events);
        if (told >= 0) fleet = fleet < 0 ? told : qMin(fleet, told);
        return modems_n * 4 >= fleet;
    };
    const bool key_fits = pieces <= modems_n && (thin || (near_bound && most_modems()));
    if (!near_bound && !(want_counts && thin))
        mode = nothing;
    else if (key_fits)
        mode = by_key;
    else
        mode = near_bound ? by_modem : nothing;
    if (mode != by_key) return;
    piece_s = (quint64(to) - from) / quint64(pieces) + 1;
    next_from = from;
}

qint64 window_count::count(const QList<uint32_t>& modems, int at, int want, qint64 row_bytes, int& done,
                           const std::function<qint64(int&)>& per_modem)
{
    if (mode == undecided) decide(modems, row_bytes);
    if (mode == by_modem) return per_modem(done);
    if (mode == nothing) {
        done = modems.size() - at;
        return 0;
    }
    (void)want;
    SQL_Exchange* sql = SQL_Exchange::instance;
    // Rows lie unevenly in time: a piece is halved while the key's estimate says it holds more
    // than a statement should count.
    quint64 piece_end = qMin<quint64>(quint64(to), next_from + piece_s - 1);
    while (piece_end > next_from &&
           sql->estimate_window_rows(events, kinds, uint32_t(next_from), uint32_t(piece_end)) > piece_rows)
        piece_end = next_from + (piece_end - next_from) / 2;
    const uint32_t piece_to = uint32_t(piece_end);
    QHash<uint32_t, uint32_t> piece;
    if (!sql->count_window_rows(events, kinds, uint32_t(next_from), piece_to, piece)) {
        done = modems.size() - at; // the caller sees the failure through its read watch
        return 0;
    }
    next_from = quint64(piece_to) + 1;
    // Only the report's modems, each up to its own limit.
    static const auto capped = [](uint32_t n, uint32_t c) { return qint64(qMin(n, c)); };
    qint64 added = 0;
    if (counts.isEmpty() && !piece.isEmpty()) counts.reserve(modems.size());
    for (auto it = piece.cbegin(); it != piece.cend(); ++it) {
        auto held = counts.find(it.key());
        if (held == counts.end()) {
            if (asked.isEmpty()) asked = QSet<uint32_t>(modems.cbegin(), modems.cend());
            if (!asked.contains(it.key())) continue;
            held = counts.insert(it.key(), 0);
        }
        added += capped(*held + it.value(), cap) - capped(*held, cap);
        *held += it.value();
    }
    done = next_from > quint64(to) ? modems.size() - at : 1;
    return added;
}
