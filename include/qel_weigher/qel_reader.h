/* Qel_weigher: a reader for a scale that keeps its port open (C interface).
 *
 * The port is named as the service and the command-line tool name it, with options:
 * "COM3?protocol=toledo-8217", "/dev/ttyUSB0?protocol=mt-sics&baud=9600&framing=8N1",
 * "/dev/ttyUSB0?protocol=auto"; without options it reads the driver's own frames. A thread
 * of the reader holds the port, asks a polled scale at its interval, reopens the port when
 * the device comes back, and keeps the latest reading, which QelReader_Latest copies out.
 * Texts are UTF-8. No function lets a C++ exception escape. The Qelscale_* functions of
 * qel_weigher.h are unaffected.
 *
 * Threads. The reader's own thread never calls into the program: a failure is reported only in
 * the readings (`error` and `message`), never through the handler of Qel_SetMessageHandler,
 * which only the Qelscale_* functions call, on their caller's thread.
 * - QelReader_Open: from any thread.
 * - QelReader_Latest and QelReader_Command: from any thread, several at once, on a reader
 *   that is open; QelReader_Command blocks its caller until the command is settled.
 * - QelReader_Close: from any thread, once, as the reader's last call: no other call on the
 *   same reader may run or follow.
 */
#ifndef QEL_READER_H
#define QEL_READER_H

#include <stddef.h>

#include "qel_weigher.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QelReader QelReader;

/* One reading. Strings are NUL-terminated and empty when the scale did not say. */
typedef struct QelReading {
  int ok;            /* 1: `value` holds a weight */
  char value[24];    /* "1.234": the scale's own decimals, "." as the point, "-" below 0 */
  char text[32];     /* the weight in the user's number format; "0" without a weight */
  int stable;        /* 1 settled, 0 moving, -1 not known */
  char protocol[24]; /* the protocol read ("toledo-8217"); empty without port options */
  char unit[8];      /* "kg", "g", "lb", "oz" */
  int net;           /* 1 net, 0 gross, -1 not said */
  char tare[24];     /* the tare, same form as `value` */
  char error[24];    /* "" with a weight, else "no-reading", "port-unavailable",
                        "setup-failed", "read-failed", "overload", "under-zero",
                        "scale-busy" */
  long long at_ms;   /* when it was read: milliseconds since 1970-01-01 UTC */
  unsigned long long sequence; /* grows with every reading the reader took */
  /* With an error, the driver's message for it, worded as its message box would say it; ""
   * without one. Cut to fit on a character boundary. */
  char message[512];
} QelReading;

/* Opens `port` (with its options) and starts reading. NULL on a bad name or option, with the
 * reason in `error` (when not NULL; truncated to `error_size` bytes, always terminated). */
QEL_API QelReader* QelReader_Open(const char* port, char* error, size_t error_size);

/* Copies the latest reading into `out`; returns 1, or 0 when no reading arrived yet (then
 * `out` says "no-reading"). `out_size` is sizeof(QelReading) as the caller knows it: a
 * program built before `message` was added gets the fields before it. */
QEL_API int QelReader_Latest(QelReader* reader, QelReading* out, size_t out_size);

/* Zero ("zero") or tare ("tare"): waits for the scale's answer. Returns 0 acknowledged,
 * 1 refused, 2 no answer, 3 the protocol has no such command, 4 the reader already has 4
 * commands waiting (calls from several threads), -1 unknown command. A command not sent to
 * the scale within its protocol's answer window (port option command_ms) is dropped unsent
 * and answers 2. */
QEL_API int QelReader_Command(QelReader* reader, const char* command);

/* Stops reading and closes the port. NULL is ignored. */
QEL_API void QelReader_Close(QelReader* reader);

#ifdef __cplusplus
}
#endif

#endif /* QEL_READER_H */
