#include "iec60870_server_private.h"

#include <new>
#include <string.h>

static uint64_t now_ms()
{
    return platform_get_time_ms();
}

static int t_ms(int seconds)
{
    return seconds * 1000;
}

void connection_event(ClientConnection self, int event)
{
    ControlledStation s = self->station;
    if (s->connection_event_handler) s->connection_event_handler(s->connection_event_parameter, self, event);
}

static void raw_message(ClientConnection self, uint8_t* bytes, int size, bool sent)
{
    ControlledStation s = self->station;
    if (s->raw_message_handler) s->raw_message_handler(s->raw_message_parameter, self, bytes, size, sent);
}

static bool write_abandoned(void* context)
{
    return !((ClientConnection)context)->running;
}

// A write counts only when every byte went out; a peer that takes nothing for t1 is given up,
// and so is a connection asked to close meanwhile. The caller holds sent_lock.
static bool write_all(ClientConnection self, const uint8_t* bytes, int size)
{
    return apci_write_all(self->socket, bytes, size, (uint64_t)t_ms(self->station->apci.t1), write_abandoned,
                          self);
}

// ---- the k window (caller holds sent_lock)

static bool window_has_room(ClientConnection self)
{
    return self->sent_count < self->k;
}

// Writes the APCI of the I-frame in `buffer` and records it in the window; the caller writes it
// (alone or gathered with others).
static void connection_number_i_frame(ClientConnection self, uint8_t* buffer, int size, uint64_t queue_time,
                                      int queue_index)
{
    buffer[0] = 0x68;
    buffer[1] = (uint8_t)(size - 2);
    buffer[2] = (uint8_t)((self->send_sequence % 128) * 2);
    buffer[3] = (uint8_t)(self->send_sequence / 128);
    const int nr = self->acknowledgement.receive_sequence;
    buffer[4] = (uint8_t)((nr % 128) * 2);
    buffer[5] = (uint8_t)(nr / 128);
    self->send_sequence = (self->send_sequence + 1) % 32768;
    SentFrame* e = &self->sent[(self->sent_oldest + self->sent_count) % self->k];
    self->sent_count++;
    e->queue_time = queue_time;
    e->queue_index = queue_index;
    e->sent_time = now_ms();
    e->sequence = self->send_sequence;
    // The frame carries N(R): everything received so far is acknowledged by it.
    self->acknowledgement.unconfirmed_received = 0;
    self->acknowledgement.t2_running = false;
    raw_message(self, buffer, size, true);
}

// Whether N(R) lies in the window (or repeats the last acknowledgement); releases what it covers.
static bool connection_check_sequence_number(ClientConnection self, int nr)
{
    bool valid = false;
    platform_semaphore_wait(self->sent_lock);
    if (self->sent_count == 0) {
        valid = nr == self->send_sequence;
    } else {
        const int o = self->sent[self->sent_oldest].sequence;
        const int n = self->sent[(self->sent_oldest + self->sent_count - 1) % self->k].sequence;
        const int repeated = (o + 32767) % 32768;
        const int span = (n - o + 32768) % 32768;
        const int covered = (nr - o + 32768) % 32768;
        if (nr == repeated) {
            valid = true;
        } else if (covered <= span) {
            valid = true;
            // Releasing the newest queue entry covered releases the older sent ones with it.
            const SentFrame* last_queued = nullptr;
            for (int i = 0; i <= covered && self->sent_count > 0; i++) {
                const SentFrame* e = &self->sent[self->sent_oldest];
                if (e->queue_index >= 0) last_queued = e;
                self->sent_oldest = (self->sent_oldest + 1) % self->k;
                self->sent_count--;
            }
            if (last_queued)
                message_queue_release(self->low_priority, last_queued->queue_index, last_queued->queue_time);
        }
    }
    platform_semaphore_post(self->sent_lock);
    return valid;
}

// ---- frames out

// The raw-message callback, then every byte to the socket; the caller holds sent_lock.
static bool connection_write_raw(ClientConnection self, uint8_t* bytes, int size)
{
    raw_message(self, bytes, size, true);
    return write_all(self, bytes, size);
}

static bool send_u_frame(ClientConnection self, uint8_t control)
{
    uint8_t frame[6] = {0x68, 0x04, control, 0x00, 0x00, 0x00};
    platform_semaphore_wait(self->sent_lock);
    bool ok = connection_write_raw(self, frame, 6);
    platform_semaphore_post(self->sent_lock);
    return ok;
}

static bool connection_send_s_frame(ClientConnection self)
{
    platform_semaphore_wait(self->sent_lock);
    const int nr = self->acknowledgement.receive_sequence;
    uint8_t frame[6] = {0x68, 0x04, 0x01, 0x00, (uint8_t)((nr % 128) * 2), (uint8_t)(nr / 128)};
    bool ok = connection_write_raw(self, frame, 6);
    platform_semaphore_post(self->sent_lock);
    return ok;
}

// One I-frame numbered, recorded and written; the caller holds sent_lock. A failed write ends
// the connection.
static bool connection_send_i_frame(ClientConnection self, uint8_t* buffer, int size, uint64_t queue_time,
                                    int queue_index)
{
    connection_number_i_frame(self, buffer, size, queue_time, queue_index);
    const bool ok = write_all(self, buffer, size);
    if (!ok) self->running = false;
    return ok;
}

static size_t backlog_bytes(ClientConnection self)
{
    return self->backlog_size - self->backlog_start;
}

// Keeps an ASDU for later, in order; false (and the connection ends) past the limit.
static bool backlog_append(ClientConnection self, const uint8_t* asdu, int size)
{
    const size_t need = 2 + (size_t)size;
    if (backlog_bytes(self) + need > CONNECTION_BACKLOG_LIMIT) {
        self->running = false;
        return false;
    }
    if (self->backlog_start > 0 && self->backlog_start >= self->backlog_size / 2) {
        memmove(self->backlog, self->backlog + self->backlog_start, backlog_bytes(self));
        self->backlog_size -= self->backlog_start;
        self->backlog_start = 0;
    }
    if (self->backlog_size + need > self->backlog_capacity) {
        size_t capacity = self->backlog_capacity ? self->backlog_capacity * 2 : 4096;
        while (capacity < self->backlog_size + need)
            capacity *= 2;
        uint8_t* grown = (uint8_t*)platform_realloc(self->backlog, capacity);
        if (grown == nullptr) {
            self->running = false;
            return false;
        }
        self->backlog = grown;
        self->backlog_capacity = capacity;
    }
    uint8_t* p = self->backlog + self->backlog_size;
    p[0] = (uint8_t)(size & 0xFF);
    p[1] = (uint8_t)(size >> 8);
    memcpy(p + 2, asdu, (size_t)size);
    self->backlog_size += need;
    return true;
}

// Moves the oldest kept ASDU into `buffer` behind the APCI space; its frame size.
static int backlog_take(ClientConnection self, uint8_t* buffer)
{
    const uint8_t* p = self->backlog + self->backlog_start;
    const int size = p[0] | (p[1] << 8);
    memcpy(buffer + 6, p + 2, (size_t)size);
    self->backlog_start += 2 + (size_t)size;
    if (self->backlog_start == self->backlog_size) self->backlog_start = self->backlog_size = 0;
    return 6 + size;
}

// Sends the encoded ASDU at once when nothing waits before it and the window has room, else
// keeps it in order behind what waits.
static bool connection_send_asdu_now(ClientConnection self, uint8_t* buffer, int size)
{
    bool ok;
    platform_semaphore_wait(self->sent_lock);
    if (backlog_bytes(self) == 0 && window_has_room(self))
        ok = connection_send_i_frame(self, buffer, size, 0, -1);
    else
        ok = backlog_append(self, buffer + 6, size - 6);
    platform_semaphore_post(self->sent_lock);
    return ok;
}

static bool connection_send_asdu(ClientConnection self, Asdu asdu)
{
    if (!self->active) return false;
    uint8_t buffer[APDU_BUFFER];
    sStaticFrame frame;
    Frame f = static_frame_init(&frame, buffer, 6, APDU_MAX_SIZE);
    if (!asdu_encode(asdu, f)) return false;
    return connection_send_asdu_now(self, buffer, frame_get_size(f));
}

static bool connection_send_act_con(ClientConnection self, Asdu asdu, bool negative)
{
    asdu_set_cot(asdu, CS101_COT_ACTIVATION_CON);
    asdu_set_negative(asdu, negative);
    return connection_send_asdu(self, asdu);
}

static bool connection_send_act_term(ClientConnection self, Asdu asdu)
{
    asdu_set_cot(asdu, CS101_COT_ACTIVATION_TERMINATION);
    asdu_set_negative(asdu, false);
    return connection_send_asdu(self, asdu);
}

static void connection_close(ClientConnection self)
{
    self->running = false;
}

static int connection_get_peer_address(ClientConnection self, char* buffer, int size)
{
    char text[PLATFORM_PEER_ADDRESS_SIZE];
    if (platform_socket_get_peer_address_into(self->socket, text) == nullptr) return 0;
    const int length = (int)strlen(text);
    if (length >= size) return 0;
    memcpy(buffer, text, (size_t)length + 1);
    return length;
}

static AppLayerParameters connection_get_app_layer_parameters(ClientConnection self)
{
    return &self->station->app_layer;
}

static const ClientConnectionOperations connection_operations = {
    connection_send_asdu, connection_send_act_con,     connection_send_act_term,
    connection_close,     connection_get_peer_address, connection_get_app_layer_parameters};

bool client_connection_send_asdu(ClientConnection self, Asdu asdu)
{
    return self->operations->send_asdu(self, asdu);
}
bool client_connection_send_act_con(ClientConnection self, Asdu asdu, bool negative)
{
    return self->operations->send_act_con(self, asdu, negative);
}
bool client_connection_send_act_term(ClientConnection self, Asdu asdu)
{
    return self->operations->send_act_term(self, asdu);
}
void client_connection_close(ClientConnection self)
{
    self->operations->close(self);
}
int client_connection_get_peer_address(ClientConnection self, char* buffer, int size)
{
    return self->operations->get_peer_address(self, buffer, size);
}
AppLayerParameters client_connection_get_app_layer_parameters(ClientConnection self)
{
    return self->operations->get_app_layer_parameters(self);
}

// ---- one send pass: kept callback ASDUs first, then the queue, while the window has room, as
// one write.
static bool connection_send_queued(ClientConnection self)
{
    platform_semaphore_wait(self->sent_lock);
    int gathered = 0;
    while (window_has_room(self) && self->running) {
        uint8_t* frame = self->send_buffer + gathered;
        int size;
        if (backlog_bytes(self) > 0) {
            size = backlog_take(self, frame);
            connection_number_i_frame(self, frame, size, 0, -1);
        } else {
            int index;
            uint64_t time;
            if (!message_queue_take_next(self->low_priority, frame, &size, &index, &time)) break;
            connection_number_i_frame(self, frame, size, time, index);
        }
        gathered += size;
    }
    const bool ok = gathered == 0 || write_all(self, self->send_buffer, gathered);
    self->waiting = backlog_bytes(self) > 0 || message_queue_count(self->low_priority) > 0;
    platform_semaphore_post(self->sent_lock);
    return ok;
}

// ---- received ASDUs

static void answer(ClientConnection self, Asdu asdu, int cot, bool negative)
{
    asdu_set_cot(asdu, cot);
    asdu_set_negative(asdu, negative);
    connection_send_asdu(self, asdu);
}

static void connection_send_wrong_cot(ClientConnection self, Asdu asdu)
{
    answer(self, asdu, CS101_COT_UNKNOWN_COT, true);
}

static void dispatch(ClientConnection self, Asdu asdu)
{
    ControlledStation s = self->station;
    const int type = asdu_get_type_id(asdu);
    const int cot = asdu_get_cot(asdu);
    bool accepted;
    switch (type) {
    case 100:
    case 101:
        accepted = cot == CS101_COT_ACTIVATION || cot == CS101_COT_DEACTIVATION;
        break;
    case 102:
        accepted = cot == CS101_COT_REQUEST;
        break;
    case 103:
    case 105:
        accepted = cot == CS101_COT_ACTIVATION;
        break;
    case 106:
        accepted = cot == CS101_COT_ACTIVATION || cot == CS101_COT_SPONTANEOUS;
        break;
    case 104:
        if (cot == CS101_COT_ACTIVATION)
            answer(self, asdu, CS101_COT_ACTIVATION_CON, asdu_is_negative(asdu));
        else
            connection_send_wrong_cot(self, asdu);
        return;
    default:
        accepted = false;
        goto generic;
    }
    if (!accepted) {
        connection_send_wrong_cot(self, asdu);
        return;
    }
    {
        sInformationObject storage;
        InformationObject element = asdu_get_element_into(asdu, &storage, 0);
        if (element == nullptr) {
            answer(self, asdu, CS101_COT_UNKNOWN_IOA, true);
            return;
        }
        bool handled = false;
        switch (type) {
        case 100:
            if (s->interrogation_handler)
                handled = s->interrogation_handler(s->interrogation_parameter, self, asdu,
                                                   interrogation_command_get_qoi(element));
            break;
        case 101:
            if (s->counter_interrogation_handler)
                handled = s->counter_interrogation_handler(s->counter_interrogation_parameter, self, asdu,
                                                           counter_interrogation_command_get_qcc(element));
            break;
        case 102:
            if (s->read_handler)
                handled = s->read_handler(s->read_parameter, self, asdu, info_object_get_address(element));
            break;
        case 103:
            if (s->clock_sync_handler) {
                struct sCp56Time2a time = *clock_sync_command_get_time(element);
                if (s->clock_sync_handler(s->clock_sync_parameter, self, asdu, &time)) {
                    // The new time reaches the masters by the queues of the server mode.
                    sInformationObject sync;
                    asdu_remove_all_elements(asdu);
                    asdu_add_object(asdu, clock_sync_command_create(&sync, 0, &time));
                    asdu_set_cot(asdu, CS101_COT_ACTIVATION_CON);
                    station_enqueue_asdu(s, asdu);
                } else {
                    answer(self, asdu, CS101_COT_ACTIVATION_CON, true);
                }
                return;
            }
            break;
        case 105:
            if (s->reset_process_handler)
                handled = s->reset_process_handler(s->reset_process_parameter, self, asdu,
                                                   reset_process_command_get_qrp(element));
            break;
        case 106:
            if (s->delay_acquisition_handler) {
                struct sCp16Time2a delay = *delay_acquisition_command_get_delay(element);
                handled = s->delay_acquisition_handler(s->delay_acquisition_parameter, self, asdu, &delay);
            }
            break;
        }
        if (handled) return;
    }
generic:
    if (s->asdu_handler && s->asdu_handler(s->asdu_parameter, self, asdu)) return;
    answer(self, asdu, CS101_COT_UNKNOWN_TYPE_ID, true);
}

static void deactivate_others(ClientConnection self)
{
    ControlledStation s = self->station;
    if (s->mode == SERVER_MODE_CONNECTION_IS_GROUP) return;
    platform_semaphore_wait(s->connections_lock);
    for (int i = 0; i < STATION_MAX_CONNECTIONS; i++) {
        ClientConnection c = s->connections[i];
        if (c == nullptr || c == self) continue;
        if (s->mode == SERVER_MODE_MULTIPLE_REDUNDANCY_GROUPS && c->group != self->group) continue;
        connection_deactivate(c);
    }
    platform_semaphore_post(s->connections_lock);
}

// One complete APDU; false ends the connection.
static bool connection_handle_message(ClientConnection self, uint8_t* bytes, int size)
{
    ControlledStation s = self->station;
    const uint8_t c = bytes[2];
    if (c & 0x01) {
        if (size != 6) return false;
        bool ok = true;
        if ((c & 0x43) == 0x43) {
            ok = send_u_frame(self, 0x83);
        } else if ((c & 0x07) == 0x07) {
            deactivate_others(self);
            connection_activate(self);
            ok = send_u_frame(self, 0x0B);
        } else if ((c & 0x13) == 0x13) {
            connection_deactivate(self);
            ok = send_u_frame(self, 0x23);
        } else if ((c & 0x83) == 0x83) {
        } else if (c == 0x01) {
            ok = connection_check_sequence_number(self, (bytes[4] + bytes[5] * 256) / 2);
        } else {
            return true;
        }
        if (!ok) return false;
        self->idle_deadline = now_ms() + (uint64_t)t_ms(s->apci.t0);
        return true;
    }
    if (size < 7) return false;
    if (!self->acknowledgement.t2_running) {
        self->acknowledgement.t2_running = true;
        self->acknowledgement.last_confirmation_time = now_ms();
    }
    const int ns = ((bytes[2] & 0xFE) + bytes[3] * 256) / 2;
    if (ns != self->acknowledgement.receive_sequence) return false;
    if (!connection_check_sequence_number(self, ((bytes[4] & 0xFE) + bytes[5] * 256) / 2)) return false;
    self->acknowledgement.receive_sequence = (self->acknowledgement.receive_sequence + 1) % 32768;
    self->acknowledgement.unconfirmed_received++;
    if (self->active) {
        Asdu asdu = asdu_create_from_buffer(&s->app_layer, bytes + 6, size - 6);
        if (asdu == nullptr) return false;
        dispatch(self, asdu);
        asdu_destroy(asdu);
    }
    self->idle_deadline = now_ms() + (uint64_t)t_ms(s->apci.t0);
    return true;
}

// One received APDU: traced, handled, and acknowledged once w are unacknowledged.
static bool connection_take_message(void* context, uint8_t* apdu, int size)
{
    ClientConnection self = (ClientConnection)context;
    raw_message(self, apdu, size, false);
    if (!connection_handle_message(self, apdu, size)) return false;
    if (self->acknowledgement.unconfirmed_received >= self->station->apci.w) {
        self->acknowledgement.last_confirmation_time = now_ms();
        self->acknowledgement.unconfirmed_received = 0;
        self->acknowledgement.t2_running = false;
        if (!connection_send_s_frame(self)) return false;
    }
    return self->running;
}

bool connection_receive_message(ClientConnection self)
{
    return apdu_receiver_read(&self->receiver, self->socket, connection_take_message, self);
}

// t2 (an S-frame owed), t1 (an unacknowledged frame, or an APDU left incomplete) and the idle
// deadline; false ends the connection.
static bool connection_check_timeouts(ClientConnection self)
{
    const struct sApciParameters* a = &self->station->apci;
    const uint64_t now = now_ms();
    if (self->acknowledgement.unconfirmed_received > 0 &&
        now >= self->acknowledgement.last_confirmation_time &&
        now - self->acknowledgement.last_confirmation_time >= (uint64_t)t_ms(a->t2)) {
        self->acknowledgement.last_confirmation_time = now;
        self->acknowledgement.unconfirmed_received = 0;
        self->acknowledgement.t2_running = false;
        if (!connection_send_s_frame(self)) return false;
    }
    platform_semaphore_wait(self->sent_lock);
    const bool t1_expired = self->sent_count > 0 && now > self->sent[self->sent_oldest].sent_time &&
                            now - self->sent[self->sent_oldest].sent_time >= (uint64_t)t_ms(a->t1);
    platform_semaphore_post(self->sent_lock);
    if (t1_expired) return false;
    if (self->receiver.partial_since != 0 && now - self->receiver.partial_since >= (uint64_t)t_ms(a->t1))
        return false;
    return now <= self->idle_deadline;
}

bool connection_service(ClientConnection self)
{
    if (!connection_check_timeouts(self)) return false;
    if (self->active && !connection_send_queued(self)) return false;
    return self->running;
}

bool client_connection_is_active(ClientConnection self)
{
    return self->active;
}

ClientConnection connection_create(ControlledStation station, Socket socket, MessageQueue low_priority,
                                   bool owns_queue)
{
    void* memory = platform_calloc(1, sizeof(struct sClientConnection));
    if (memory == nullptr) return nullptr;
    ClientConnection self = new (memory) sClientConnection;
    self->operations = &connection_operations;
    self->socket = socket;
    self->station = station;
    self->active = false;
    self->running = false;
    self->acknowledgement.last_confirmation_time = UINT64_MAX;
    self->idle_deadline = now_ms() + (uint64_t)t_ms(station->apci.t0);
    self->k = station->apci.k > 0 ? station->apci.k : 1;
    self->sent = (SentFrame*)platform_calloc((size_t)self->k, sizeof(SentFrame));
    self->send_buffer = (uint8_t*)platform_malloc((size_t)self->k * APDU_BUFFER);
    self->sent_lock = platform_semaphore_create(1);
    self->socket_set = platform_socket_set_create();
    self->low_priority = low_priority;
    self->owns_queue = owns_queue;
    if (self->sent == nullptr || self->send_buffer == nullptr || self->sent_lock == nullptr ||
        self->socket_set == nullptr || low_priority == nullptr) {
        self->socket = nullptr;
        connection_destroy(self);
        return nullptr;
    }
    return self;
}

void connection_destroy(ClientConnection self)
{
    if (self->owns_queue) message_queue_destroy(self->low_priority);
    platform_socket_destroy(self->socket);
    platform_free(self->sent);
    platform_free(self->send_buffer);
    platform_free(self->backlog);
    platform_semaphore_destroy(self->sent_lock);
    platform_socket_set_destroy(self->socket_set);
    self->~sClientConnection();
    platform_free(self);
}

void connection_activate(ClientConnection self)
{
    if (!self->active.exchange(true)) connection_event(self, CONNECTION_ACTIVATED);
}

void connection_deactivate(ClientConnection self)
{
    if (self->active.exchange(false)) connection_event(self, CONNECTION_DEACTIVATED);
}

void* connection_thread(void* parameter)
{
    ClientConnection self = (ClientConnection)parameter;
    connection_event(self, CONNECTION_OPENED);
    while (self->running) {
        platform_socket_set_reset(self->socket_set);
        platform_socket_set_add(self->socket_set, self->socket);
        const int ready = platform_socket_set_wait(self->socket_set, self->waiting ? 1 : 100);
        if (ready < 0) break;
        if (ready > 0 && !connection_receive_message(self)) break;
        if (!self->running || !connection_service(self)) break;
    }
    self->running = false;
    connection_event(self, CONNECTION_CLOSED);
    station_remove_connection(self->station, self);
    return nullptr;
}
