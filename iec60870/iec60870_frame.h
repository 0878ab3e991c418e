#pragma once
// Byte writer through which ASDUs and information objects are serialised, its implementation over
// a caller's buffer, and the stack's singly linked list.

#include <stdbool.h>
#include <stdint.h>

typedef struct sFrame* Frame;

typedef struct sFrameVFT
{
    void (*destroy)(Frame self);
    void (*reset)(Frame self);
    bool (*append_byte)(Frame self, uint8_t byte);
    bool (*append_bytes)(Frame self, const uint8_t* bytes, int count);
    int (*get_size)(Frame self);
    uint8_t* (*get_buffer)(Frame self);
    int (*get_space_left)(Frame self);
} FrameVFT;

struct sFrame
{
    const FrameVFT* operations;
};

// Dispatchers; an empty slot does nothing and answers 0, false or null.
void frame_destroy(Frame self);
void frame_reset(Frame self);
bool frame_append_byte(Frame self, uint8_t byte);
bool frame_append_bytes(Frame self, const uint8_t* bytes, int count);
int frame_get_size(Frame self);
uint8_t* frame_get_buffer(Frame self);
int frame_get_space_left(Frame self);

// A frame over a caller's buffer of `capacity` bytes; the first `start_size` bytes stay free
// (6 for the APCI header). Appends that do not fit are refused whole.
typedef struct sStaticFrame* StaticFrame;
struct sStaticFrame
{
    const FrameVFT* operations;
    uint8_t* buffer;
    int size;
    int start_size;
    int capacity;
    bool used;
};

Frame static_frame_init(StaticFrame self, uint8_t* buffer, int start_size, int capacity);
bool static_frame_is_used(StaticFrame self);
void static_frame_mark_used(StaticFrame self);

typedef struct sLinkedList* LinkedList;
struct sLinkedList
{
    void* data;
    LinkedList next;
};

LinkedList linked_list_create(void);
void linked_list_add(LinkedList list, void* data);
void linked_list_insert_after(LinkedList node, void* data);
bool linked_list_remove(LinkedList list, const void* data);
LinkedList linked_list_next(LinkedList node);
void* linked_list_get_data(LinkedList node);
LinkedList linked_list_get(LinkedList list, int index);
LinkedList linked_list_last(LinkedList list);
int linked_list_size(LinkedList list);
void linked_list_destroy_deep(LinkedList list, void (*release)(void*));
void linked_list_destroy(LinkedList list);
void linked_list_destroy_static(LinkedList list);
