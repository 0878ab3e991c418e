#pragma once
// Layouts the station, its connections and its queues share; not for the application.

#include "iec60870_apci_private.h"
#include "iec60870_frame.h"
#include "iec60870_server.h"

#include <atomic>

#define STATION_MAX_CONNECTIONS 5
// What callbacks may leave waiting for the k window before the connection gives up.
#define CONNECTION_BACKLOG_LIMIT (64u * 1024u * 1024u)
#define APDU_BUFFER 256

typedef struct
{
    uint64_t time; // identity together with the index; strictly increasing per queue
    uint8_t message[APDU_BUFFER];
    uint32_t size;  // 6 APCI bytes + ASDU
    uint32_t state; // 0 free, 1 waiting, 2 sent and unconfirmed
} MessageQueueEntry;

struct sMessageQueue
{
    int capacity;
    int count;
    int newest;
    int oldest;
    uint64_t last_time;
    MessageQueueEntry* entries;
    Semaphore lock;
};

// message_queue_enqueue_bytes that copies the ASDU it overwrote (when full) into `dropped`
// (APDU_BUFFER bytes) and tells its size there, else 0.
bool message_queue_enqueue_bytes_dropping(MessageQueue self, const uint8_t* asdu, int size, uint8_t* dropped,
                                          int* dropped_size);

struct sAsduRing
{
    int capacity;
    int count;
    int oldest;
    int newest;
    sStaticFrame frame; // encodes into the slot being filled
    struct
    {
        uint8_t size;
        uint8_t data[APDU_BUFFER];
    } entries[ASDU_RING_MAX_CAPACITY];
    Semaphore lock;
};

typedef struct
{
    uint8_t address[16];
    bool is_ipv6;
} AllowedClient;

struct sRedundancyGroup
{
    char* name;
    MessageQueue low_priority;
    LinkedList allowed_clients;
};

typedef struct
{
    uint64_t queue_time; // 0 for frames not from the low-priority queue
    int queue_index;     // -1 likewise
    uint64_t sent_time;
    int sequence; // the N(R) that acknowledges exactly this frame
} SentFrame;

typedef struct
{
    bool (*send_asdu)(ClientConnection self, Asdu asdu);
    bool (*send_act_con)(ClientConnection self, Asdu asdu, bool negative);
    bool (*send_act_term)(ClientConnection self, Asdu asdu);
    void (*close)(ClientConnection self);
    int (*get_peer_address)(ClientConnection self, char* buffer, int size);
    AppLayerParameters (*get_app_layer_parameters)(ClientConnection self);
} ClientConnectionOperations;

struct sClientConnection
{
    const ClientConnectionOperations* operations;
    Socket socket;
    ControlledStation station;
    std::atomic<bool> active;
    std::atomic<bool> running;
    Thread thread;

    int send_sequence;
    ReceiveAcknowledgement acknowledgement;
    uint64_t idle_deadline;

    // The k window: frames sent and not yet acknowledged, guarded by sent_lock, which also
    // serialises every write to the socket.
    int k;
    int sent_oldest;
    int sent_count;
    SentFrame* sent;
    Semaphore sent_lock;

    SocketSet socket_set;
    ApduReceiver receiver;

    // What callbacks sent while the window was full: [2-byte size][ASDU] records, in order,
    // drained ahead of the low-priority queue. Guarded by sent_lock.
    uint8_t* backlog;
    size_t backlog_size;
    size_t backlog_start;
    size_t backlog_capacity;

    // One write per send pass: the frames gathered while the window has room.
    uint8_t* send_buffer;

    MessageQueue low_priority;
    bool owns_queue;
    RedundancyGroup group;
    bool waiting; // the last send pass left entries in the queue
};

struct sControlledStation
{
    InterrogationHandler interrogation_handler;
    void* interrogation_parameter;
    CounterInterrogationHandler counter_interrogation_handler;
    void* counter_interrogation_parameter;
    ReadHandler read_handler;
    void* read_parameter;
    ClockSynchronizationHandler clock_sync_handler;
    void* clock_sync_parameter;
    ResetProcessHandler reset_process_handler;
    void* reset_process_parameter;
    DelayAcquisitionHandler delay_acquisition_handler;
    void* delay_acquisition_parameter;
    AsduHandler asdu_handler;
    void* asdu_parameter;
    ConnectionRequestHandler connection_request_handler;
    void* connection_request_parameter;
    ConnectionEventHandler connection_event_handler;
    void* connection_event_parameter;
    RawMessageHandler raw_message_handler;
    void* raw_message_parameter;
    QueueOverflowHandler queue_overflow_handler;
    void* queue_overflow_parameter;

    MessageQueue low_priority; // mode 0
    int low_priority_size;
    int high_priority_size;

    int open_connections;
    ClientConnection connections[STATION_MAX_CONNECTIONS];
    Semaphore connections_lock;
    // Threads of ended connections, joined by the server thread and by station_destroy.
    LinkedList finished;

    bool threadless;
    int max_open_connections;
    struct sApciParameters apci;
    struct sAppLayerParameters app_layer;

    std::atomic<bool> starting;
    std::atomic<bool> running;
    std::atomic<bool> stop_requested;

    int port;
    int start_error; // errno of the last start that could not listen
    LinkedList groups;
    int mode;
    char* local_address;
    Thread server_thread;
    ServerSocket server_socket;
    SocketSet tick_set;
};

// Used by the station.
ClientConnection connection_create(ControlledStation station, Socket socket, MessageQueue low_priority,
                                   bool owns_queue);
void* connection_thread(void* parameter);
void connection_destroy(ClientConnection self);
void connection_activate(ClientConnection self);
void connection_deactivate(ClientConnection self);
// Reads what is waiting and handles every complete APDU; false ends the connection.
bool connection_receive_message(ClientConnection self);
// Sends what is queued (when active) and checks the timers; false ends the connection.
bool connection_service(ClientConnection self);
void connection_event(ClientConnection self, int event);
// Removes an ended connection from the table (under the lock), then frees it.
void station_remove_connection(ControlledStation self, ClientConnection connection);
