#include "iec60870_platform.h"

#include <stdlib.h>

static void (*out_of_memory_handler)(void*) = nullptr;
static void* out_of_memory_parameter = nullptr;

static void* platform_checked(void* result)
{
    if (result == nullptr && out_of_memory_handler != nullptr) out_of_memory_handler(out_of_memory_parameter);
    return result;
}

void* platform_malloc(size_t size)
{
    return platform_checked(malloc(size));
}
void* platform_calloc(size_t count, size_t size)
{
    return platform_checked(calloc(count, size));
}
void* platform_realloc(void* pointer, size_t size)
{
    return platform_checked(realloc(pointer, size));
}
void platform_free(void* pointer)
{
    free(pointer);
}

void platform_set_out_of_memory_handler(void (*handler)(void*), void* parameter)
{
    out_of_memory_handler = handler;
    out_of_memory_parameter = parameter;
}
