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
    if (size < 1 || size > APDU_BUFFER - 6) return false;
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
    Frame f = static_frame_init(&frame, buffer, 0, sizeof buffer - 6);
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
