#include "iec60870_client.h"

#include "iec60870_apci_private.h"

#include <atomic>
#include <new>
#include <string.h>

typedef struct
{
    uint64_t sent_time;
    int sequence;
} ClientSentFrame;

struct sControllingConnection
{
    char address[64];
    int port;
    struct sApciParameters apci;
    struct sAppLayerParameters app_layer;
    int connect_timeout;

    ClientSentFrame* sent;
    int sent_capacity;
    int sent_oldest;
    int sent_count;
    Semaphore send_lock; // the k window, the send number and every socket write

    int send_sequence;
    ReceiveAcknowledgement acknowledgement;
    uint64_t next_test_time;
    int outstanding_tests;
    uint64_t test_deadline;

    Socket socket;
    Thread thread;
    std::atomic<bool> running;
    std::atomic<bool> failed;
    std::atomic<bool> stop;

    ApduReceiver receiver;
    SocketSet socket_set;

    ControllingAsduHandler asdu_handler;
    void* asdu_parameter;
    ControllingConnectionHandler connection_handler;
    void* connection_parameter;
    ControllingRawMessageHandler raw_handler;
    void* raw_parameter;
};

static uint64_t now_ms()
{
    return platform_get_time_ms();
}

ControllingConnection controlling_connection_create(const char* address, int port)
{
    void* memory = platform_calloc(1, sizeof(struct sControllingConnection));
    if (memory == nullptr) return nullptr;
    ControllingConnection self = new (memory) sControllingConnection;
    strncpy(self->address, address ? address : "127.0.0.1", sizeof self->address - 1);
    self->port = port == -1 ? 2404 : port;
    self->apci = {12, 8, 10, 15, 10, 20};
    self->app_layer = {1, 1, 2, 0, 2, 3, 249};
    self->connect_timeout = self->apci.t0 * 1000;
    self->send_lock = platform_semaphore_create(1);
    self->running = false;
    self->failed = false;
    self->stop = false;
    if (self->send_lock == nullptr) {
        self->~sControllingConnection();
        platform_free(self);
        return nullptr;
    }
    return self;
}

void controlling_connection_destroy(ControllingConnection self)
{
    if (self == nullptr) return;
    controlling_connection_close(self);
    platform_socket_set_destroy(self->socket_set);
    platform_free(self->sent);
    platform_semaphore_destroy(self->send_lock);
    self->~sControllingConnection();
    platform_free(self);
}

void controlling_connection_set_apci_parameters(ControllingConnection self, const struct sApciParameters* p)
{
    self->apci = *p;
    self->connect_timeout = p->t0 * 1000;
}
ApciParameters controlling_connection_get_apci_parameters(ControllingConnection self)
{
    return &self->apci;
}
void controlling_connection_set_app_layer_parameters(ControllingConnection self,
                                                     const struct sAppLayerParameters* p)
{
    self->app_layer = *p;
}
AppLayerParameters controlling_connection_get_app_layer_parameters(ControllingConnection self)
{
    return &self->app_layer;
}
void controlling_connection_set_connect_timeout(ControllingConnection self, int ms)
{
    self->connect_timeout = ms;
}
int controlling_connection_get_connect_timeout(ControllingConnection self)
{
    return self->connect_timeout;
}
int controlling_connection_get_port(ControllingConnection self)
{
    return self->port;
}
void controlling_connection_set_asdu_handler(ControllingConnection self, ControllingAsduHandler handler,
                                             void* parameter)
{
    self->asdu_handler = handler;
    self->asdu_parameter = parameter;
}
void controlling_connection_set_connection_handler(ControllingConnection self,
                                                   ControllingConnectionHandler handler, void* parameter)
{
    self->connection_handler = handler;
    self->connection_parameter = parameter;
}
void controlling_connection_set_raw_message_handler(ControllingConnection self,
                                                    ControllingRawMessageHandler handler, void* parameter)
{
    self->raw_handler = handler;
    self->raw_parameter = parameter;
}

static void event(ControllingConnection self, int e)
{
    if (self->connection_handler) self->connection_handler(self->connection_parameter, self, e);
}

static void raw(ControllingConnection self, uint8_t* bytes, int size, bool sent)
{
    if (self->raw_handler) self->raw_handler(self->raw_parameter, bytes, size, sent);
}

static bool write_abandoned(void* context)
{
    return ((ControllingConnection)context)->stop;
}

// Every byte or nothing counts; no progress for t1 fails. The caller holds send_lock.
static bool write_all(ControllingConnection self, const uint8_t* bytes, int size)
{
    return apci_write_all(self->socket, bytes, size, (uint64_t)self->apci.t1 * 1000, write_abandoned, self);
}

static bool send_control(ControllingConnection self, uint8_t* frame)
{
    platform_semaphore_wait(self->send_lock);
    bool ok = self->running && self->socket != nullptr;
    if (ok) {
        raw(self, frame, 6, true);
        ok = write_all(self, frame, 6);
        if (!ok) self->failed = true;
    }
    platform_semaphore_post(self->send_lock);
    return ok;
}

static bool send_u(ControllingConnection self, uint8_t control)
{
    uint8_t frame[6] = {0x68, 0x04, control, 0, 0, 0};
    return send_control(self, frame);
}

static bool send_s(ControllingConnection self)
{
    self->acknowledgement.unconfirmed_received = 0;
    self->acknowledgement.t2_running = false;
    self->acknowledgement.last_confirmation_time = now_ms();
    const int nr = self->acknowledgement.receive_sequence;
    uint8_t frame[6] = {0x68, 0x04, 0x01, 0x00, (uint8_t)((nr % 128) * 2), (uint8_t)(nr / 128)};
    return send_control(self, frame);
}

bool controlling_connection_send_start_dt(ControllingConnection self)
{
    return send_u(self, 0x07);
}
bool controlling_connection_send_stop_dt(ControllingConnection self)
{
    return send_u(self, 0x13);
}

// ---- the I-frame under construction: 256 bytes, APCI first, appends that do not fit refused

typedef struct
{
    const FrameVFT* operations;
    uint8_t* buffer;
    int size;
} ClientFrame;

static int client_frame_space_left(Frame f)
{
    return APDU_MAX_SIZE - ((ClientFrame*)f)->size;
}
static bool client_frame_append_bytes(Frame f, const uint8_t* bytes, int count)
{
    ClientFrame* self = (ClientFrame*)f;
    if (count < 0 || count > client_frame_space_left(f)) return false;
    memcpy(self->buffer + self->size, bytes, (size_t)count);
    self->size += count;
    return true;
}
static bool client_frame_append_byte(Frame f, uint8_t byte)
{
    return client_frame_append_bytes(f, &byte, 1);
}
static void client_frame_destroy(Frame f)
{
    platform_free(((ClientFrame*)f)->buffer);
}
static void client_frame_reset(Frame f)
{
    ((ClientFrame*)f)->size = 6;
}
static int client_frame_get_size(Frame f)
{
    return ((ClientFrame*)f)->size;
}
static uint8_t* client_frame_get_buffer(Frame f)
{
    return ((ClientFrame*)f)->buffer;
}

static const FrameVFT client_frame_vft = {
    client_frame_destroy,  client_frame_reset,      client_frame_append_byte, client_frame_append_bytes,
    client_frame_get_size, client_frame_get_buffer, client_frame_space_left};

static bool client_frame_init(ClientFrame* self)
{
    self->operations = &client_frame_vft;
    self->buffer = (uint8_t*)platform_malloc(256);
    self->size = 6;
    if (self->buffer) self->buffer[0] = 0x68;
    return self->buffer != nullptr;
}

static bool window_full(ControllingConnection self)
{
    return self->sent_count >= self->sent_capacity;
}

static bool send_i_frame(ControllingConnection self, ClientFrame* frame)
{
    platform_semaphore_wait(self->send_lock);
    if (!self->running || self->sent == nullptr || window_full(self)) {
        platform_semaphore_post(self->send_lock);
        return false;
    }
    uint8_t* b = frame->buffer;
    b[1] = (uint8_t)(frame->size - 2);
    b[2] = (uint8_t)((self->send_sequence % 128) * 2);
    b[3] = (uint8_t)(self->send_sequence / 128);
    const int nr = self->acknowledgement.receive_sequence;
    b[4] = (uint8_t)((nr % 128) * 2);
    b[5] = (uint8_t)(nr / 128);
    raw(self, b, frame->size, true);
    const bool ok = write_all(self, b, frame->size);
    if (ok) {
        self->acknowledgement.unconfirmed_received = 0;
        self->acknowledgement.t2_running = false;
        self->send_sequence = (self->send_sequence + 1) % 32768;
        ClientSentFrame* e = &self->sent[(self->sent_oldest + self->sent_count) % self->sent_capacity];
        self->sent_count++;
        e->sequence = self->send_sequence;
        e->sent_time = now_ms();
    } else {
        self->failed = true;
    }
    platform_semaphore_post(self->send_lock);
    return ok && self->running;
}

// Type, VSQ 1, cause (with the originator address when two bytes), common address.
static bool append_header(ControllingConnection self, Frame f, int type, int cot, int ca)
{
    AppLayerParameters p = &self->app_layer;
    uint8_t h[6];
    int n = 0;
    h[n++] = (uint8_t)type;
    h[n++] = 1;
    h[n++] = (uint8_t)(cot & 0x3F);
    if (app_layer_cot_size(p) == 2) h[n++] = (uint8_t)p->originator_address;
    h[n++] = (uint8_t)(ca & 0xFF);
    if (app_layer_ca_size(p) == 2) h[n++] = (uint8_t)((ca >> 8) & 0xFF);
    return frame_append_bytes(f, h, n);
}

static bool send_command(ControllingConnection self, int type, int cot, int ca, InformationObject object)
{
    ClientFrame frame;
    if (!client_frame_init(&frame)) return false;
    const bool ok = append_header(self, (Frame)&frame, type, cot, ca) &&
                    info_object_encode(object, (Frame)&frame, &self->app_layer, false) &&
                    send_i_frame(self, &frame);
    frame_destroy((Frame)&frame);
    return ok;
}

bool controlling_connection_send_interrogation_command(ControllingConnection self, int cot, int ca,
                                                       uint8_t qoi)
{
    sInformationObject o;
    return send_command(self, 100, cot, ca, interrogation_command_create(&o, 0, qoi));
}
bool controlling_connection_send_counter_interrogation_command(ControllingConnection self, int cot, int ca,
                                                               uint8_t qcc)
{
    sInformationObject o;
    return send_command(self, 101, cot, ca, counter_interrogation_command_create(&o, 0, qcc));
}
bool controlling_connection_send_read_command(ControllingConnection self, int ca, int ioa)
{
    sInformationObject o;
    return send_command(self, 102, CS101_COT_REQUEST, ca, read_command_create(&o, ioa));
}
bool controlling_connection_send_clock_sync_command(ControllingConnection self, int ca, Cp56Time2a time)
{
    sInformationObject o;
    return send_command(self, 103, CS101_COT_ACTIVATION, ca, clock_sync_command_create(&o, 0, time));
}
bool controlling_connection_send_test_command(ControllingConnection self, int ca)
{
    sInformationObject o;
    return send_command(self, 104, CS101_COT_ACTIVATION, ca, test_command_create(&o));
}
bool controlling_connection_send_process_command(ControllingConnection self, int type_id, int cot, int ca,
                                                 InformationObject object)
{
    if (object == nullptr) return false;
    return send_command(self, type_id ? type_id : info_object_get_type_id(object), cot, ca, object);
}
bool controlling_connection_send_asdu(ControllingConnection self, Asdu asdu)
{
    ClientFrame frame;
    if (!client_frame_init(&frame)) return false;
    const bool ok = asdu_encode(asdu, (Frame)&frame) && send_i_frame(self, &frame);
    frame_destroy((Frame)&frame);
    return ok;
}

// ---- receiving

static bool check_sequence_number(ControllingConnection self, int nr)
{
    bool valid = false;
    platform_semaphore_wait(self->send_lock);
    if (self->sent_count == 0) {
        valid = nr == self->send_sequence;
    } else {
        const int o = self->sent[self->sent_oldest].sequence;
        const int n = self->sent[(self->sent_oldest + self->sent_count - 1) % self->sent_capacity].sequence;
        const int span = (n - o + 32768) % 32768;
        const int covered = (nr - o + 32768) % 32768;
        if (nr == (o + 32767) % 32768) {
            valid = true;
        } else if (covered <= span) {
            valid = true;
            self->sent_oldest = (self->sent_oldest + covered + 1) % self->sent_capacity;
            self->sent_count -= covered + 1;
        }
    }
    platform_semaphore_post(self->send_lock);
    return valid;
}

// One complete APDU; false fails the connection.
static bool handle_apdu(ControllingConnection self, uint8_t* b, int size)
{
    const uint8_t c = b[2];
    if ((c & 0x01) == 0) {
        if (size < 7) return false;
        if (!self->acknowledgement.t2_running) {
            self->acknowledgement.t2_running = true;
            self->acknowledgement.last_confirmation_time = now_ms();
        }
        if (((b[2] & 0xFE) + b[3] * 256) / 2 != self->acknowledgement.receive_sequence) return false;
        if (!check_sequence_number(self, ((b[4] & 0xFE) + b[5] * 256) / 2)) return false;
        Asdu asdu = asdu_create_from_buffer(&self->app_layer, b + 6, size - 6);
        if (asdu == nullptr) return false;
        self->acknowledgement.receive_sequence = (self->acknowledgement.receive_sequence + 1) % 32768;
        self->acknowledgement.unconfirmed_received++;
        if (self->asdu_handler) self->asdu_handler(self->asdu_parameter, -1, asdu);
        asdu_destroy(asdu);
    } else if ((c & 0x03) == 0x03) {
        if (size != 6) return false;
        self->test_deadline = 0;
        bool ok = true;
        if (c == 0x43)
            ok = send_u(self, 0x83);
        else if (c == 0x83)
            self->outstanding_tests = 0;
        else if (c == 0x07)
            ok = send_u(self, 0x0B);
        else if (c == 0x0B)
            event(self, CONTROLLING_STARTDT_CON_RECEIVED);
        else if (c == 0x23)
            event(self, CONTROLLING_STOPDT_CON_RECEIVED);
        if (!ok) return false;
    } else {
        if (size != 6) return false;
        if (c == 0x01 && !check_sequence_number(self, (b[4] + b[5] * 256) / 2)) return false;
    }
    self->next_test_time = now_ms() + (uint64_t)self->apci.t3 * 1000;
    if (self->acknowledgement.unconfirmed_received >= self->apci.w && !send_s(self)) return false;
    return true;
}

static bool receive_apdu(void* context, uint8_t* apdu, int size)
{
    ControllingConnection self = (ControllingConnection)context;
    raw(self, apdu, size, false);
    return handle_apdu(self, apdu, size);
}

static bool read_available(ControllingConnection self)
{
    return apdu_receiver_read(&self->receiver, self->socket, receive_apdu, self);
}

// Timers; false ends the connection.
static bool check_timers(ControllingConnection self)
{
    const uint64_t now = now_ms();
    const uint64_t t1 = (uint64_t)self->apci.t1 * 1000;
    if (now > self->next_test_time) {
        if (self->outstanding_tests >= 2) return false;
        if (!send_u(self, 0x43)) return false;
        self->outstanding_tests++;
        self->test_deadline = now + t1;
        self->next_test_time = now + (uint64_t)self->apci.t3 * 1000;
    }
    if (self->acknowledgement.unconfirmed_received > 0 &&
        now >= self->acknowledgement.last_confirmation_time &&
        now - self->acknowledgement.last_confirmation_time >= (uint64_t)self->apci.t2 * 1000 && !send_s(self))
        return false;
    if (self->test_deadline != 0 && now > self->test_deadline) return false;
    if (self->receiver.partial_since != 0 && now - self->receiver.partial_since >= t1) return false;
    platform_semaphore_wait(self->send_lock);
    const bool expired = self->sent_count > 0 && now > self->sent[self->sent_oldest].sent_time &&
                         now - self->sent[self->sent_oldest].sent_time >= t1;
    platform_semaphore_post(self->send_lock);
    return !expired;
}

static void* connection_thread(void* parameter)
{
    ControllingConnection self = (ControllingConnection)parameter;
    Socket socket = platform_socket_create();
    if (socket == nullptr) {
        self->failed = true;
        return nullptr;
    }
    platform_socket_set_connect_timeout(socket, (uint32_t)self->connect_timeout);
    if (!platform_socket_connect(socket, self->address, self->port)) {
        platform_socket_destroy(socket);
        self->failed = true;
        return nullptr;
    }
    platform_semaphore_wait(self->send_lock);
    self->socket = socket;
    platform_semaphore_post(self->send_lock);
    self->running = true;
    event(self, CONTROLLING_OPENED);
    while (!self->stop && !self->failed) {
        platform_socket_set_reset(self->socket_set);
        platform_socket_set_add(self->socket_set, self->socket);
        const int ready = platform_socket_set_wait(self->socket_set, 100);
        if (ready < 0 || (ready > 0 && !read_available(self)) || !check_timers(self)) {
            self->failed = true;
            break;
        }
    }
    platform_semaphore_wait(self->send_lock);
    self->running = false;
    platform_semaphore_post(self->send_lock);
    event(self, CONTROLLING_CLOSED);
    platform_semaphore_wait(self->send_lock);
    self->socket = nullptr;
    platform_semaphore_post(self->send_lock);
    platform_socket_destroy(socket);
    return nullptr;
}

static bool start(ControllingConnection self)
{
    controlling_connection_close(self);
    self->running = false;
    self->failed = false;
    self->stop = false;
    self->acknowledgement.receive_sequence = 0;
    self->send_sequence = 0;
    self->acknowledgement.unconfirmed_received = 0;
    self->acknowledgement.t2_running = false;
    self->acknowledgement.last_confirmation_time = UINT64_MAX;
    self->next_test_time = now_ms() + (uint64_t)self->apci.t3 * 1000;
    self->outstanding_tests = 0;
    self->test_deadline = 0;
    apdu_receiver_reset(&self->receiver);
    const int k = self->apci.k > 0 ? self->apci.k : 1;
    if (self->sent == nullptr || self->sent_capacity != k) {
        platform_free(self->sent);
        self->sent = (ClientSentFrame*)platform_calloc((size_t)k, sizeof(ClientSentFrame));
        self->sent_capacity = self->sent ? k : 0;
    }
    self->sent_oldest = self->sent_count = 0;
    if (self->socket_set == nullptr) self->socket_set = platform_socket_set_create();
    if (self->sent == nullptr || self->socket_set == nullptr) {
        self->failed = true;
        return false;
    }
    self->thread = platform_thread_create(connection_thread, self, false);
    if (self->thread == nullptr || !platform_thread_start(self->thread)) {
        platform_thread_destroy(self->thread);
        self->thread = nullptr;
        self->failed = true;
        return false;
    }
    return true;
}

bool controlling_connection_connect_async(ControllingConnection self)
{
    return start(self);
}

bool controlling_connection_connect(ControllingConnection self)
{
    if (!start(self)) return false;
    while (!self->running && !self->failed)
        platform_sleep_ms(1);
    return self->running;
}

void controlling_connection_close(ControllingConnection self)
{
    if (self->thread == nullptr) return;
    self->stop = true;
    platform_thread_destroy(self->thread);
    self->thread = nullptr;
}

bool controlling_connection_is_running(ControllingConnection self)
{
    return self->running;
}
bool controlling_connection_is_failed(ControllingConnection self)
{
    return self->failed;
}
