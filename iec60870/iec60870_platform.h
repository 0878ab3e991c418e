#pragma once
// The stack's only way to the operating system: memory, IPv4 TCP sockets, readiness waits,
// threads, semaphores and the clock. Failures are null results, negative counts or false.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

struct sockaddr_in;

// Memory
void* platform_malloc(size_t size);
void* platform_calloc(size_t count, size_t size);
void* platform_realloc(void* pointer, size_t size);
void platform_free(void* pointer);
void platform_set_out_of_memory_handler(void (*handler)(void* parameter), void* parameter);
