#pragma once
// The APCI layer both ends of a link share: gathering APDUs from the socket and writing frames
// whole. Not for the application.

#include "iec60870_common.h"
#include "iec60870_platform.h"

#include <atomic>
#include <stdbool.h>
#include <stdint.h>

// The largest length byte the standard allows: 4 control bytes and the largest ASDU. Above it
// the bytes are not an APDU and the connection closes; no APDU written is longer than 2 + 253.
#define APDU_MAX_LENGTH (4 + IEC60870_MAX_ASDU_SIZE)
#define APDU_MAX_SIZE (2 + APDU_MAX_LENGTH)
// The buffer gathers several APDUs per read.
#define APDU_RECEIVE_BUFFER 4096

typedef struct
{
    uint8_t bytes[APDU_RECEIVE_BUFFER];
    int received;
    uint64_t partial_since; // arrival of the first byte of an incomplete APDU, 0 when none
} ApduReceiver;

void apdu_receiver_reset(ApduReceiver* self);

// What this end owes the peer for the I-frames it received. Written by the connection thread,
// also read or reset by a send from another thread.
typedef struct
{
    std::atomic<int> receive_sequence;
    std::atomic<int> unconfirmed_received;
    std::atomic<bool> t2_running;
    std::atomic<uint64_t> last_confirmation_time;
} ReceiveAcknowledgement;

// Called with each complete APDU, in a copy with room behind it (answers are built in place);
// false ends the connection.
typedef bool (*ApduHandler)(void* context, uint8_t* apdu, int size);

// Reads what the socket has and hands on every complete APDU. False when the socket failed, the
// bytes are not APDUs or the handler refused one; a partial APDU waits for the next read.
bool apdu_receiver_read(ApduReceiver* self, Socket socket, ApduHandler handler, void* context);

// Whether a write must stop waiting for a peer that takes nothing.
typedef bool (*WriteAbandoned)(void* context);

// Writes every byte or fails: on a write error, when `abandoned` says so, or when the peer takes
// nothing for `t1_ms`.
bool apci_write_all(Socket socket, const uint8_t* bytes, int size, uint64_t t1_ms, WriteAbandoned abandoned,
                    void* context);
