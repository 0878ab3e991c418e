#pragma once
// The IEC 60870-5-104 controlled station: a TCP server for up to five controlling stations, one
// thread per connection running the APCI, and message queues for what the application sends.

#include "iec60870_asdu.h"
#include "iec60870_common.h"
#include "iec60870_platform.h"

typedef struct sControlledStation* ControlledStation;
typedef struct sClientConnection* ClientConnection;
typedef struct sMessageQueue* MessageQueue;
typedef struct sRedundancyGroup* RedundancyGroup;
typedef struct sAsduRing* AsduRing;

// Connection events.
enum { CONNECTION_OPENED = 0, CONNECTION_CLOSED = 1, CONNECTION_ACTIVATED = 2, CONNECTION_DEACTIVATED = 3 };

// Server modes.
enum {
    SERVER_MODE_SINGLE_QUEUE = 0,        // one queue shared by all connections, one active at a time
    SERVER_MODE_CONNECTION_IS_GROUP = 1, // a queue per connection, all may be active
    SERVER_MODE_MULTIPLE_REDUNDANCY_GROUPS = 2
};

typedef bool (*InterrogationHandler)(void* parameter, ClientConnection connection, Asdu asdu, uint8_t qoi);
typedef bool (*CounterInterrogationHandler)(void* parameter, ClientConnection connection, Asdu asdu,
                                            uint8_t qcc);
typedef bool (*ReadHandler)(void* parameter, ClientConnection connection, Asdu asdu, int ioa);
typedef bool (*ClockSynchronizationHandler)(void* parameter, ClientConnection connection, Asdu asdu,
                                            Cp56Time2a new_time);
typedef bool (*ResetProcessHandler)(void* parameter, ClientConnection connection, Asdu asdu, uint8_t qrp);
typedef bool (*DelayAcquisitionHandler)(void* parameter, ClientConnection connection, Asdu asdu,
                                        Cp16Time2a delay);
typedef bool (*AsduHandler)(void* parameter, ClientConnection connection, Asdu asdu);
typedef bool (*ConnectionRequestHandler)(void* parameter, const char* ip_address);
typedef void (*ConnectionEventHandler)(void* parameter, ClientConnection connection, int event);
typedef void (*RawMessageHandler)(void* parameter, ClientConnection connection, uint8_t* bytes, int size,
                                  bool sent);
// A full low-priority queue of `connection` (server mode 1) gave up its oldest waiting ASDU to a
// new one; called in the enqueuing thread, under the connection table's lock, so the connection
// stays valid during the call.
typedef void (*QueueOverflowHandler)(void* parameter, ClientConnection connection, const uint8_t* asdu,
                                     int size);

// ---- station

ControlledStation station_create(int low_priority_queue_size, int high_priority_queue_size);
void station_set_server_mode(ControlledStation self, int mode);
void station_set_local_address(ControlledStation self, const char* address);
void station_set_local_port(ControlledStation self, int port);
int station_get_local_port(ControlledStation self);
void station_set_max_open_connections(ControlledStation self, int n);
ApciParameters station_get_apci_parameters(ControlledStation self);
AppLayerParameters station_get_app_layer_parameters(ControlledStation self);
int station_get_open_connections(ControlledStation self);
void stack_get_version(int* major, int* minor, int* patch);

void station_set_interrogation_handler(ControlledStation self, InterrogationHandler handler, void* parameter);
void station_set_counter_interrogation_handler(ControlledStation self, CounterInterrogationHandler handler,
                                               void* parameter);
void station_set_read_handler(ControlledStation self, ReadHandler handler, void* parameter);
void station_set_clock_sync_handler(ControlledStation self, ClockSynchronizationHandler handler,
                                    void* parameter);
void station_set_asdu_handler(ControlledStation self, AsduHandler handler, void* parameter);
void station_set_connection_request_handler(ControlledStation self, ConnectionRequestHandler handler,
                                            void* parameter);
void station_set_connection_event_handler(ControlledStation self, ConnectionEventHandler handler,
                                          void* parameter);
void station_set_raw_message_handler(ControlledStation self, RawMessageHandler handler, void* parameter);
void station_set_queue_overflow_handler(ControlledStation self, QueueOverflowHandler handler,
                                        void* parameter);

// Returns once the listening socket exists (or failed: station_is_running then tells).
void station_start(ControlledStation self);
bool station_is_running(ControlledStation self);
// The errno of the last start that could not listen (0 when it could).
int station_get_start_error(ControlledStation self);
// Encodes the ASDU at once into the queues of the server mode; the caller keeps its object.
// False when it could not be encoded.
bool station_enqueue_asdu(ControlledStation self, Asdu asdu);
void station_stop(ControlledStation self);
// Stops, closes every connection and joins every thread of the station (within about 1 s).
void station_destroy(ControlledStation self);

// Driving the station from the application's own loop instead of threads.
void station_start_threadless(ControlledStation self);
// One pass of accepting, reading, sending and time-out checks, waiting at most `wait_ms`.
void station_tick(ControlledStation self, int wait_ms);
void station_stop_threadless(ControlledStation self);

// ---- redundancy groups (server mode 2)

RedundancyGroup redundancy_group_create(const char* name);
void redundancy_group_add_allowed_client(RedundancyGroup self, const uint8_t* address, bool is_ipv6);
void redundancy_group_add_allowed_client_text(RedundancyGroup self, const char* address);
void redundancy_group_destroy(RedundancyGroup self);
void station_add_redundancy_group(ControlledStation self, RedundancyGroup group);
RedundancyGroup station_find_redundancy_group(ControlledStation self, const char* ip_address);
const char* redundancy_group_get_name(RedundancyGroup self);
// IPv4 "a.b.c.d" or IPv6 (up to eight ":"-separated hex groups, no "::"); false when malformed.
bool parse_ip_address(uint8_t* address, bool* is_ipv6, const char* text);

// ---- what callbacks answer through

bool client_connection_send_asdu(ClientConnection self, Asdu asdu);
bool client_connection_send_act_con(ClientConnection self, Asdu asdu, bool negative);
bool client_connection_send_act_term(ClientConnection self, Asdu asdu);
void client_connection_close(ClientConnection self);
int client_connection_get_peer_address(ClientConnection self, char* buffer, int size);
AppLayerParameters client_connection_get_app_layer_parameters(ClientConnection self);
// Whether data transfer is started (STARTDT confirmed, no STOPDT since).
bool client_connection_is_active(ClientConnection self);

// ---- low-priority message queue

MessageQueue message_queue_create(int capacity);
void message_queue_destroy(MessageQueue self);
bool message_queue_enqueue(MessageQueue self, Asdu asdu);
// The same with an already encoded ASDU.
bool message_queue_enqueue_bytes(MessageQueue self, const uint8_t* asdu, int size);
void message_queue_reset(MessageQueue self);
int message_queue_count(MessageQueue self);
// Copies the oldest waiting entry (APCI space included) into `buffer` (256 bytes), marks it sent
// and tells its identity; false when none is waiting.
bool message_queue_take_next(MessageQueue self, uint8_t* buffer, int* size, int* index, uint64_t* time);
// Releases the confirmed entry and every sent one before it, when the identity still matches.
void message_queue_release(MessageQueue self, int index, uint64_t time);

// ---- a small ring of encoded ASDUs (at most ASDU_RING_MAX_CAPACITY), for an application that
// keeps its own few ASDUs waiting; a full ring overwrites its oldest entry.

#define ASDU_RING_MAX_CAPACITY 10

// Capacities above the maximum become the maximum, below 1 become 1; null when out of memory.
AsduRing asdu_ring_create(int capacity);
void asdu_ring_destroy(AsduRing self);
// False (the ring unchanged) when the ASDU cannot be encoded.
bool asdu_ring_enqueue(AsduRing self, Asdu asdu);
// Appends the oldest entry's bytes to `frame` and drops it; false (nothing appended, nothing
// dropped) when the ring is empty or the frame has no room for it.
bool asdu_ring_dequeue(AsduRing self, Frame frame);
bool asdu_ring_is_full(AsduRing self);
bool asdu_ring_is_empty(AsduRing self);
int asdu_ring_count(AsduRing self);
void asdu_ring_reset(AsduRing self);
