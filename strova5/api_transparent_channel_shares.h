#pragma once
// The transparent channel's frames a second shared among its senders.

#include <QHash>
#include <QHostAddress>
#include <algorithm>
#include <cstdint>

// Shares the channel's frames a second among its senders (addresses, UDP and TCP alike): each
// sender seen within `idle_ms` earns an equal part of the rate, kept up to a second of that
// part; what a sender leaves unused goes to the senders below their part, then into a pool that
// any sender may take from. Never more than a second of the whole rate is stored, so all senders
// together keep to the rate; and no part is left holding what nobody spends: a part beyond its
// share (more senders came since it filled) goes to the pool, so does the part of a sender that
// is gone, and a sender may spend its part and the pool together.
//
// Frames are counted in thousandths, as whole numbers: a part is earned exactly, and a sender
// whose part is full holds exactly one frame (a sum of fractions would stop a hair below it, and
// with it the whole channel).
class Channel_shares
{
public:
    static constexpr qint64 idle_ms = 10000;
    // At most as many senders as frames a second are tracked, each with at least a frame a
    // second. While every place is taken, one not seen for this long gives its place and its part
    // up (a newcomer takes the place, the pool the part); a sender without a place takes only from
    // the pool. A sender that keeps sending at least once a second keeps its place however many
    // (forged) sources flood; one that holds no place while they take them all gets nothing.
    static constexpr qint64 replaceable_ms = 1000;
    static constexpr qint64 unit = 1000; // a frame

    explicit Channel_shares(int per_second) : rate(std::max(1, per_second)), pool(qint64(rate) * unit) {}
    // Whether `sender` may forward a frame at `now_ms` (a monotonic clock); marks it as seen.
    bool ready(const QHostAddress& sender, qint64 now_ms);
    // Spends the frame that ready() found: the sender's own part first, then the pool.
    void take(const QHostAddress& sender);
    // `sender` will send no more (its TCP connection ended or was replaced): its part goes to the
    // pool at once instead of waiting out `idle_ms` full.
    void gone(const QHostAddress& sender);
    int senders() const { return shares.size(); }
    int max_senders() const { return rate; }
    // Thousandths of frames held by the senders and the pool together.
    qint64 stored() const;

private:
    struct share
    {
        qint64 frames = 0; // earned, not yet spent, in thousandths
        qint64 seen = 0;
    };
    int rate;
    qint64 pool;
    qint64 at = -1; // the last refill
    QHash<QHostAddress, share> shares;

    void refill(qint64 now_ms);
};
