#include "iec60870_server_private.h"

#include <errno.h>
#include <new>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

ControlledStation station_create(int low_priority_queue_size, int high_priority_queue_size)
{
    void* memory = platform_calloc(1, sizeof(struct sControlledStation));
    if (memory == nullptr) return nullptr;
    ControlledStation self = new (memory) sControlledStation;
    self->low_priority_size = low_priority_queue_size;
    self->high_priority_size = high_priority_queue_size;
    self->connections_lock = platform_semaphore_create(1);
    self->finished = linked_list_create();
    if (self->connections_lock == nullptr || self->finished == nullptr) {
        platform_semaphore_destroy(self->connections_lock);
        if (self->finished) linked_list_destroy_static(self->finished);
        self->~sControlledStation();
        platform_free(self);
        return nullptr;
    }
    self->max_open_connections = STATION_MAX_CONNECTIONS;
    self->apci = {12, 8, 30, 15, 10, 20};
    self->app_layer = {1, 1, 2, 0, 2, 3, 249};
    self->starting = false;
    self->running = false;
    self->stop_requested = false;
    self->port = 2404;
    self->mode = SERVER_MODE_SINGLE_QUEUE;
    return self;
}

void station_set_server_mode(ControlledStation self, int mode)
{
    self->mode = mode;
}

void station_set_local_address(ControlledStation self, const char* address)
{
    platform_free(self->local_address);
    self->local_address = nullptr;
    if (address) {
        self->local_address = (char*)platform_malloc(strlen(address) + 1);
        if (self->local_address) strcpy(self->local_address, address);
    }
}

void station_set_local_port(ControlledStation self, int port)
{
    self->port = port;
}

int station_get_local_port(ControlledStation self)
{
    return self->port;
}

void station_set_max_open_connections(ControlledStation self, int n)
{
    self->max_open_connections = n > STATION_MAX_CONNECTIONS ? STATION_MAX_CONNECTIONS : n;
}

ApciParameters station_get_apci_parameters(ControlledStation self)
{
    return &self->apci;
}

AppLayerParameters station_get_app_layer_parameters(ControlledStation self)
{
    return &self->app_layer;
}

int station_get_open_connections(ControlledStation self)
{
    platform_semaphore_wait(self->connections_lock);
    int n = self->open_connections;
    platform_semaphore_post(self->connections_lock);
    return n;
}

void stack_get_version(int* major, int* minor, int* patch)
{
    *major = 2;
    *minor = 1;
    *patch = 0;
}

#define SETTER(name, type, field)                                                                            \
    void name(ControlledStation self, type handler, void* parameter)                                         \
    {                                                                                                        \
        self->field##_handler = handler;                                                                     \
        self->field##_parameter = parameter;                                                                 \
    }
SETTER(station_set_interrogation_handler, InterrogationHandler, interrogation)
SETTER(station_set_counter_interrogation_handler, CounterInterrogationHandler, counter_interrogation)
SETTER(station_set_read_handler, ReadHandler, read)
SETTER(station_set_clock_sync_handler, ClockSynchronizationHandler, clock_sync)
SETTER(station_set_asdu_handler, AsduHandler, asdu)
SETTER(station_set_connection_request_handler, ConnectionRequestHandler, connection_request)
SETTER(station_set_connection_event_handler, ConnectionEventHandler, connection_event)
SETTER(station_set_raw_message_handler, RawMessageHandler, raw_message)
SETTER(station_set_queue_overflow_handler, QueueOverflowHandler, queue_overflow)
#undef SETTER

// ---- redundancy groups

RedundancyGroup redundancy_group_create(const char* name)
{
    RedundancyGroup self = (RedundancyGroup)platform_calloc(1, sizeof(struct sRedundancyGroup));
    if (self == nullptr) return nullptr;
    if (name) {
        self->name = (char*)platform_malloc(strlen(name) + 1);
        if (self->name) strcpy(self->name, name);
    }
    return self;
}

const char* redundancy_group_get_name(RedundancyGroup self)
{
    return self->name;
}

void redundancy_group_add_allowed_client(RedundancyGroup self, const uint8_t* address, bool is_ipv6)
{
    if (self->allowed_clients == nullptr) self->allowed_clients = linked_list_create();
    AllowedClient* c = (AllowedClient*)platform_calloc(1, sizeof(AllowedClient));
    if (self->allowed_clients == nullptr || c == nullptr) {
        platform_free(c);
        return;
    }
    memcpy(c->address, address, is_ipv6 ? 16 : 4);
    c->is_ipv6 = is_ipv6;
    linked_list_add(self->allowed_clients, c);
}

void redundancy_group_add_allowed_client_text(RedundancyGroup self, const char* address)
{
    uint8_t bytes[16];
    bool is_ipv6 = false;
    if (parse_ip_address(bytes, &is_ipv6, address)) redundancy_group_add_allowed_client(self, bytes, is_ipv6);
}

void redundancy_group_destroy(RedundancyGroup self)
{
    if (self == nullptr) return;
    platform_free(self->name);
    message_queue_destroy(self->low_priority);
    if (self->allowed_clients) linked_list_destroy(self->allowed_clients);
    platform_free(self);
}

void station_add_redundancy_group(ControlledStation self, RedundancyGroup group)
{
    if (self->mode != SERVER_MODE_MULTIPLE_REDUNDANCY_GROUPS) return;
    if (self->groups == nullptr) self->groups = linked_list_create();
    if (self->groups) linked_list_add(self->groups, group);
}

bool parse_ip_address(uint8_t* address, bool* is_ipv6, const char* text)
{
    memset(address, 0, 16);
    if (text == nullptr) return false;
    *is_ipv6 = strchr(text, '.') == nullptr;
    const int groups = *is_ipv6 ? 8 : 4;
    const int base = *is_ipv6 ? 16 : 10;
    const char separator = *is_ipv6 ? ':' : '.';
    const char* p = text;
    for (int i = 0; i < groups; i++) {
        char* end = nullptr;
        long v = strtol(p, &end, base);
        if (end == p || v < 0 || v > (*is_ipv6 ? 0xFFFF : 0xFF)) return false;
        if (*is_ipv6) {
            address[2 * i] = (uint8_t)(v >> 8);
            address[2 * i + 1] = (uint8_t)(v & 0xFF);
        } else {
            address[i] = (uint8_t)v;
        }
        if (*end == '\0') return true;
        if (*end != separator) return false;
        p = end + 1;
    }
    return false;
}

static bool group_allows(RedundancyGroup g, const uint8_t* address, bool is_ipv6)
{
    for (LinkedList n = linked_list_next(g->allowed_clients); n; n = linked_list_next(n)) {
        AllowedClient* c = (AllowedClient*)linked_list_get_data(n);
        if (c->is_ipv6 == is_ipv6 && memcmp(c->address, address, is_ipv6 ? 16 : 4) == 0) return true;
    }
    return false;
}

RedundancyGroup station_find_redundancy_group(ControlledStation self, const char* ip_address)
{
    uint8_t address[16];
    bool is_ipv6 = false;
    const bool parsed = parse_ip_address(address, &is_ipv6, ip_address);
    RedundancyGroup catch_all = nullptr;
    for (LinkedList n = linked_list_next(self->groups); n; n = linked_list_next(n)) {
        RedundancyGroup g = (RedundancyGroup)linked_list_get_data(n);
        if (g->allowed_clients == nullptr || linked_list_size(g->allowed_clients) == 0)
            catch_all = g;
        else if (parsed && group_allows(g, address, is_ipv6))
            return g;
    }
    return catch_all;
}

static void create_group_queues(ControlledStation self)
{
    if (self->groups == nullptr) self->groups = linked_list_create();
    if (self->groups == nullptr) return;
    if (linked_list_size(self->groups) == 0) linked_list_add(self->groups, redundancy_group_create(nullptr));
    for (LinkedList n = linked_list_next(self->groups); n; n = linked_list_next(n)) {
        RedundancyGroup g = (RedundancyGroup)linked_list_get_data(n);
        if (g && g->low_priority == nullptr) g->low_priority = message_queue_create(self->low_priority_size);
    }
}

// ---- connections

// The peer's address without its port.
static void peer_ip(Socket socket, char* ip)
{
    ip[0] = '\0';
    char text[PLATFORM_PEER_ADDRESS_SIZE];
    if (platform_socket_get_peer_address_into(socket, text) == nullptr) return;
    if (text[0] == '[') {
        char* end = strchr(text, ']');
        if (end) *end = '\0';
        strcpy(ip, text + 1);
    } else {
        char* colon = strrchr(text, ':');
        if (colon) *colon = '\0';
        strcpy(ip, text);
    }
}

static void reap_finished(ControlledStation self)
{
    platform_semaphore_wait(self->connections_lock);
    LinkedList finished = self->finished;
    LinkedList fresh = linked_list_create();
    if (fresh) self->finished = fresh;
    platform_semaphore_post(self->connections_lock);
    if (fresh == nullptr) return;
    for (LinkedList n = linked_list_next(finished); n; n = linked_list_next(n))
        platform_thread_destroy((Thread)linked_list_get_data(n));
    linked_list_destroy_static(finished);
}

void station_remove_connection(ControlledStation self, ClientConnection connection)
{
    platform_semaphore_wait(self->connections_lock);
    for (int i = 0; i < STATION_MAX_CONNECTIONS; i++)
        if (self->connections[i] == connection) {
            self->connections[i] = nullptr;
            self->open_connections--;
        }
    if (connection->thread) linked_list_add(self->finished, connection->thread);
    platform_semaphore_post(self->connections_lock);
    connection_destroy(connection);
}

// Takes one pending client when there is one; the new connection, already in the table.
static ClientConnection accept_client(ControlledStation self)
{
    for (;;) {
        Socket socket = platform_server_socket_accept(self->server_socket);
        if (socket == nullptr) return nullptr;
        const int max = self->max_open_connections;
        if (max >= 1 && station_get_open_connections(self) >= max) {
            platform_socket_destroy(socket);
            continue;
        }
        char ip[PLATFORM_PEER_ADDRESS_SIZE];
        peer_ip(socket, ip);
        if (self->connection_request_handler &&
            !self->connection_request_handler(self->connection_request_parameter, ip)) {
            platform_socket_destroy(socket);
            continue;
        }
        MessageQueue queue = nullptr;
        RedundancyGroup group = nullptr;
        bool owns = false;
        if (self->mode == SERVER_MODE_SINGLE_QUEUE) {
            queue = self->low_priority;
        } else if (self->mode == SERVER_MODE_CONNECTION_IS_GROUP) {
            queue = message_queue_create(self->low_priority_size);
            owns = true;
        } else {
            group = station_find_redundancy_group(self, ip);
            if (group) queue = group->low_priority;
        }
        ClientConnection c = queue ? connection_create(self, socket, queue, owns) : nullptr;
        if (c == nullptr) {
            if (owns) message_queue_destroy(queue);
            platform_socket_destroy(socket);
            continue;
        }
        c->group = group;
        // Running before it is in the table, so a close asked from then on is never undone.
        c->running = true;
        platform_semaphore_wait(self->connections_lock);
        bool placed = false;
        for (int i = 0; i < STATION_MAX_CONNECTIONS && !placed; i++)
            if (self->connections[i] == nullptr) {
                self->connections[i] = c;
                self->open_connections++;
                placed = true;
            }
        platform_semaphore_post(self->connections_lock);
        if (!placed) {
            connection_destroy(c);
            continue;
        }
        return c;
    }
}

// Opens the listening socket; on failure the station is left not starting.
static bool open_server_socket(ControlledStation self)
{
    self->server_socket =
        platform_server_socket_create(self->local_address ? self->local_address : "0.0.0.0", self->port);
    const bool listening =
        self->server_socket != nullptr && platform_server_socket_listen(self->server_socket);
    self->start_error = listening ? 0 : errno;
    if (!listening) {
        if (self->server_socket) platform_server_socket_destroy(self->server_socket);
        self->server_socket = nullptr;
        self->starting = false;
        return false;
    }
    return true;
}

static void* server_thread(void* parameter)
{
    ControlledStation self = (ControlledStation)parameter;
    if (!open_server_socket(self)) return nullptr;
    self->running = true;
    self->starting = false;
    while (!self->stop_requested) {
        ClientConnection c = accept_client(self);
        if (c == nullptr) {
            reap_finished(self);
            platform_sleep_ms(10);
            continue;
        }
        Thread t = platform_thread_create(connection_thread, c, false);
        c->thread = t;
        if (t == nullptr || !platform_thread_start(t)) {
            // No thread: the connection ends here, as it would at its own end.
            if (t) {
                platform_thread_destroy(t);
                c->thread = nullptr;
            }
            c->running = false;
            connection_event(c, CONNECTION_CLOSED);
            station_remove_connection(self, c);
        }
    }
    platform_server_socket_destroy(self->server_socket);
    self->server_socket = nullptr;
    self->running = false;
    self->stop_requested = false;
    return nullptr;
}

static void prepare_queues(ControlledStation self)
{
    if (self->mode == SERVER_MODE_SINGLE_QUEUE && self->low_priority == nullptr)
        self->low_priority =
            message_queue_create(self->low_priority_size < 1 ? 100 : self->low_priority_size);
    if (self->mode == SERVER_MODE_MULTIPLE_REDUNDANCY_GROUPS) create_group_queues(self);
}

void station_start(ControlledStation self)
{
    if (self->running) return;
    // The thread of a start that could not listen has ended; it is joined before a new one.
    if (self->server_thread) {
        platform_thread_destroy(self->server_thread);
        self->server_thread = nullptr;
    }
    self->starting = true;
    self->stop_requested = false;
    prepare_queues(self);
    self->server_thread = platform_thread_create(server_thread, self, false);
    if (self->server_thread == nullptr || !platform_thread_start(self->server_thread)) {
        platform_thread_destroy(self->server_thread);
        self->server_thread = nullptr;
        self->starting = false;
        return;
    }
    while (self->starting)
        platform_sleep_ms(1);
}

bool station_is_running(ControlledStation self)
{
    return self->running;
}

int station_get_start_error(ControlledStation self)
{
    return self->start_error;
}

bool station_enqueue_asdu(ControlledStation self, Asdu asdu)
{
    uint8_t buffer[APDU_BUFFER];
    sStaticFrame frame;
    Frame f = static_frame_init(&frame, buffer, 0, IEC60870_MAX_ASDU_SIZE);
    if (!asdu_encode(asdu, f)) return false;
    const int size = frame_get_size(f);
    if (self->mode == SERVER_MODE_SINGLE_QUEUE) {
        if (self->low_priority == nullptr) prepare_queues(self);
        return self->low_priority && message_queue_enqueue_bytes(self->low_priority, buffer, size);
    }
    if (self->mode == SERVER_MODE_MULTIPLE_REDUNDANCY_GROUPS) {
        for (LinkedList n = linked_list_next(self->groups); n; n = linked_list_next(n)) {
            RedundancyGroup g = (RedundancyGroup)linked_list_get_data(n);
            if (g->low_priority) message_queue_enqueue_bytes(g->low_priority, buffer, size);
        }
        return true;
    }
    uint8_t dropped[APDU_BUFFER];
    int dropped_size = 0;
    platform_semaphore_wait(self->connections_lock);
    for (int i = 0; i < STATION_MAX_CONNECTIONS; i++) {
        if (self->connections[i] == nullptr) continue;
        ClientConnection c = self->connections[i];
        message_queue_enqueue_bytes_dropping(c->low_priority, buffer, size, dropped, &dropped_size);
        if (dropped_size > 0 && self->queue_overflow_handler)
            self->queue_overflow_handler(self->queue_overflow_parameter, c, dropped, dropped_size);
    }
    platform_semaphore_post(self->connections_lock);
    return true;
}

void station_stop(ControlledStation self)
{
    if (self->threadless) {
        station_stop_threadless(self);
        return;
    }
    if (self->running) {
        self->stop_requested = true;
        while (self->running)
            platform_sleep_ms(1);
    }
    platform_thread_destroy(self->server_thread);
    self->server_thread = nullptr;
}

static void release_group(void* group)
{
    redundancy_group_destroy((RedundancyGroup)group);
}

void station_destroy(ControlledStation self)
{
    if (self == nullptr) return;
    station_stop(self);
    if (self->threadless) {
        platform_semaphore_wait(self->connections_lock);
        for (int i = 0; i < STATION_MAX_CONNECTIONS; i++)
            if (self->connections[i]) {
                ClientConnection c = self->connections[i];
                self->connections[i] = nullptr;
                self->open_connections--;
                c->running = false;
                connection_event(c, CONNECTION_CLOSED);
                connection_destroy(c);
            }
        platform_semaphore_post(self->connections_lock);
    } else {
        platform_semaphore_wait(self->connections_lock);
        for (int i = 0; i < STATION_MAX_CONNECTIONS; i++)
            if (self->connections[i]) self->connections[i]->running = false;
        platform_semaphore_post(self->connections_lock);
        while (station_get_open_connections(self) > 0)
            platform_sleep_ms(10);
    }
    reap_finished(self);
    linked_list_destroy_static(self->finished);
    platform_socket_set_destroy(self->tick_set);
    platform_free(self->local_address);
    message_queue_destroy(self->low_priority);
    if (self->groups) linked_list_destroy_deep(self->groups, release_group);
    platform_semaphore_destroy(self->connections_lock);
    self->~sControlledStation();
    platform_free(self);
}

// ---- driven by the application's loop

void station_start_threadless(ControlledStation self)
{
    self->threadless = true;
    prepare_queues(self);
    if (!open_server_socket(self)) return;
    if (self->tick_set == nullptr) self->tick_set = platform_socket_set_create();
    self->running = true;
}

void station_tick(ControlledStation self, int wait_ms)
{
    if (!self->running) return;
    ClientConnection fresh = accept_client(self);
    if (fresh) connection_event(fresh, CONNECTION_OPENED);
    ClientConnection live[STATION_MAX_CONNECTIONS];
    int count = 0;
    platform_semaphore_wait(self->connections_lock);
    for (int i = 0; i < STATION_MAX_CONNECTIONS; i++)
        if (self->connections[i]) live[count++] = self->connections[i];
    platform_semaphore_post(self->connections_lock);
    platform_socket_set_reset(self->tick_set);
    for (int i = 0; i < count; i++)
        if (live[i]->running) platform_socket_set_add(self->tick_set, live[i]->socket);
    if (platform_socket_set_wait(self->tick_set, wait_ms) > 0)
        for (int i = 0; i < count; i++)
            if (live[i]->running && platform_socket_set_is_ready(self->tick_set, live[i]->socket) &&
                !connection_receive_message(live[i]))
                live[i]->running = false;
    for (int i = 0; i < count; i++) {
        ClientConnection c = live[i];
        if (c->running && !connection_service(c)) c->running = false;
        if (!c->running) {
            connection_event(c, CONNECTION_CLOSED);
            station_remove_connection(self, c);
        }
    }
}

void station_stop_threadless(ControlledStation self)
{
    self->running = false;
    platform_server_socket_destroy(self->server_socket);
    self->server_socket = nullptr;
}
