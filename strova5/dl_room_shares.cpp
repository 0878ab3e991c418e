// The downlink room shared among the callers holding a command right.
#include "dl_room_shares.h"

#include <algorithm>

int Dl_room_shares::reserve_of(int capacity)
{
    return std::max(0, std::min(reserve, capacity / 2));
}

void Dl_room_shares::advance(quint64 left)
{
    while (!runs.empty() && runs.front().from < left) {
        run& r = runs.front();
        const quint64 gone = std::min(left, r.end) - r.from;
        auto it = counts.find(r.caller);
        if (it != counts.end()) {
            *it -= int(gone);
            if (*it <= 0) counts.erase(it);
        }
        if (left >= r.end)
            runs.pop_front();
        else
            r.from = left;
    }
}

void Dl_room_shares::entered(const QString& caller, quint64 seq)
{
    if (!runs.empty() && runs.back().caller == caller && runs.back().end == seq)
        ++runs.back().end;
    else
        runs.push_back(run{caller, seq, seq + 1});
    ++counts[caller];
}

int Dl_room_shares::part(const QString& caller, int capacity) const
{
    const int others = counts.size() - (counts.contains(caller) ? 1 : 0);
    return std::max(0, capacity - reserve_of(capacity)) / (others + 1);
}

int Dl_room_shares::allowance(const QString& caller, int free_room, int capacity) const
{
    if (free_room <= 0) return 0;
    const int held = queued(caller);
    // Both start at the first free place: the larger one is what the caller may add.
    const int anywhere = std::max(0, std::min(free_room, small_holding - held));
    const int above_reserve = std::max(0, free_room - reserve_of(capacity));
    const int within_part = std::max(0, part(caller, capacity) - held);
    return std::max(anywhere, std::min(above_reserve, within_part));
}
