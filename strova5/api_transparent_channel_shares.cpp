// The transparent channel's frames a second, shared among its senders.
#include "api_transparent_channel_shares.h"

qint64 Channel_shares::stored() const
{
    qint64 sum = pool;
    for (const share& s : shares)
        sum += s.frames;
    return sum;
}

void Channel_shares::refill(qint64 now_ms)
{
    if (at < 0) at = now_ms;
    // A sweep over the senders at most every 10 ms (a frame of the whole rate): a flood of
    // datagrams does not pay for one each.
    if (now_ms - at < 10) return;
    const qint64 whole = qint64(rate) * unit; // a second of the rate
    // rate frames a second are rate thousandths a millisecond.
    qint64 earned = (now_ms - at) * rate;
    at = now_ms;
    // While every place is taken, a sender unseen for a second gives its place up here as well
    // as to a newcomer: when a flood stops, nobody is left waiting for its parts to age out.
    const bool crowded = shares.size() >= rate;
    for (auto it = shares.begin(); it != shares.end();) {
        const qint64 unseen = now_ms - it->seen;
        if (unseen > idle_ms || (crowded && unseen > replaceable_ms)) {
            pool += it->frames;
            it = shares.erase(it);
        } else {
            ++it;
        }
    }
    // A part filled while fewer senders shared the rate keeps only today's share: the rest would
    // sit where nobody spends it, and with a full store nothing more is earned.
    const qint64 cap = std::max(unit, whole / std::max(1, shares.size()));
    qint64 stored = pool;
    for (share& s : shares) {
        if (s.frames > cap) {
            pool += s.frames - cap;
            stored += s.frames - cap;
            s.frames = cap;
        }
        stored += s.frames;
    }
    // Never more than a second of the rate stored, however many senders hold a part: senders
    // beyond the rate (forged sources) cannot save frames for one burst together.
    earned = std::min(earned, std::max<qint64>(0, whole - stored));
    qint64 held = 0;
    if (shares.isEmpty()) {
        pool += earned;
    } else {
        // What a full part cannot keep goes to the senders still below theirs, in equal parts (a
        // few rounds: each fills more of them), and only then to the pool, which is the first
        // comer's: so a flooder does not take by its speed what a quiet sender leaves.
        qint64 spare = earned;
        for (int round = 0; round < 4 && spare > 0; ++round) {
            qint64 below = 0;
            for (const share& s : qAsConst(shares))
                below += s.frames < cap;
            if (below == 0) break;
            const qint64 part = spare / below;
            // What does not divide goes to the first of them, one thousandth each.
            qint64 odd = spare % below;
            spare = 0;
            for (share& s : shares) {
                if (s.frames >= cap) continue;
                s.frames += part + (odd > 0 ? 1 : 0);
                odd -= odd > 0 ? 1 : 0;
                if (s.frames > cap) {
                    spare += s.frames - cap;
                    s.frames = cap;
                }
            }
        }
        pool += spare;
        for (const share& s : qAsConst(shares))
            held += s.frames;
    }
    pool = std::max<qint64>(0, std::min(pool, whole - held));
}

bool Channel_shares::ready(const QHostAddress& sender, qint64 now_ms)
{
    auto it = shares.find(sender);
    if (it == shares.end() && shares.size() >= rate) {
        auto oldest = shares.begin();
        for (auto o = shares.begin(); o != shares.end(); ++o)
            if (o->seen < oldest->seen) oldest = o;
        if (now_ms - oldest->seen > replaceable_ms) {
            pool += oldest->frames;
            shares.erase(oldest);
        }
    }
    if (it == shares.end() && shares.size() < rate) it = shares.insert(sender, share());
    if (it != shares.end()) it->seen = now_ms;
    refill(now_ms);
    it = shares.find(sender); // the sweep may have changed the table
    // Its part and the pool together: fractions left in both would otherwise hold a frame that
    // neither can spend, and with the store full none is earned.
    return (it != shares.end() ? it->frames : 0) + pool >= unit;
}

void Channel_shares::take(const QHostAddress& sender)
{
    qint64 due = unit;
    auto it = shares.find(sender);
    if (it != shares.end()) {
        const qint64 own = std::min(due, it->frames);
        it->frames -= own;
        due -= own;
    }
    pool = std::max<qint64>(0, pool - due);
}

void Channel_shares::gone(const QHostAddress& sender)
{
    auto it = shares.find(sender);
    if (it == shares.end()) return;
    pool += it->frames;
    shares.erase(it);
}
