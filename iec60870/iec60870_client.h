#pragma once
// The controlling side of IEC 60870-5-104: connects to a controlled station, starts and stops
// data transfer, sends commands and hands received ASDUs to the application.

#include "iec60870_asdu.h"
#include "iec60870_common.h"
#include "iec60870_platform.h"

typedef struct sControllingConnection* ControllingConnection;

// Events: 0 opened, 1 closed, 2 STARTDT con received, 3 STOPDT con received.
enum {
    CONTROLLING_OPENED = 0,
    CONTROLLING_CLOSED = 1,
    CONTROLLING_STARTDT_CON_RECEIVED = 2,
    CONTROLLING_STOPDT_CON_RECEIVED = 3
};

// The ASDU is the received one, valid during the call only; address is always -1.
typedef bool (*ControllingAsduHandler)(void* parameter, int address, Asdu asdu);
typedef void (*ControllingConnectionHandler)(void* parameter, ControllingConnection connection, int event);
typedef void (*ControllingRawMessageHandler)(void* parameter, uint8_t* bytes, int size, bool sent);

// Port -1 means 2404.
ControllingConnection controlling_connection_create(const char* address, int port);
void controlling_connection_destroy(ControllingConnection self);
// Also sets the connect time-out to t0 seconds.
void controlling_connection_set_apci_parameters(ControllingConnection self, const struct sApciParameters* p);
ApciParameters controlling_connection_get_apci_parameters(ControllingConnection self);
void controlling_connection_set_app_layer_parameters(ControllingConnection self,
                                                     const struct sAppLayerParameters* p);
AppLayerParameters controlling_connection_get_app_layer_parameters(ControllingConnection self);
void controlling_connection_set_connect_timeout(ControllingConnection self, int ms);
int controlling_connection_get_connect_timeout(ControllingConnection self);
int controlling_connection_get_port(ControllingConnection self);

void controlling_connection_set_asdu_handler(ControllingConnection self, ControllingAsduHandler handler,
                                             void* parameter);
void controlling_connection_set_connection_handler(ControllingConnection self,
                                                   ControllingConnectionHandler handler, void* parameter);
void controlling_connection_set_raw_message_handler(ControllingConnection self,
                                                    ControllingRawMessageHandler handler, void* parameter);

// Connects and returns once the connection runs (true) or failed (false).
bool controlling_connection_connect(ControllingConnection self);
// Only starts the connection thread; false when it cannot be created.
bool controlling_connection_connect_async(ControllingConnection self);
// Ends the connection and joins its thread.
void controlling_connection_close(ControllingConnection self);
bool controlling_connection_is_running(ControllingConnection self);
bool controlling_connection_is_failed(ControllingConnection self);

bool controlling_connection_send_start_dt(ControllingConnection self);
bool controlling_connection_send_stop_dt(ControllingConnection self);

// Commands: false when not running, when the k window is full (nothing is written) or when
// the command does not fit an I-frame.
bool controlling_connection_send_interrogation_command(ControllingConnection self, int cot, int ca,
                                                       uint8_t qoi);
bool controlling_connection_send_counter_interrogation_command(ControllingConnection self, int cot, int ca,
                                                               uint8_t qcc);
bool controlling_connection_send_read_command(ControllingConnection self, int ca, int ioa);
bool controlling_connection_send_clock_sync_command(ControllingConnection self, int ca, Cp56Time2a time);
bool controlling_connection_send_test_command(ControllingConnection self, int ca);
// type_id 0: the object's own.
bool controlling_connection_send_process_command(ControllingConnection self, int type_id, int cot, int ca,
                                                 InformationObject object);
bool controlling_connection_send_asdu(ControllingConnection self, Asdu asdu);
