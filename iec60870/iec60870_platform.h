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

// Addresses
// Clears `address`; resolves `text` for IPv4 (null = any address); sets family and port.
bool platform_prepare_ipv4_address(const char* text, int port, struct sockaddr_in* address);

// Sockets
typedef struct sServerSocket* ServerSocket;
typedef struct sSocket* Socket;

// Bound, non-blocking, SO_REUSEADDR; null on any failure (no descriptor left open).
ServerSocket platform_server_socket_create(const char* address, int port);
bool platform_server_socket_listen(ServerSocket self);
void platform_server_socket_set_backlog(ServerSocket self, int backlog);
// A pending client (TCP_NODELAY, non-blocking) or null at once when none is waiting.
Socket platform_server_socket_accept(ServerSocket self);
void platform_server_socket_destroy(ServerSocket self);

Socket platform_socket_create(void);
void platform_socket_set_connect_timeout(Socket self, uint32_t ms);
bool platform_socket_connect(Socket self, const char* address, int port);
// Bytes read; 0 when nothing is waiting; -1 on error or when the peer closed.
int platform_socket_read(Socket self, uint8_t* buffer, int size);
// Non-blocking: bytes written (possibly fewer than asked), 0 when the socket cannot take any now,
// -1 on error.
int platform_socket_write(Socket self, const uint8_t* buffer, int size);
// Waits up to `ms` until the socket can take more bytes; false on time-out or error.
bool platform_socket_wait_writable(Socket self, int ms);
// Room for "[v6]:port" and its terminating zero.
#define PLATFORM_PEER_ADDRESS_SIZE 64
// "a.b.c.d:port" or "[v6]:port" into PLATFORM_PEER_ADDRESS_SIZE bytes. Null for other families.
char* platform_socket_get_peer_address_into(Socket self, char* buffer);
// The same, allocated (the caller frees it).
char* platform_socket_get_peer_address(Socket self);
int platform_socket_get_descriptor(Socket self);
void platform_socket_destroy(Socket self);

// Read-readiness over any number of descriptors (poll).
typedef struct sSocketSet* SocketSet;
SocketSet platform_socket_set_create(void);
void platform_socket_set_reset(SocketSet self);
void platform_socket_set_add(SocketSet self, Socket socket);
// Number ready, 0 on time-out, -1 for an empty set or an error.
int platform_socket_set_wait(SocketSet self, int ms);
// Whether `socket` was reported ready by the last wait.
bool platform_socket_set_is_ready(SocketSet self, Socket socket);
void platform_socket_set_destroy(SocketSet self);

// Threads
typedef struct sThread* Thread;
typedef void* (*ThreadExecutionFunction)(void* parameter);
Thread platform_thread_create(ThreadExecutionFunction function, void* parameter, bool auto_destroy);
// False when the thread could not be created (an auto-destroy object is then freed).
bool platform_thread_start(Thread self);
// Joins a started thread, then frees the object.
void platform_thread_destroy(Thread self);

// Semaphores, used as locks
typedef struct sSemaphore* Semaphore;
Semaphore platform_semaphore_create(int initial_value);
void platform_semaphore_wait(Semaphore self);
void platform_semaphore_post(Semaphore self);
void platform_semaphore_destroy(Semaphore self);

// Time
void platform_sleep_ms(int ms);
uint64_t platform_get_time_ms(void);
