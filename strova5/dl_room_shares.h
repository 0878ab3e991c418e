#pragma once
// The downlink room shared among the callers holding a command right (each by its verified
// token, as the report places are): how many downlinks each has queued, and how many more it may
// add. The queue is first in, first out, so a downlink is counted by its place in the order all
// downlinks entered the room: those that entered before `left` have gone (published and confirmed,
// or dropped). A downlink that overtakes another (a frame posted straight while a command is on its
// way through a queued signal) shifts the counts by one while both are queued, never for longer.
//
// Without a database and without a clock: the caller hands in the order numbers and the room.

#include <QHash>
#include <QString>
#include <deque>

class Dl_room_shares
{
public:
    // The last places of the room, kept for callers holding fewer than `small_holding` queued
    // downlinks: the operator's command to one modem finds room beside any number of floods.
    static constexpr int reserve = 1000;
    static constexpr int small_holding = 100;

    // Every downlink numbered below `left` has left the room.
    void advance(quint64 left);
    // A downlink of `caller` entered the room as number `seq` (numbers only grow).
    void entered(const QString& caller, quint64 seq);
    // How many more downlinks `caller` may add now, `free_room` places being free of `capacity`:
    // below `small_holding` of its own it takes any free place; beyond that none of the last
    // `reserve` places, and while other callers have downlinks queued no more than an equal part,
    // over them and itself, of the room less those places. A caller alone keeps all of it.
    int allowance(const QString& caller, int free_room, int capacity) const;
    // The equal part `caller` may hold now (the room less the reserve when it is alone).
    int part(const QString& caller, int capacity) const;
    int queued(const QString& caller) const { return counts.value(caller); }
    // Callers with downlinks queued.
    int callers() const { return counts.size(); }
    static int reserve_of(int capacity);

private:
    struct run
    {
        QString caller;
        quint64 from; // the first of the run still queued
        quint64 end;
    };
    std::deque<run> runs; // in the order the downlinks entered, one caller's consecutive ones together
    QHash<QString, int> counts;
};
