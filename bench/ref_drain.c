/* The reference drain for bench_e2e: librabbitmq consuming a pre-filled queue as the daemon does
 * (prefetch 100, one basic.ack per message), timed from the first delivery to the last ack.
 *
 *   bench_ref_drain host port vhost user pass queue count
 *
 * Prints "<messages> <seconds>" on standard output; exit 1 on any failure. */
#include <amqp.h>
#include <amqp_tcp_socket.h>

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double now_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static int failed(amqp_rpc_reply_t r, const char* what)
{
    if (r.reply_type == AMQP_RESPONSE_NORMAL)
        return 0;
    fprintf(stderr, "ref_drain: %s failed (reply type %d)\n", what, (int)r.reply_type);
    return 1;
}

int main(int argc, char** argv)
{
    if (argc != 8) {
        fprintf(stderr, "usage: %s host port vhost user pass queue count\n", argv[0]);
        return 2;
    }
    const int port = atoi(argv[2]);
    const long want = atol(argv[7]);
    amqp_connection_state_t conn = amqp_new_connection();
    amqp_socket_t* socket = amqp_tcp_socket_new(conn);
    if (!socket || amqp_socket_open(socket, argv[1], port) != AMQP_STATUS_OK) {
        fprintf(stderr, "ref_drain: cannot connect to %s:%d\n", argv[1], port);
        return 1;
    }
    if (failed(amqp_login(conn, argv[3], 0, 131072, 0, AMQP_SASL_METHOD_PLAIN, argv[4], argv[5]), "login"))
        return 1;
    amqp_channel_open(conn, 1);
    if (failed(amqp_get_rpc_reply(conn), "channel.open"))
        return 1;
    amqp_basic_qos(conn, 1, 0, 100, 0);
    if (failed(amqp_get_rpc_reply(conn), "basic.qos"))
        return 1;
    amqp_basic_consume(conn, 1, amqp_cstring_bytes(argv[6]), amqp_empty_bytes, 0, 0, 0, amqp_empty_table);
    if (failed(amqp_get_rpc_reply(conn), "basic.consume"))
        return 1;

    long got = 0;
    double first = 0, last = 0;
    while (got < want) {
        amqp_envelope_t envelope;
        amqp_maybe_release_buffers(conn);
        if (failed(amqp_consume_message(conn, &envelope, NULL, 0), "consume"))
            return 1;
        if (got++ == 0)
            first = now_s();
        if (amqp_basic_ack(conn, 1, envelope.delivery_tag, 0) != AMQP_STATUS_OK) {
            fprintf(stderr, "ref_drain: ack failed\n");
            return 1;
        }
        amqp_destroy_envelope(&envelope);
    }
    last = now_s();
    printf("%ld %.6f\n", got, last - first);
    amqp_channel_close(conn, 1, AMQP_REPLY_SUCCESS);
    amqp_connection_close(conn, AMQP_REPLY_SUCCESS);
    amqp_destroy_connection(conn);
    return 0;
}
