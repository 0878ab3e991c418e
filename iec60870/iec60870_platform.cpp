#include "iec60870_platform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

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

// ---- addresses

bool platform_prepare_ipv4_address(const char* text, int port, struct sockaddr_in* address)
{
    memset(address, 0, sizeof(*address));
    if (text != nullptr) {
        struct addrinfo hints;
        memset(&hints, 0, sizeof hints);
        hints.ai_family = AF_INET;
        struct addrinfo* result = nullptr;
        if (getaddrinfo(text, nullptr, &hints, &result) != 0 || result == nullptr) return false;
        memcpy(address, result->ai_addr, sizeof(struct sockaddr_in));
        freeaddrinfo(result);
    } else {
        address->sin_addr.s_addr = htonl(INADDR_ANY);
    }
    address->sin_family = AF_INET;
    address->sin_port = htons((uint16_t)port);
    return true;
}

// ---- sockets

struct sServerSocket
{
    int fd;
    int backlog;
};

struct sSocket
{
    int fd;
    uint32_t connect_timeout;
};

static void set_non_blocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
}

static void set_no_delay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Closes the descriptor of a socket of either kind and frees the socket.
static void close_and_free(int* fd, void* owner)
{
    int open_fd = *fd;
    *fd = -1;
    if (open_fd >= 0) {
        shutdown(open_fd, SHUT_RDWR);
        close(open_fd);
    }
    platform_sleep_ms(10);
    platform_free(owner);
}

ServerSocket platform_server_socket_create(const char* address, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return nullptr;
    struct sockaddr_in a;
    int one = 1;
    if (!platform_prepare_ipv4_address(address, port, &a) ||
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, (struct sockaddr*)&a, sizeof a) != 0) {
        close(fd);
        return nullptr;
    }
    ServerSocket self = (ServerSocket)platform_malloc(sizeof(struct sServerSocket));
    if (self == nullptr) {
        close(fd);
        return nullptr;
    }
    set_non_blocking(fd);
    self->fd = fd;
    self->backlog = 0;
    return self;
}

bool platform_server_socket_listen(ServerSocket self)
{
    return listen(self->fd, self->backlog) == 0;
}

void platform_server_socket_set_backlog(ServerSocket self, int backlog)
{
    self->backlog = backlog;
}

Socket platform_server_socket_accept(ServerSocket self)
{
    int fd = accept(self->fd, nullptr, nullptr);
    if (fd < 0) return nullptr;
    Socket s = platform_socket_create();
    if (s == nullptr) {
        close(fd);
        return nullptr;
    }
    s->fd = fd;
    set_non_blocking(fd);
    set_no_delay(fd);
    return s;
}

void platform_server_socket_destroy(ServerSocket self)
{
    if (self != nullptr) close_and_free(&self->fd, self);
}

Socket platform_socket_create(void)
{
    Socket self = (Socket)platform_malloc(sizeof(struct sSocket));
    if (self == nullptr) return nullptr;
    self->fd = -1;
    self->connect_timeout = 5000;
    return self;
}

void platform_socket_set_connect_timeout(Socket self, uint32_t ms)
{
    self->connect_timeout = ms;
}

bool platform_socket_connect(Socket self, const char* address, int port)
{
    struct sockaddr_in a;
    if (!platform_prepare_ipv4_address(address, port, &a)) return false;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    set_no_delay(fd);
    fcntl(fd, F_SETFL, O_NONBLOCK);
    if (connect(fd, (struct sockaddr*)&a, sizeof a) != 0 && errno != EINPROGRESS) {
        close(fd);
        return false;
    }
    struct pollfd p = {fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (poll(&p, 1, (int)self->connect_timeout) != 1 ||
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        close(fd);
        return false;
    }
    self->fd = fd;
    return true;
}

int platform_socket_read(Socket self, uint8_t* buffer, int size)
{
    if (self->fd < 0) return -1;
    ssize_t n = recv(self->fd, buffer, (size_t)size, MSG_DONTWAIT);
    if (n == 0) return -1;
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
    return (int)n;
}

int platform_socket_write(Socket self, const uint8_t* buffer, int size)
{
    if (self->fd < 0) return -1;
    ssize_t n = send(self->fd, buffer, (size_t)size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
    return (int)n;
}

bool platform_socket_wait_writable(Socket self, int ms)
{
    if (self->fd < 0) return false;
    struct pollfd p = {self->fd, POLLOUT, 0};
    return poll(&p, 1, ms) == 1 && (p.revents & POLLOUT) != 0;
}

char* platform_socket_get_peer_address_into(Socket self, char* buffer)
{
    struct sockaddr_storage a;
    socklen_t length = sizeof a;
    if (self->fd < 0 || getpeername(self->fd, (struct sockaddr*)&a, &length) != 0) return nullptr;
    char host[INET6_ADDRSTRLEN];
    if (a.ss_family == AF_INET) {
        struct sockaddr_in* v4 = (struct sockaddr_in*)&a;
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        sprintf(buffer, "%s:%i", host, ntohs(v4->sin_port));
        return buffer;
    }
    if (a.ss_family == AF_INET6) {
        struct sockaddr_in6* v6 = (struct sockaddr_in6*)&a;
        inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        sprintf(buffer, "[%s]:%i", host, ntohs(v6->sin6_port));
        return buffer;
    }
    return nullptr;
}

char* platform_socket_get_peer_address(Socket self)
{
    char text[INET6_ADDRSTRLEN + 16];
    if (platform_socket_get_peer_address_into(self, text) == nullptr) return nullptr;
    char* copy = (char*)platform_malloc(strlen(text) + 9);
    if (copy) strcpy(copy, text);
    return copy;
}

int platform_socket_get_descriptor(Socket self)
{
    return self->fd;
}

void platform_socket_destroy(Socket self)
{
    if (self != nullptr) close_and_free(&self->fd, self);
}

// ---- readiness sets

struct sSocketSet
{
    struct pollfd* fds;
    int count;
    int capacity;
};

SocketSet platform_socket_set_create(void)
{
    return (SocketSet)platform_calloc(1, sizeof(struct sSocketSet));
}

void platform_socket_set_reset(SocketSet self)
{
    if (self) self->count = 0;
}

void platform_socket_set_add(SocketSet self, Socket socket)
{
    if (self == nullptr || socket == nullptr || socket->fd < 0) return;
    if (self->count == self->capacity) {
        int capacity = self->capacity ? self->capacity * 2 : 8;
        struct pollfd* fds =
            (struct pollfd*)platform_realloc(self->fds, sizeof(struct pollfd) * (size_t)capacity);
        if (fds == nullptr) return;
        self->fds = fds;
        self->capacity = capacity;
    }
    self->fds[self->count].fd = socket->fd;
    self->fds[self->count].events = POLLIN;
    self->fds[self->count].revents = 0;
    self->count++;
}

int platform_socket_set_wait(SocketSet self, int ms)
{
    if (self == nullptr || self->count == 0) return -1;
    int n = poll(self->fds, (nfds_t)self->count, ms);
    return n < 0 && errno == EINTR ? 0 : n;
}

bool platform_socket_set_is_ready(SocketSet self, Socket socket)
{
    if (self == nullptr || socket == nullptr) return false;
    for (int i = 0; i < self->count; i++)
        if (self->fds[i].fd == socket->fd) return self->fds[i].revents != 0;
    return false;
}

void platform_socket_set_destroy(SocketSet self)
{
    if (self == nullptr) return;
    platform_free(self->fds);
    platform_free(self);
}

// ---- threads

struct sThread
{
    ThreadExecutionFunction function;
    void* parameter;
    pthread_t id;
    int state;
    bool auto_destroy;
};

Thread platform_thread_create(ThreadExecutionFunction function, void* parameter, bool auto_destroy)
{
    Thread self = (Thread)platform_calloc(1, sizeof(struct sThread));
    if (self == nullptr) return nullptr;
    self->function = function;
    self->parameter = parameter;
    self->auto_destroy = auto_destroy;
    return self;
}

static void* destroy_after_run(void* parameter)
{
    Thread self = (Thread)parameter;
    ThreadExecutionFunction function = self->function;
    void* argument = self->parameter;
    platform_free(self);
    function(argument);
    return nullptr;
}

bool platform_thread_start(Thread self)
{
    if (self->auto_destroy) {
        pthread_t id;
        if (pthread_create(&id, nullptr, destroy_after_run, self) != 0) {
            platform_free(self);
            return false;
        }
        pthread_detach(id);
        return true;
    }
    if (pthread_create(&self->id, nullptr, self->function, self->parameter) != 0) return false;
    self->state = 1;
    return true;
}

void platform_thread_destroy(Thread self)
{
    if (self == nullptr) return;
    if (self->state == 1) pthread_join(self->id, nullptr);
    platform_free(self);
}

// ---- semaphores

struct sSemaphore
{
    sem_t semaphore;
};

Semaphore platform_semaphore_create(int initial_value)
{
    Semaphore self = (Semaphore)platform_malloc(sizeof(struct sSemaphore));
    if (self == nullptr) return nullptr;
    if (sem_init(&self->semaphore, 0, (unsigned)initial_value) != 0) {
        platform_free(self);
        return nullptr;
    }
    return self;
}

void platform_semaphore_wait(Semaphore self)
{
    while (sem_wait(&self->semaphore) != 0 && errno == EINTR) {
    }
}

void platform_semaphore_post(Semaphore self)
{
    sem_post(&self->semaphore);
}

void platform_semaphore_destroy(Semaphore self)
{
    if (self == nullptr) return;
    sem_destroy(&self->semaphore);
    platform_free(self);
}

// ---- time

void platform_sleep_ms(int ms)
{
    usleep((useconds_t)ms * 1000);
}

uint64_t platform_get_time_ms(void)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (uint64_t)tv.tv_sec * 1000 + (uint64_t)tv.tv_usec / 1000;
}
