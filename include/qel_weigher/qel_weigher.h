/* Qel_weigher: driver for a platform scale on an RS-232 port (C interface).
 *
 * Every call runs one acquisition cycle on the calling thread: open the port, let the
 * scale's output collect for 600 ms, read one buffer, close the port, decode. The port
 * chosen by Qelscale_OpenComPort_ belongs to the calling thread and is shared by all
 * objects used on it; creating an object resets it to "COM1".
 *
 * Port names: "COMn" (any case, also as "\\.\COMn") is /dev/ttyS<n-1>; a name starting
 * with "/" is a device path used as it stands. Texts are UTF-8. No function lets a C++
 * exception escape.
 */
#ifndef QEL_WEIGHER_H
#define QEL_WEIGHER_H

#if defined(_WIN32)
#define QEL_API
#elif defined(QEL_WEIGHER_BUILDING)
#define QEL_API __attribute__((visibility("default")))
#else
#define QEL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Qelscale Qelscale;

/* Creates a driver object; sets the calling thread's port to "COM1". NULL only when out
 * of memory. */
QEL_API Qelscale* Qelscale_Create(void);

/* Releases an object created by Qelscale_Create. NULL is ignored. */
QEL_API void Qelscale_Release(Qelscale* self);

/* The weight on the scale with three decimals in the user's number format ("1,234"),
 * or "0" when no valid reading arrives. The text is owned by the object and stays valid
 * until its next call or its release. An object may be released from inside its own call
 * (from the message handler); the call then completes, and its text stays valid until the
 * thread's next call that ends the same way. */
QEL_API const char* Qelscale_GetWeight_(Qelscale* self);

/* Chooses `port` (kept even when the probe fails) and probes it: -1 (True) when a frame
 * with a numeric weight arrives, 0 (False) otherwise. */
QEL_API short Qelscale_OpenComPort_(Qelscale* self, const char* port);

/* Receives the driver's messages (UTF-8 text and caption; critical is 1 for the stop
 * icon). The call stands for a modal message box: the driver waits until it returns.
 * NULL restores the default, which writes one line to stderr. */
typedef void (*QelMessageHandler)(const char* text, const char* caption, int critical,
                                  void* context);
QEL_API void Qel_SetMessageHandler(QelMessageHandler handler, void* context);

#ifdef __cplusplus
}
#endif

#endif /* QEL_WEIGHER_H */
