#include "iec60870_server_private.h"

#include <string.h>

MessageQueue message_queue_create(int capacity)
{
    if (capacity < 1) capacity = 100;
    MessageQueue self = (MessageQueue)platform_calloc(1, sizeof(struct sMessageQueue));
    if (self == nullptr) return nullptr;
    self->entries = (MessageQueueEntry*)platform_calloc((size_t)capacity, sizeof(MessageQueueEntry));
    self->lock = platform_semaphore_create(1);
    if (self->entries == nullptr || self->lock == nullptr) {
        platform_free(self->entries);
        platform_semaphore_destroy(self->lock);
        platform_free(self);
        return nullptr;
    }
    self->capacity = capacity;
    self->newest = -1;
    self->oldest = -1;
    return self;
}

void message_queue_destroy(MessageQueue self)
{
    if (self == nullptr) return;
    platform_semaphore_destroy(self->lock);
    platform_free(self->entries);
    platform_free(self);
}

bool message_queue_enqueue_bytes(MessageQueue self, const uint8_t* asdu, int size)
{
    return message_queue_enqueue_bytes_dropping(self, asdu, size, nullptr, nullptr);
}

bool message_queue_enqueue_bytes_dropping(MessageQueue self, const uint8_t* asdu, int size, uint8_t* dropped,
                                          int* dropped_size)
{
    if (dropped_size) *dropped_size = 0;
    if (size < 1 || size > IEC60870_MAX_ASDU_SIZE) return false;
    platform_semaphore_wait(self->lock);
    int slot;
    if (self->count == 0) {
        self->oldest = 0;
        self->newest = 0;
        self->count = 1;
        slot = 0;
    } else {
        slot = (self->newest + 1) % self->capacity;
        if (self->count == self->capacity) {
            // Full: the oldest entry gives way, whatever its state.
            slot = self->oldest;
            self->oldest = (self->oldest + 1) % self->capacity;
            const MessageQueueEntry* old = &self->entries[slot];
            if (dropped && dropped_size && old->state == 1 && old->size > 6) {
                memcpy(dropped, old->message + 6, old->size - 6);
                *dropped_size = (int)old->size - 6;
            }
        } else {
            self->count++;
        }
        self->newest = slot;
    }
    MessageQueueEntry* e = &self->entries[slot];
    memcpy(e->message + 6, asdu, (size_t)size);
    e->size = (uint32_t)(6 + size);
    // Enqueue times tell entries apart, so two in the same millisecond must differ.
    uint64_t now = platform_get_time_ms();
    self->last_time = now > self->last_time ? now : self->last_time + 1;
    e->time = self->last_time;
    e->state = 1;
    platform_semaphore_post(self->lock);
    return true;
}

bool message_queue_enqueue(MessageQueue self, Asdu asdu)
{
    uint8_t buffer[APDU_BUFFER];
    sStaticFrame frame;
    Frame f = static_frame_init(&frame, buffer, 0, IEC60870_MAX_ASDU_SIZE);
    if (!asdu_encode(asdu, f)) return false;
    return message_queue_enqueue_bytes(self, buffer, frame_get_size(f));
}

void message_queue_reset(MessageQueue self)
{
    platform_semaphore_wait(self->lock);
    self->count = 0;
    self->newest = -1;
    self->oldest = -1;
    for (int i = 0; i < self->capacity; i++)
        self->entries[i].state = 0;
    platform_semaphore_post(self->lock);
}

int message_queue_count(MessageQueue self)
{
    platform_semaphore_wait(self->lock);
    int n = self->count;
    platform_semaphore_post(self->lock);
    return n;
}

bool message_queue_take_next(MessageQueue self, uint8_t* buffer, int* size, int* index, uint64_t* time)
{
    bool found = false;
    platform_semaphore_wait(self->lock);
    if (self->count > 0) {
        int i = self->oldest;
        for (int n = 0; n < self->capacity; n++, i = (i + 1) % self->capacity) {
            MessageQueueEntry* e = &self->entries[i];
            if (e->state == 2) {
                if (i == self->newest) break;
                continue;
            }
            if (e->state == 1) {
                e->state = 2;
                memcpy(buffer, e->message, e->size);
                *size = (int)e->size;
                *index = i;
                *time = e->time;
                found = true;
            }
            break;
        }
    }
    platform_semaphore_post(self->lock);
    return found;
}

void message_queue_release(MessageQueue self, int index, uint64_t time)
{
    platform_semaphore_wait(self->lock);
    if (self->count > 0 && index >= 0 && index < self->capacity && self->entries[index].state == 2 &&
        self->entries[index].time == time) {
        // The confirmation covers this entry and every sent one before it.
        int i = index;
        for (;;) {
            MessageQueueEntry* e = &self->entries[i];
            if (e->state != 2) break;
            e->state = 0;
            e->time = 0;
            self->count--;
            if (self->count == 0) {
                self->oldest = -1;
                self->newest = -1;
                break;
            }
            if (i == self->oldest) {
                self->oldest = (index + 1) % self->capacity;
                if (self->count == 1) self->newest = self->oldest;
                break;
            }
            i = i == 0 ? self->capacity - 1 : i - 1;
            if (i == index) break;
        }
    }
    platform_semaphore_post(self->lock);
}

// ---- AsduRing

AsduRing asdu_ring_create(int capacity)
{
    AsduRing self = (AsduRing)platform_calloc(1, sizeof(struct sAsduRing));
    if (self == nullptr) return nullptr;
    self->lock = platform_semaphore_create(1);
    if (self->lock == nullptr) {
        platform_free(self);
        return nullptr;
    }
    self->capacity =
        capacity > ASDU_RING_MAX_CAPACITY ? ASDU_RING_MAX_CAPACITY : (capacity < 1 ? 1 : capacity);
    self->oldest = -1;
    self->newest = -1;
    return self;
}

void asdu_ring_destroy(AsduRing self)
{
    if (self == nullptr) return;
    platform_semaphore_destroy(self->lock);
    platform_free(self);
}

bool asdu_ring_enqueue(AsduRing self, Asdu asdu)
{
    platform_semaphore_wait(self->lock);
    int slot = 0;
    if (self->count > 0) {
        slot = (self->newest + 1) % self->capacity;
        // Full: the oldest entry is the slot; it is overwritten.
        if (self->count == self->capacity) slot = self->oldest;
    }
    Frame f = static_frame_init(&self->frame, self->entries[slot].data, 0, IEC60870_MAX_ASDU_SIZE);
    const bool ok = asdu_encode(asdu, f);
    if (ok) {
        self->entries[slot].size = (uint8_t)frame_get_size(f);
        if (self->count == 0) {
            self->oldest = 0;
            self->count = 1;
        } else if (self->count == self->capacity) {
            self->oldest = (self->oldest + 1) % self->capacity;
        } else {
            self->count++;
        }
        self->newest = slot;
    }
    platform_semaphore_post(self->lock);
    return ok;
}

bool asdu_ring_dequeue(AsduRing self, Frame frame)
{
    bool ok = false;
    platform_semaphore_wait(self->lock);
    if (self->count > 0) {
        const int size = self->entries[self->oldest].size;
        ok = frame_get_space_left(frame) >= size &&
             frame_append_bytes(frame, self->entries[self->oldest].data, size);
        if (ok) {
            self->oldest = (self->oldest + 1) % self->capacity;
            self->count--;
        }
    }
    platform_semaphore_post(self->lock);
    return ok;
}

bool asdu_ring_is_full(AsduRing self)
{
    platform_semaphore_wait(self->lock);
    const bool full = self->count == self->capacity;
    platform_semaphore_post(self->lock);
    return full;
}

bool asdu_ring_is_empty(AsduRing self)
{
    return asdu_ring_count(self) == 0;
}

int asdu_ring_count(AsduRing self)
{
    platform_semaphore_wait(self->lock);
    const int n = self->count;
    platform_semaphore_post(self->lock);
    return n;
}

void asdu_ring_reset(AsduRing self)
{
    platform_semaphore_wait(self->lock);
    self->count = 0;
    self->oldest = -1;
    self->newest = -1;
    platform_semaphore_post(self->lock);
}
