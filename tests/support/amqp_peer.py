#!/usr/bin/python3
"""An independent AMQP peer for the tests (pika): plays the radio network server.

  amqp_peer.py URI publish QUEUE BODY...            publish bodies to QUEUE (default exchange)
  amqp_peer.py URI publish-file QUEUE FILE         publish every line of FILE as a persistent message
  amqp_peer.py URI publish-confirmed QUEUE FILE RATE  every line of FILE, persistent and mandatory,
                                                   at RATE a second, each until the broker confirms
                                                   it (again on a new connection if need be); prints
                                                   the count confirmed
  amqp_peer.py URI declare-queue QUEUE [ARGS]       durable queue, with a JSON object of arguments
  amqp_peer.py URI delete-queue QUEUE               delete it, whatever it holds
  amqp_peer.py URI bind EXCHANGE QUEUE KEY          declare a topic exchange and a queue bound to it
  amqp_peer.py URI drain QUEUE                      print every waiting message as one JSON line
  amqp_peer.py URI stats QUEUE                      print {"messages": n, "consumers": n}
"""
import json
import sys

import pika


def main():
    uri, cmd, args = sys.argv[1], sys.argv[2], sys.argv[3:]
    conn = pika.BlockingConnection(pika.URLParameters(uri))
    ch = conn.channel()
    if cmd == "publish":
        queue, bodies = args[0], args[1:]
        for body in bodies:
            ch.basic_publish(exchange="", routing_key=queue, body=body.encode("utf-8"))
    elif cmd == "publish-file":
        # Persistent, as a radio network server sends them: they outlive a broker restart.
        queue, path = args
        persistent = pika.BasicProperties(delivery_mode=2)
        with open(path, "rb") as f:
            for line in f:
                line = line.rstrip(b"\n")
                if line:
                    ch.basic_publish(exchange="", routing_key=queue, body=line, properties=persistent)
    elif cmd == "publish-confirmed":
        # As a radio network server must publish: confirms on, mandatory, persistent; a message
        # the broker did not confirm is sent again.
        import time
        queue, path, rate = args[0], args[1], float(args[2])
        persistent = pika.BasicProperties(delivery_mode=2)
        with open(path, "rb") as f:
            lines = [l.rstrip(b"\n") for l in f if l.strip()]
        ch.confirm_delivery()
        confirmed, start = 0, time.monotonic()
        for i, line in enumerate(lines):
            delay = start + i / rate - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            while True:
                try:
                    ch.basic_publish(exchange="", routing_key=queue, body=line, properties=persistent,
                                     mandatory=True)
                    confirmed += 1
                    break
                except (pika.exceptions.UnroutableError, pika.exceptions.NackError):
                    time.sleep(0.2)
                except pika.exceptions.AMQPError:
                    time.sleep(0.5)
                    try:
                        conn = pika.BlockingConnection(pika.URLParameters(uri))
                        ch = conn.channel()
                        ch.confirm_delivery()
                    except pika.exceptions.AMQPError:
                        pass
        print(confirmed)
    elif cmd == "declare-queue":
        ch.queue_declare(queue=args[0], durable=True, arguments=json.loads(args[1]) if len(args) > 1 else None)
    elif cmd == "delete-queue":
        ch.queue_delete(queue=args[0])
    elif cmd == "bind":
        exchange, queue, key = args
        ch.exchange_declare(exchange=exchange, exchange_type="topic", durable=True)
        ch.queue_declare(queue=queue, durable=True)
        ch.queue_bind(queue=queue, exchange=exchange, routing_key=key)
    elif cmd == "drain":
        while True:
            method, props, body = ch.basic_get(queue=args[0], auto_ack=True)
            if method is None:
                break
            print(json.dumps({
                "body": body.decode("utf-8", "replace"),
                "routing_key": method.routing_key,
                "exchange": method.exchange,
                "content_type": props.content_type,
                "content_encoding": props.content_encoding,
                "headers": props.headers,
                "delivery_mode": props.delivery_mode,
            }))
    elif cmd == "purge":
        ch.queue_purge(queue=args[0])
    elif cmd == "stats":
        q = ch.queue_declare(queue=args[0], passive=True)
        print(json.dumps({"messages": q.method.message_count, "consumers": q.method.consumer_count}))
    else:
        sys.exit("unknown command " + cmd)
    conn.close()


if __name__ == "__main__":
    main()
