#include "iec60870_apci_private.h"

#include <string.h>

void apdu_receiver_reset(ApduReceiver* self)
{
    self->received = 0;
    self->partial_since = 0;
}

bool apdu_receiver_read(ApduReceiver* self, Socket socket, ApduHandler handler, void* context)
{
    const int n =
        platform_socket_read(socket, self->bytes + self->received, APDU_RECEIVE_BUFFER - self->received);
    if (n < 0) return false;
    if (n == 0) return true;
    self->received += n;
    int pos = 0;
    bool consumed = false;
    while (pos < self->received) {
        uint8_t* p = self->bytes + pos;
        const int available = self->received - pos;
        if (p[0] != 0x68) return false;
        if (available < 2) break;
        const int length = p[1];
        if (length < 4 || length > APDU_MAX_LENGTH) return false;
        if (available < length + 2) break;
        uint8_t apdu[APDU_MAX_SIZE + 5];
        memcpy(apdu, p, (size_t)length + 2);
        pos += length + 2;
        consumed = true;
        if (!handler(context, apdu, length + 2)) return false;
    }
    memmove(self->bytes, self->bytes + pos, (size_t)(self->received - pos));
    self->received -= pos;
    // The t1 wait for the rest of an APDU starts again whenever a whole one came.
    if (self->received == 0)
        self->partial_since = 0;
    else if (consumed || self->partial_since == 0)
        self->partial_since = platform_get_time_ms();
    return true;
}

bool apci_write_all(Socket socket, const uint8_t* bytes, int size, uint64_t t1_ms, WriteAbandoned abandoned,
                    void* context)
{
    uint64_t progress = platform_get_time_ms();
    int done = 0;
    while (done < size) {
        int n = platform_socket_write(socket, bytes + done, size - done);
        if (n < 0) return false;
        if (n > 0) {
            done += n;
            progress = platform_get_time_ms();
            continue;
        }
        if (abandoned(context) || platform_get_time_ms() - progress >= t1_ms) return false;
        platform_socket_wait_writable(socket, 20);
    }
    return true;
}
