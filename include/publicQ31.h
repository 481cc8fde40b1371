/*
 * publicQ31 - driver for heat and water meters of device type 5120 (0x1400).
 *
 * The host opens and configures the serial port, hands the library a slot
 * record (port handle, echo flag, reply time-out and 25 callbacks) through
 * InitSlot, and then calls the request exports. Each export returns a status
 * byte at once and starts one exchange with the meter; when it is complete
 * the library calls the request's callback, on the same thread, from inside
 * its message handling. That thread must therefore pump messages: window
 * messages on Windows, PumpMessages on other systems.
 *
 * Status bytes returned by the request exports:
 *   0  started; the result comes through the request's callback
 *   1  InitSlot has not been called; nothing was sent
 *   2  DevType in the host's record is not 5120; nothing was sent
 *   3  an argument is out of range (or the record pointer is null); nothing was sent
 *
 * One request is in flight at a time: wait for its callback before starting
 * the next. A meter that does not answer is asked again until the next
 * request; a meter whose serial number differs from the one the host named
 * ends the request with a message box and no callback.
 *
 * On 32-bit x86 every export and callback uses stdcall, and the slot record
 * is exactly 112 bytes. Elsewhere the fields keep their order at natural
 * alignment. All pointers handed to callbacks point into the library and stay
 * valid until the next request of the same kind.
 */
#ifndef PUBLICQ31_H
#define PUBLICQ31_H

#include <stddef.h>
#include <stdint.h>

#if defined(__i386__) || defined(_M_IX86)
#  if defined(_MSC_VER)
#    define Q31_CALL __stdcall
#  else
#    define Q31_CALL __attribute__((stdcall))
#  endif
#else
#  define Q31_CALL
#endif

#if defined(Q31_BUILDING_LIBRARY)
#  if defined(_WIN32)
#    define Q31_API __declspec(dllexport)
#  else
#    define Q31_API __attribute__((visibility("default")))
#  endif
#else
#  if defined(_WIN32)
#    define Q31_API __declspec(dllimport)
#  else
#    define Q31_API
#  endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The port handle: a HANDLE on Windows, a file descriptor elsewhere. 0 = none. */
typedef intptr_t Q31PortHandle;

#pragma pack(push, 1)
/* The meter's identity (12 bytes): passed to every request, returned by OnID. */
typedef struct SDevIdent {
    uint16_t DevType;      /* device type; only 5120 (0x1400) is served */
    uint16_t IdWord2;      /* version word; selects the archive layout */
    uint32_t SerialNumber; /* the meter the request is meant for */
    uint16_t IdWord12;     /* carried unchanged */
    uint8_t Carried[2];    /* carried, not interpreted */
} SDevIdent;

/* OnModuleRecord: one module of the meter (32 bytes). */
typedef struct SModuleRecord {
    uint16_t Word0;
    uint8_t Bytes[6];      /* each one more (mod 256) than the meter stores */
    uint32_t Values[6];
} SModuleRecord;

/* OnCurrentData: four groups of six 32-bit values (96 bytes). */
typedef struct SCurrentData {
    uint32_t Groups[4][6];
} SCurrentData;

/* OnAccumulatedData: six 32-bit values, then three groups of six 64-bit values (168 bytes). */
typedef struct SAccumulatedData {
    uint32_t Values[6];
    uint64_t Groups[3][6];
} SAccumulatedData;

/* OnArhiveCount: the archive counters (12 bytes). */
typedef struct SArhiveCount {
    uint32_t FirstWord;
    uint32_t HourCount;    /* hourly records written since the archive began */
    uint32_t DayCount;     /* daily records written since the archive began */
} SArhiveCount;
#pragma pack(pop)

/* Host callbacks. Counts travel in one 32-bit slot. */
typedef void (Q31_CALL *TQ31OnTimeOut)(void);
typedef void (Q31_CALL *TQ31OnID)(SDevIdent* ident);
typedef void (Q31_CALL *TQ31OnModuleCount)(uint32_t count);   /* low byte is the count */
typedef void (Q31_CALL *TQ31OnModuleRecord)(SModuleRecord* record);
typedef void (Q31_CALL *TQ31OnCurrentData)(SCurrentData* data);
typedef void (Q31_CALL *TQ31OnAccumulatedData)(SAccumulatedData* data);
typedef void (Q31_CALL *TQ31OnArhiveCount)(SArhiveCount* counters);
typedef void (Q31_CALL *TQ31OnArhive32)(int32_t* values, uint32_t count);  /* low 16 bits count */
typedef void (Q31_CALL *TQ31OnArhive64)(int64_t* values, uint32_t count);  /* low 16 bits count */
typedef void (Q31_CALL *TQ31OnLogWords)(uint16_t* words, uint32_t count);  /* error-log heads */
typedef void (Q31_CALL *TQ31OnLogRecords)(uint8_t* records, uint32_t count);
typedef void (Q31_CALL *TQ31OnEditHead)(uint16_t* word);

/* The slot record handed to InitSlot. */
typedef struct TQ31Slot {
    Q31PortHandle Handle;      /* the open serial port */
    uint8_t Unused4;
    uint8_t EchoFlag;          /* 0: the line echoes every byte sent; other: no echo */
    uint8_t Unused6[2];
    int32_t TimeOut;           /* reply time-out, ms */
    TQ31OnTimeOut OnTimeOut;   /* may be null; called only when repetition is off */
    TQ31OnID OnID;
    TQ31OnModuleCount OnModuleCount;
    TQ31OnModuleRecord OnModuleRecord;
    TQ31OnCurrentData OnCurrentData;
    TQ31OnAccumulatedData OnAccumulatedData;
    TQ31OnArhiveCount OnArhiveCount;
    TQ31OnArhive32 OnArhiveTime_Hour;
    TQ31OnArhive32 OnArhiveStop_Hour;
    TQ31OnArhive32 OnArhiveT_Hour;
    TQ31OnArhive64 OnArhiveU_Hour;
    TQ31OnArhive64 OnArhiveM_Hour;
    TQ31OnArhive64 OnArhiveE_Hour;
    TQ31OnArhive32 OnArhiveTime_Day;
    TQ31OnArhive32 OnArhiveStop_Day;
    TQ31OnArhive32 OnArhiveT_Day;
    TQ31OnArhive64 OnArhiveU_Day;
    TQ31OnArhive64 OnArhiveM_Day;
    TQ31OnArhive64 OnArhiveE_Day;
    TQ31OnLogWords OnErrorHDev;        /* count 8 */
    TQ31OnLogWords OnErrorHModule;     /* count 6 */
    TQ31OnLogRecords OnErrorDataDev;   /* 16 records of 8 bytes */
    TQ31OnLogRecords OnErrorDataModule;/* 16 records of 8 bytes, same buffer */
    TQ31OnEditHead OnEditHModule;      /* no count */
    TQ31OnLogRecords OnEditDataModule; /* 16 records of 16 bytes */
} TQ31Slot;

/* Operator messages: text and caption in UTF-8; flags as for a Windows message box. */
typedef void (*TQ31MessageBoxHandler)(const char* text, const char* caption, unsigned flags);

/* Archive progress: the number of values a running series read still has to
 * fetch, as decimal ASCII digits (e.g. "840"). Called before each further
 * packet of the read, never before its first packet or after its last; the
 * count is that of the stretch up to the end of the meter's ring, and after
 * the read crosses the end, that of the stretch from the ring's start. */
typedef void (Q31_CALL *TQ31ProgressHandler)(const char* text);

/* The line trace: one record per event on the line, for a host that wants to
 * see why a request is slow or fails. The record and its bytes are valid only
 * during the call; a handler copies what it keeps. */
enum {
    Q31_TRACE_REQUEST_START = 1, /* a packet is armed; bytes: the packet */
    Q31_TRACE_WRITE = 2,         /* a packet (or the null byte) written; bytes: what was written */
    Q31_TRACE_READ = 3,          /* a chunk read, the echo too; bytes: what arrived (length may be 0) */
    Q31_TRACE_ACCEPTED = 4,      /* a reply accepted; bytes: the reply */
    Q31_TRACE_REJECTED = 5,      /* a reply rejected; reason: Q31_REJECT_... */
    Q31_TRACE_TIMEOUT = 6,       /* no accepted reply within the time-out */
    Q31_TRACE_RESEND = 7,        /* the packet goes out again; count: re-sends since it was armed */
    Q31_TRACE_PORT_ERROR = 8,    /* a write (reason 1) or read (reason 2) of the port failed; os_error */
    Q31_TRACE_REQUEST_END = 9,   /* the exchange is over; reason: Q31_END_...; count: re-sends */
    Q31_TRACE_DISCARDED = 10     /* bytes read off the line that no reply was expected for; bytes */
};
enum {
    Q31_REJECT_CHECKSUM = 1,     /* the checksum does not match */
    Q31_REJECT_ADDRESS = 2,      /* the first byte is not the expected address */
    Q31_REJECT_LENGTH = 3,       /* the reply announces more than 252 payload bytes */
    Q31_REJECT_SHORT = 4,        /* fewer bytes arrived than the stage needs */
    Q31_REJECT_EMPTY = 5,        /* a well-formed reply that carries no whole value */
    Q31_REJECT_UNCONFIRMED = 6,  /* a confirming read returned other data */
    Q31_REJECT_WRONG_LENGTH = 7, /* a good frame of another length than the command asks for; expected, actual */
    Q31_REJECT_FOLLOWED = 8      /* another frame came right behind the reply of a packet that timed out:
                                    either may answer an earlier send */
};
enum {
    Q31_END_ACCEPTED = 0,        /* the reply was accepted */
    Q31_END_TIMEOUT = 1,         /* failed with repetition off (OnTimeOut, or a bad reply) */
    Q31_END_ABANDONED = 2,       /* a new packet was armed before this one finished */
    Q31_END_BROKEN = 3,          /* BreakTransmit, or the send limit was reached */
    Q31_END_PORT_ERROR = 4       /* the port could not be written */
};
enum { Q31_PORT_WRITE = 1, Q31_PORT_READ = 2 };

typedef struct TQ31TraceEvent {
    int64_t time_us;       /* monotonic clock, microseconds */
    int32_t kind;          /* Q31_TRACE_... */
    int32_t reason;        /* REJECTED: Q31_REJECT_...; REQUEST_END: Q31_END_...; PORT_ERROR: Q31_PORT_... */
    int32_t count;         /* RESEND and REQUEST_END: re-sends since the packet was armed */
    int32_t os_error;      /* PORT_ERROR: errno on POSIX, GetLastError() on Windows */
    const uint8_t* bytes;  /* WRITE, READ, ACCEPTED, DISCARDED, REQUEST_START: the bytes, else null */
    int32_t length;        /* bytes at `bytes` */
    int32_t expected;      /* REJECTED wrong length: the payload bytes the command asks for (at most) */
    int32_t actual;        /* REJECTED wrong length: the payload bytes the reply carries */
} TQ31TraceEvent;

/* Called for every trace event, on the thread that calls the exports (never
 * from the library's reader thread), with the `user` given to SetTraceHandler. */
typedef void (Q31_CALL *TQ31TraceHandler)(const TQ31TraceEvent* event, void* user);

struct TFXB;
/* The library's single hidden form object, created when the library loads. */
extern Q31_API struct TFXB* FXB;

/* Copies the slot record; later requests use it. A null pointer changes nothing. */
Q31_API void Q31_CALL InitSlot(const TQ31Slot* slot);
/* Identifies the meter on the line; OnID gets its identity. Returns 0 or 1. */
Q31_API uint8_t Q31_CALL GetID(void);

/* Module and measurement requests. module: 1 to 6. */
Q31_API uint8_t Q31_CALL GetModuleCount(const SDevIdent* dev);
Q31_API uint8_t Q31_CALL GetModuleRecord(const SDevIdent* dev, uint32_t module);
Q31_API uint8_t Q31_CALL GetCurrentData(const SDevIdent* dev);
Q31_API uint8_t Q31_CALL GetAccumulatedData(const SDevIdent* dev);

/* Archive requests. module: 1 to 6; start: record number counted from the first ever written. */
Q31_API uint8_t Q31_CALL GetArhiveCount(const SDevIdent* dev);
Q31_API uint8_t Q31_CALL GetArhiveTime_Hour(const SDevIdent* dev, uint32_t module, uint32_t start);
Q31_API uint8_t Q31_CALL GetArhiveStop_Hour(const SDevIdent* dev, uint32_t module, uint32_t start);
Q31_API uint8_t Q31_CALL GetArhiveT_Hour(const SDevIdent* dev, uint32_t module, uint32_t start);
Q31_API uint8_t Q31_CALL GetArhiveU_Hour(const SDevIdent* dev, uint32_t module, uint32_t start);
Q31_API uint8_t Q31_CALL GetArhiveM_Hour(const SDevIdent* dev, uint32_t module, uint32_t start);
Q31_API uint8_t Q31_CALL GetArhiveE_Hour(const SDevIdent* dev, uint32_t module, uint32_t start);
Q31_API uint8_t Q31_CALL GetArhiveTime_Day(const SDevIdent* dev, uint32_t module, uint32_t start);
Q31_API uint8_t Q31_CALL GetArhiveStop_Day(const SDevIdent* dev, uint32_t module, uint32_t start);
Q31_API uint8_t Q31_CALL GetArhiveT_Day(const SDevIdent* dev, uint32_t module, uint32_t start);
Q31_API uint8_t Q31_CALL GetArhiveU_Day(const SDevIdent* dev, uint32_t module, uint32_t start);
Q31_API uint8_t Q31_CALL GetArhiveM_Day(const SDevIdent* dev, uint32_t module, uint32_t start);
Q31_API uint8_t Q31_CALL GetArhiveE_Day(const SDevIdent* dev, uint32_t module, uint32_t start);

/* Error and edit log requests. module: 1 to 8 (1 to 6 for GetErrorDataModule); block as noted. */
Q31_API uint8_t Q31_CALL GetErrorHDev(const SDevIdent* dev);
Q31_API uint8_t Q31_CALL GetErrorHModule(const SDevIdent* dev, uint32_t module);
Q31_API uint8_t Q31_CALL GetErrorDataDev(const SDevIdent* dev, uint32_t block);             /* block 1 to 8 */
Q31_API uint8_t Q31_CALL GetErrorDataModule(const SDevIdent* dev, uint32_t module, uint32_t block); /* block 1 to 5 */
Q31_API uint8_t Q31_CALL GetEditHModule(const SDevIdent* dev, uint32_t module);
Q31_API uint8_t Q31_CALL GetEditDataModule(const SDevIdent* dev, uint32_t module);

/* Runs due timers and hand-overs on the calling thread, waiting up to
 * timeout_ms for some to become due. Returns how many handlers ran. A host
 * without a window-message loop (every POSIX host) calls this on the thread
 * that calls the exports; on Windows the ordinary message loop does the same. */
Q31_API int Q31_CALL PumpMessages(int timeout_ms);

/* Replaces how operator messages are shown; null restores the default
 * (standard error on POSIX, a message box on Windows). */
Q31_API void Q31_CALL SetMessageBoxHandler(TQ31MessageBoxHandler handler);

/* Installs a handler for the archive progress text (see TQ31ProgressHandler)
 * as the progress control of the library's heat-meter component; null removes
 * it. Called on the thread that calls the exports. */
Q31_API void Q31_CALL SetProgressHandler(TQ31ProgressHandler handler);

/* Installs the line-trace handler; null removes it. With no handler the
 * library builds no trace record at all. `user` is passed back unchanged. */
Q31_API void Q31_CALL SetTraceHandler(TQ31TraceHandler handler, void* user);

/* Confirmed reads of the slot-record exports' line. `mode`:
 * 0 (Q31_CONFIRM_OFF, the default): every reply is taken as it comes;
 * 1 (Q31_CONFIRM_ALWAYS; any value but 0 and 2 means the same): every read
 *   packet is sent twice and its data accepted only when both replies agree
 *   (otherwise it is read again), so a corruption the 16-bit checksum cannot
 *   see does not reach the host; it roughly doubles the time of every read;
 * 2 (Q31_CONFIRM_AUTO): reads are confirmed only while the line has shown a
 *   fault recently, so a clean line costs nothing and random noise is caught. */
Q31_API void Q31_CALL SetReadConfirmation(uint8_t mode);

#ifdef __cplusplus
}
#endif

#if defined(__i386__) || defined(_M_IX86)
#  ifdef __cplusplus
static_assert(sizeof(TQ31Slot) == 112, "the slot record is 112 bytes");
static_assert(offsetof(TQ31Slot, EchoFlag) == 5 && offsetof(TQ31Slot, TimeOut) == 8 &&
              offsetof(TQ31Slot, OnTimeOut) == 12 && offsetof(TQ31Slot, OnID) == 16 &&
              offsetof(TQ31Slot, OnEditDataModule) == 108, "slot record offsets");
#  else
_Static_assert(sizeof(TQ31Slot) == 112, "the slot record is 112 bytes");
#  endif
#endif
#ifdef __cplusplus
static_assert(sizeof(SDevIdent) == 12 && sizeof(SModuleRecord) == 32 && sizeof(SCurrentData) == 96 &&
              sizeof(SAccumulatedData) == 168 && sizeof(SArhiveCount) == 12, "host record sizes");
#endif

/*
 * publicQ31 context API: any number of meters, on their own ports or
 * sharing one, from one thread.
 *
 * A session is one meter on one serial port. Open one per meter with
 * q31_session_open; every request function starts one request on a session
 * and returns a status at once; the result comes later through the callback
 * the request was given, together with the `user` pointer given with it.
 * All sessions run on the thread that calls these functions and PumpMessages
 * (on Windows, the thread's window-message loop does the same); callbacks
 * are called on that thread from inside PumpMessages, one at a time.
 *
 * Sessions on one port take turns. Several meters on one RS-485 line
 * (each at its own slave_address) are opened as one session each on the
 * same port handle. A request started while another session's request has
 * the line is accepted (Q31_OK) and waits: nothing is sent for it until the
 * requests before it have ended, first come, first served. A callback
 * runs after the line has passed on, so a request it starts queues behind
 * those already waiting. A request that ends (or is cancelled) while its
 * meter may still answer one of its sends (a packet that timed out) keeps
 * the line quiet until that answer can no longer come, at most two of its
 * time-outs after its last send, so that no session reads another meter's
 * late answer (closing that session ends the wait). Each session keeps its
 * own address, options and result status; its time-out and send limit count
 * from its own first send, not from the start of the wait. q31_cancel and
 * q31_session_close take a waiting request out of the queue: nothing is
 * sent for it and no callback comes, as for a request that is cancelled
 * while it runs. The slot-record exports keep their own port and take no
 * part in this.
 *
 * Unlike the slot-record exports, this API never shows a message box and
 * never re-sends without bound unless asked to: every request that was
 * started ends with exactly one callback (or with q31_cancel / close).
 *
 * Example:
 *
 *     q31_options options;
 *     q31_options_init(&options);
 *     options.timeout_ms = 500;
 *     q31_session* meter = q31_session_open(port, &options);
 *     q31_get_current_data(meter, &ident, on_current, &my_state);
 *     while (!my_state.done) PumpMessages(50);
 *     q31_session_close(meter);
 */
#ifdef __cplusplus
extern "C" {
#endif

/* Status values: returned by the request functions (Q31_OK means the
 * request was started) and passed in q31_result.status (Q31_OK means the
 * result is there). One set, so q31_strerror describes either. */
enum {
    Q31_OK = 0,               /* started / done */
    Q31_ERR_SESSION = 1,      /* no such session: null, never opened, or already closed; nothing done */
    Q31_ERR_DEVICE_TYPE = 2,  /* DevType of the expected identity is not 5120; nothing sent */
    Q31_ERR_ARGUMENT = 3,     /* a number out of range, a null identity or a null callback; nothing sent */
    Q31_ERR_BUSY = 4,         /* the session's previous request (running or waiting its turn) has not
                                 called back yet; nothing sent */
    Q31_OTHER_METER = 5,      /* callback: a meter with another serial number answered */
    Q31_NO_ANSWER = 6,        /* callback: no accepted reply after the send limit */
    Q31_PORT_ERROR = 7,       /* callback: the port could not be written */
    Q31_BEYOND_NEWEST = 8,    /* callback: the archive start lies past the newest record */
    Q31_ERR_PORT_OPEN = 9     /* q31_port_open: the device would not open, the server could not be
                                 reached, or it refused the line's settings (see q31_port_error) */
};

/* slave_address: the meters' address range and the address a meter leaves
 * the factory with. */
#define Q31_ADDRESS_MIN 1
#define Q31_ADDRESS_MAX 238
#define Q31_DEFAULT_ADDRESS 201

/* timeout_ms: the reply time-out of one packet. */
#define Q31_DEFAULT_TIMEOUT_MS 2000
#define Q31_TIMEOUT_MAX_MS 600000

/* send_limit: re-sends of one packet after its first send. */
#define Q31_SEND_UNLIMITED 0      /* re-send until an answer comes (the slot-record exports' way) */
#define Q31_DEFAULT_SEND_LIMIT 3

/* confirm: when read packets are confirmed (sent again, and their data taken
 * only when two consecutive replies agree). */
#define Q31_CONFIRM_OFF 0     /* every reply is taken as it comes */
#define Q31_CONFIRM_ALWAYS 1  /* every read is confirmed: also catches corruption no checksum sees */
#define Q31_CONFIRM_AUTO 2    /* reads are confirmed while the line has shown a fault recently */

/* The line of one session. Fill with q31_options_init, then change fields. */
typedef struct q31_options {
    uint8_t echo;           /* non-zero: the line returns every byte sent (default 0) */
    uint8_t slave_address;  /* the meter's address, Q31_ADDRESS_MIN to Q31_ADDRESS_MAX (default
                               Q31_DEFAULT_ADDRESS) */
    uint8_t confirm;        /* Q31_CONFIRM_OFF (default), Q31_CONFIRM_ALWAYS or Q31_CONFIRM_AUTO;
                               a higher value is invalid */
    uint8_t reserved[1];    /* zero; anything else is refused */
    int32_t timeout_ms;     /* reply time-out of one packet, 1 to Q31_TIMEOUT_MAX_MS ms (default
                               Q31_DEFAULT_TIMEOUT_MS) */
    int32_t send_limit;     /* re-sends of one packet before Q31_NO_ANSWER; Q31_SEND_UNLIMITED (0)
                               for no limit; default Q31_DEFAULT_SEND_LIMIT (3); negative is invalid */
} q31_options;

/* The archive series of q31_get_archive_series. */
typedef enum q31_series {
    Q31_SERIES_TIME_HOUR = 0, Q31_SERIES_STOP_HOUR, Q31_SERIES_T_HOUR,
    Q31_SERIES_U_HOUR, Q31_SERIES_M_HOUR, Q31_SERIES_E_HOUR,
    Q31_SERIES_TIME_DAY, Q31_SERIES_STOP_DAY, Q31_SERIES_T_DAY,
    Q31_SERIES_U_DAY, Q31_SERIES_M_DAY, Q31_SERIES_E_DAY
} q31_series;

/* How a request ended; passed to every callback. */
typedef struct q31_result {
    int32_t status;            /* Q31_OK, Q31_OTHER_METER, Q31_NO_ANSWER, Q31_PORT_ERROR or Q31_BEYOND_NEWEST */
    uint32_t expected_serial;  /* the serial number of the identity the request named (0 for q31_get_id) */
    uint32_t found_serial;     /* the serial number the meter answered with (0 when none answered) */
} q31_result;

/* An open session. Opaque. */
typedef struct q31_session q31_session;

/* Callbacks. `result` is valid during the call. Data pointers are null
 * unless result->status is Q31_OK; they point into the session and stay
 * valid until the session's next request is started or it is closed. A
 * callback may start the session's next request; it must not close it. */
typedef void (Q31_CALL *q31_ident_cb)(const q31_result* result, const SDevIdent* ident, void* user);
typedef void (Q31_CALL *q31_count_cb)(const q31_result* result, uint32_t count, void* user);
typedef void (Q31_CALL *q31_module_record_cb)(const q31_result* result, const SModuleRecord* record, void* user);
typedef void (Q31_CALL *q31_current_data_cb)(const q31_result* result, const SCurrentData* data, void* user);
typedef void (Q31_CALL *q31_accumulated_data_cb)(const q31_result* result, const SAccumulatedData* data, void* user);
typedef void (Q31_CALL *q31_archive_count_cb)(const q31_result* result, const SArhiveCount* counters, void* user);
/* values: `count` values of `value_size` bytes (4: int32_t, 8: int64_t), oldest first. */
typedef void (Q31_CALL *q31_series_cb)(const q31_result* result, const void* values, uint32_t count,
                                       uint32_t value_size, void* user);
/* words: a log head, `count` 16-bit words (8 device head, 6 module head, 1 edit head). */
typedef void (Q31_CALL *q31_words_cb)(const q31_result* result, const uint16_t* words, uint32_t count, void* user);
/* records: `count` records of `record_size` bytes (error records 8, edit records 16). */
typedef void (Q31_CALL *q31_records_cb)(const q31_result* result, const uint8_t* records, uint32_t count,
                                        uint32_t record_size, void* user);

/* Fills `options` with the defaults listed at q31_options. Null is ignored. */
Q31_API void Q31_CALL q31_options_init(q31_options* options);

/* Q31_OK when q31_session_open would take `options`: every field in its
 * range and the reserved bytes zero; else (null too) Q31_ERR_ARGUMENT. */
Q31_API int Q31_CALL q31_options_check(const q31_options* options);

/* Opens a session on `port`, a serial port the host opened and configured
 * (a HANDLE on Windows, a file descriptor elsewhere); the port stays the
 * host's and must stay open until the session is closed. `options` null:
 * the defaults. Returns null when q31_options_check refuses the options (or
 * memory is short). Nothing is sent until the first request. Sessions
 * opened on the same port share its line and take turns (see above). The
 * session pointer is a handle, never handed out again once closed. */
Q31_API q31_session* Q31_CALL q31_session_open(Q31PortHandle port, const q31_options* options);

/* Ends the session's request, if any (running or waiting its turn),
 * without its callback, and frees the session. Returns Q31_OK, or Q31_ERR_SESSION (doing nothing) for a null,
 * unknown or already closed session, so a second close is harmless. Not from
 * inside one of this session's callbacks. */
Q31_API int Q31_CALL q31_session_close(q31_session* session);

/* Ends the session's request, if any, without its callback; a request
 * still waiting its turn leaves the queue with nothing sent. The session
 * takes a new request at once. Returns Q31_OK, or Q31_ERR_SESSION for a
 * null, unknown or closed session. */
Q31_API int Q31_CALL q31_cancel(q31_session* session);

/* The requests. Each returns Q31_OK when started, else Q31_ERR_SESSION (a
 * null, unknown or closed session), Q31_ERR_DEVICE_TYPE, Q31_ERR_ARGUMENT or
 * Q31_ERR_BUSY with nothing sent.
 * `dev` is the identity of the meter the host expects: DevType must be
 * 5120, and a meter answering with another SerialNumber ends the request
 * with Q31_OTHER_METER (its IdWord2 also selects the archive layout). Each
 * calls `callback` once with `user`. */

/* The meter's identity, whatever its serial number. */
Q31_API int Q31_CALL q31_get_id(q31_session* session, q31_ident_cb callback, void* user);
/* The number of modules the meter reports. */
Q31_API int Q31_CALL q31_get_module_count(q31_session* session, const SDevIdent* dev, q31_count_cb callback,
                                          void* user);
/* The description of module `module` (1 to 6). */
Q31_API int Q31_CALL q31_get_module_record(q31_session* session, const SDevIdent* dev, uint32_t module,
                                           q31_module_record_cb callback, void* user);
/* The last measurement: four groups of six values. */
Q31_API int Q31_CALL q31_get_current_data(q31_session* session, const SDevIdent* dev,
                                          q31_current_data_cb callback, void* user);
/* The accumulated totals. */
Q31_API int Q31_CALL q31_get_accumulated_data(q31_session* session, const SDevIdent* dev,
                                              q31_accumulated_data_cb callback, void* user);
/* The archive counters. */
Q31_API int Q31_CALL q31_get_archive_count(q31_session* session, const SDevIdent* dev,
                                           q31_archive_count_cb callback, void* user);
/* One archive series of module `module` (1 to 6) from record `start`
 * (counted from the first record ever written) up to the newest record;
 * a start past the newest record ends with Q31_BEYOND_NEWEST. */
Q31_API int Q31_CALL q31_get_archive_series(q31_session* session, const SDevIdent* dev, q31_series series,
                                            uint32_t module, uint32_t start, q31_series_cb callback, void* user);
/* The device's error-log head (8 words). */
Q31_API int Q31_CALL q31_get_error_head_device(q31_session* session, const SDevIdent* dev,
                                               q31_words_cb callback, void* user);
/* The error-log head of module `module` (1 to 8; 6 words, the sixth always 0). */
Q31_API int Q31_CALL q31_get_error_head_module(q31_session* session, const SDevIdent* dev, uint32_t module,
                                               q31_words_cb callback, void* user);
/* Block `block` (1 to 8) of the device's error log: 16 records of 8 bytes. */
Q31_API int Q31_CALL q31_get_error_block_device(q31_session* session, const SDevIdent* dev, uint32_t block,
                                                q31_records_cb callback, void* user);
/* Block `block` (1 to 5) of module `module`'s (1 to 6) error log: 16 records of 8 bytes. */
Q31_API int Q31_CALL q31_get_error_block_module(q31_session* session, const SDevIdent* dev, uint32_t module,
                                                uint32_t block, q31_records_cb callback, void* user);
/* The edit-log head of module `module` (1 to 8): one word. */
Q31_API int Q31_CALL q31_get_edit_head_module(q31_session* session, const SDevIdent* dev, uint32_t module,
                                              q31_words_cb callback, void* user);
/* The edit log of module `module` (1 to 8): 16 records of 16 bytes. */
Q31_API int Q31_CALL q31_get_edit_block_module(q31_session* session, const SDevIdent* dev, uint32_t module,
                                               q31_records_cb callback, void* user);

/* Installs the line-trace handler of this session (see TQ31TraceEvent):
 * every event on the session's line, on the thread that calls PumpMessages,
 * with `user`; null removes it. SetTraceHandler traces only the slot-record
 * exports' line. Returns Q31_OK, or Q31_ERR_SESSION for a null, unknown or
 * closed session. */
Q31_API int Q31_CALL q31_session_set_trace(q31_session* session, TQ31TraceHandler handler, void* user);

/* The longest a session's line may carry no trace event while one of its
 * requests is in flight, in ms, for a session opened with `options`: a
 * packet's time-out, then the time an answer to it may still come late
 * (while the line is let fall quiet before the next packet), then the send
 * delay. The bytes' own time on the wire comes on top. A host that watches
 * the trace may take a longer silence for a line that is gone. Returns 0 when
 * q31_options_check refuses `options` (null too). */
Q31_API int32_t Q31_CALL q31_quiet_bound_ms(const q31_options* options);

/* The identity at the session's address, asked as a scan of the line asks:
 * the identification is sent once, whatever the send limit, and waited for
 * the session's time-out. With the confirm option Q31_CONFIRM_ALWAYS it is
 * sent again until two replies in a row agree. A time-out or a damaged reply
 * ends it at once with Q31_NO_ANSWER, so that a silent address costs one
 * time-out; so do replies that keep disagreeing, or a line that never falls
 * quiet, once q31_quiet_bound_ms has passed twice. Returns as q31_get_id;
 * the callback is the same. */
Q31_API int Q31_CALL q31_probe_id(q31_session* session, q31_ident_cb callback, void* user);

/* The meter's measurement and calibration commands, for q31_service. */
enum {
    Q31_SERVICE_SAVE = 0x80,         /* first: a value 0..255; reply: the acknowledgement byte */
    Q31_SERVICE_ANALOG_START = 0x81, /* first: a value 0..255; reply: the acknowledgement byte */
    Q31_SERVICE_ANALOG_READ = 0x82,  /* first: a RAM address 0..0xFFFF, second: a count 1..252;
                                        reply: that many bytes of measurement data */
    Q31_SERVICE_ANALOG_END = 0x83,   /* reply: the acknowledgement byte */
    Q31_SERVICE_FLOW = 0x84,         /* first: a value 0..255; reply: the acknowledgement byte */
    Q31_SERVICE_TERM = 0x85,         /* reply: the acknowledgement byte */
    Q31_SERVICE_PRESS = 0x86,        /* reply: the pressure ADC data */
    Q31_SERVICE_ADC = 0x100          /* four exchanges: the RAM pointer record, the term calculation and
                                        two RAM reads; reply: 68 bytes, the RAM addresses of values 0-7
                                        and of values 8-15 (16 bits each), then the sixteen 32-bit values,
                                        every number low byte first */
};

/* bytes: `length` bytes of a service command's reply (see Q31_SERVICE_...). */
typedef void (Q31_CALL *q31_bytes_cb)(const q31_result* result, const uint8_t* bytes, uint32_t length,
                                      void* user);

/* Runs one measurement or calibration command (`command`: Q31_SERVICE_...)
 * with its numbers `first` and `second` (0 where the command takes none) on
 * the session's meter. Unlike the read requests it sends no identification
 * before it and names no meter: whatever answers at the session's address
 * is the meter. Every packet is sent once, whatever the send limit, so that a
 * meter that does not answer, or answers damaged, ends it at once with
 * Q31_NO_ANSWER; a reply whose last read came short is none either. Reads
 * are never confirmed, whatever the confirm option: the replies are live
 * measurements, and two readings seldom agree. Returns as the requests
 * above; Q31_ERR_ARGUMENT for an unknown command or a number out of its
 * range. result->expected_serial and found_serial are 0. */
Q31_API int Q31_CALL q31_service(q31_session* session, uint32_t command, uint32_t first, uint32_t second,
                                 q31_bytes_cb callback, void* user);

/* Ports the library opens itself, by URL, for a host that does not open
 * its own. The handle goes to q31_session_open like any port; the slot
 * record's Handle stays the host's own port, as before.
 *
 *   /dev/ttyUSB0, COM3   a serial device, opened and set as the settings say
 *   tcp://HOST:PORT      a raw TCP stream to a serial device server (an
 *                        NPort-style box in TCP server mode, ser2net "tcp");
 *                        its line is set up in the server
 *   rfc2217://HOST:PORT  telnet with the COM-PORT option (RFC 2217): speed,
 *                        data bits, parity and stop bits are set on the server
 *
 * On a network line the settings still matter: the link counts the waits at
 * the end of a reply in character times of that speed. The network's round
 * trip adds to every reply's time: choose the session's timeout_ms as for
 * the serial line plus the round trip (and some hundred ms for a mobile
 * network). */
#define Q31_PARITY_NONE 0
#define Q31_PARITY_ODD 1
#define Q31_PARITY_EVEN 2
#define Q31_DEFAULT_BAUD 9600
#define Q31_DEFAULT_CONNECT_TIMEOUT_MS 5000

/* Fill with q31_port_settings_init, then change fields. */
typedef struct q31_port_settings {
    int32_t baud;               /* line speed, 1 to 4000000 (default Q31_DEFAULT_BAUD); a device
                                   takes only the speeds its system offers */
    uint8_t data_bits;          /* 5 to 8 (default 8) */
    uint8_t parity;             /* Q31_PARITY_NONE (default), Q31_PARITY_ODD or Q31_PARITY_EVEN */
    uint8_t stop_bits;          /* 1 (default) or 2 */
    uint8_t reserved0;          /* zero; anything else is refused */
    int32_t connect_timeout_ms; /* the longest a connection, and each step of the telnet opening, may
                                   take; 1 to Q31_TIMEOUT_MAX_MS (default
                                   Q31_DEFAULT_CONNECT_TIMEOUT_MS); a device ignores it */
    uint8_t reserved[8];        /* zero; anything else is refused */
} q31_port_settings;

/* Fills `settings` with the defaults listed at q31_port_settings. Null is ignored. */
Q31_API void Q31_CALL q31_port_settings_init(q31_port_settings* settings);

/* Opens the port at `url` (see above) and stores its handle in *port.
 * `settings` null: the defaults. Returns Q31_OK; Q31_ERR_ARGUMENT for a null
 * `url` or `port`, a text that is no port's URL (an unknown scheme, no host,
 * a port number outside 1 to 65535) or settings out of range; or
 * Q31_ERR_PORT_OPEN when the device would not open, the connection failed
 * or the server did not take the settings. On failure *port is 0 (when
 * `port` is given). Blocks the caller while it connects and negotiates. A
 * telnet server's notifications and the answers it gives later are read and
 * dropped; data bytes 0xFF travel doubled both ways, and the host sees them
 * once. The handle stays the library's (a socket on a network line): pass
 * it to q31_session_open and q31_port_close only, never read, write or
 * close it directly. */
Q31_API int Q31_CALL q31_port_open(const char* url, const q31_port_settings* settings, Q31PortHandle* port);

/* Why the calling thread's last q31_port_open failed, in English, copied
 * into `text` (at most `size` bytes, always terminated when `size` > 0; may
 * be null). Returns the OS's error code of that failure (errno on POSIX,
 * GetLastError or WSAGetLastError on Windows), 0 when it had none (a bad
 * URL, a name that does not resolve, a server that is no RFC 2217 server). */
Q31_API int32_t Q31_CALL q31_port_error(char* text, uint32_t size);

/* Closes a port q31_port_open opened; close its sessions first. Returns
 * Q31_OK, or Q31_ERR_ARGUMENT (doing nothing) for any other handle, so a
 * second close is harmless. */
Q31_API int Q31_CALL q31_port_close(Q31PortHandle port);

/* A short English text for a Q31_ status; never null. */
Q31_API const char* Q31_CALL q31_strerror(int status);

#ifdef __cplusplus
}
#endif

#endif /* PUBLICQ31_H */
