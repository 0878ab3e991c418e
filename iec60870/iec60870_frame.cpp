#include "iec60870_frame.h"
#include "iec60870_platform.h"

#include <string.h>

void frame_destroy(Frame self)
{
    if (self->operations->destroy) self->operations->destroy(self);
}

void frame_reset(Frame self)
{
    if (self->operations->reset) self->operations->reset(self);
}

bool frame_append_byte(Frame self, uint8_t byte)
{
    return self->operations->append_byte ? self->operations->append_byte(self, byte) : false;
}

bool frame_append_bytes(Frame self, const uint8_t* bytes, int count)
{
    return self->operations->append_bytes ? self->operations->append_bytes(self, bytes, count) : false;
}

int frame_get_size(Frame self)
{
    return self->operations->get_size ? self->operations->get_size(self) : 0;
}

uint8_t* frame_get_buffer(Frame self)
{
    return self->operations->get_buffer ? self->operations->get_buffer(self) : nullptr;
}

int frame_get_space_left(Frame self)
{
    return self->operations->get_space_left ? self->operations->get_space_left(self) : 0;
}

static void static_frame_destroy(Frame self)
{
    ((StaticFrame)self)->used = false;
}

static void static_frame_reset(Frame self)
{
    StaticFrame f = (StaticFrame)self;
    f->size = f->start_size;
}

static bool static_frame_append_bytes(Frame self, const uint8_t* bytes, int count)
{
    StaticFrame f = (StaticFrame)self;
    if (count < 0 || count > f->capacity - f->size) return false;
    if (count > 0) memcpy(f->buffer + f->size, bytes, (size_t)count);
    f->size += count;
    return true;
}

static bool static_frame_append_byte(Frame self, uint8_t byte)
{
    return static_frame_append_bytes(self, &byte, 1);
}
static int static_frame_get_size(Frame self)
{
    return ((StaticFrame)self)->size;
}
static uint8_t* static_frame_get_buffer(Frame self)
{
    return ((StaticFrame)self)->buffer;
}

static int static_frame_get_space_left(Frame self)
{
    StaticFrame f = (StaticFrame)self;
    return f->capacity - f->size;
}

static const FrameVFT static_frame_vft = {
    static_frame_destroy,  static_frame_reset,      static_frame_append_byte,   static_frame_append_bytes,
    static_frame_get_size, static_frame_get_buffer, static_frame_get_space_left};

Frame static_frame_init(StaticFrame self, uint8_t* buffer, int start_size, int capacity)
{
    self->operations = &static_frame_vft;
    self->buffer = buffer;
    self->capacity = capacity < 0 ? 0 : capacity;
    self->start_size = start_size < 0 ? 0 : (start_size > self->capacity ? self->capacity : start_size);
    self->size = self->start_size;
    self->used = false;
    return (Frame)self;
}

bool static_frame_is_used(StaticFrame self)
{
    return self->used;
}
void static_frame_mark_used(StaticFrame self)
{
    self->used = true;
}

static LinkedList linked_list_node(void* data)
{
    LinkedList node = (LinkedList)platform_malloc(sizeof(struct sLinkedList));
    if (node) {
        node->data = data;
        node->next = nullptr;
    }
    return node;
}

LinkedList linked_list_create(void)
{
    return linked_list_node(nullptr);
}

void linked_list_add(LinkedList list, void* data)
{
    LinkedList node = linked_list_node(data);
    if (node) linked_list_last(list)->next = node;
}

void linked_list_insert_after(LinkedList node, void* data)
{
    LinkedList n = linked_list_node(data);
    if (n) {
        n->next = node->next;
        node->next = n;
    }
}

bool linked_list_remove(LinkedList list, const void* data)
{
    for (LinkedList prev = list; prev->next; prev = prev->next) {
        if (prev->next->data == data) {
            LinkedList gone = prev->next;
            prev->next = gone->next;
            platform_free(gone);
            return true;
        }
    }
    return false;
}

LinkedList linked_list_next(LinkedList node)
{
    return node ? node->next : nullptr;
}
void* linked_list_get_data(LinkedList node)
{
    return node ? node->data : nullptr;
}

LinkedList linked_list_get(LinkedList list, int index)
{
    if (index < 0) return nullptr;
    LinkedList node = list->next;
    while (node && index-- > 0)
        node = node->next;
    return node;
}

LinkedList linked_list_last(LinkedList list)
{
    while (list->next)
        list = list->next;
    return list;
}

int linked_list_size(LinkedList list)
{
    int n = 0;
    for (LinkedList node = list->next; node; node = node->next)
        n++;
    return n;
}

void linked_list_destroy_deep(LinkedList list, void (*release)(void*))
{
    while (list) {
        LinkedList next = list->next;
        if (list->data && release) release(list->data);
        platform_free(list);
        list = next;
    }
}

void linked_list_destroy(LinkedList list)
{
    linked_list_destroy_deep(list, platform_free);
}
void linked_list_destroy_static(LinkedList list)
{
    linked_list_destroy_deep(list, nullptr);
}
