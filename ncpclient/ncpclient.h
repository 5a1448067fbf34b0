// The NCP/NDS client: the NDS request buffer, NCP over TCP with the one
// connection record, fragmented NDS requests (NCP 104/2), the NDS verbs the
// helper needs, and the set-up of a server connection up to the server's
// public key. Every exchange ends by a deadline; a failure leaves its reason
// in the connection record. Not re-entrant: one request is outstanding at a
// time.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "ndskey/keyrecord.h"

// ---- NDS request buffer ---------------------------------------------------

// A cursor over caller-owned storage, used to compose every NDS request and to
// parse every NDS reply. Writes are checked against `limit`; reads are checked
// against `end`, the end of the bytes that are really there (NWDSBufEndReply
// sets it at the end of the received reply).
//
// The first read or write that does not fit sets `failed`, and the buffer
// stays failed until NWDSBufSetup or NWDSBufInit starts it afresh: from then
// on every read yields zero (a null pointer, an empty string, failure from
// NWDSBufGet), every write stores nothing and returns failure (a null
// pointer), the room left is 0, and the cursor does not move. A verb checks
// `failed` once after a run of operations: it fails without sending, or it
// fails the reply. Writes never store past `limit`, failed or not.
//
// Only the operations below change the fields or use the pointers. Other
// code may read `operation` and `failed`.
struct NWDSBuf {
    uint32_t operation;
    uint8_t* limit;
    uint8_t* cursor;
    uint8_t* data;
    uint8_t* count_pos;
    uint8_t* end;
    bool failed;
};

void NWDSBufSetup(NWDSBuf* buf, void* storage, size_t size);
int NWDSBufInit(NWDSBuf* buf, uint32_t verb);
int NWDSBufPut8(NWDSBuf* buf, uint8_t v);
int NWDSBufPut16(NWDSBuf* buf, uint16_t v);
int NWDSBufPut32(NWDSBuf* buf, uint32_t v);
uint16_t NWDSBufGet16(NWDSBuf* buf);
uint32_t NWDSBufGet32(NWDSBuf* buf);
int NWDSBufPut(NWDSBuf* buf, const void* bytes, size_t n);
int NWDSBufGet(NWDSBuf* buf, void* dst, size_t n);
int NWDSBufPutWithLen(NWDSBuf* buf, const void* bytes, size_t n);
uint8_t* NWDSBufGetPtr(NWDSBuf* buf, size_t n);
uint8_t* NWDSBufPutPtr(NWDSBuf* buf, size_t n);
void NWDSBufSkip(NWDSBuf* buf, size_t n);
uint8_t* NWDSBufPeekPtr(NWDSBuf* buf);
uint8_t* NWDSBufPeekPtrLen(NWDSBuf* buf, size_t offset, size_t n);
uint8_t* NWDSBufRetrieve(const NWDSBuf* buf, size_t* len);
uint8_t* NWDSBufPutPtrLen(NWDSBuf* buf, size_t* len);
// An 8-bit string goes on the wire with each byte zero-extended to a unit;
// units go as they are. Either the whole string with its zero unit and
// padding is put, or nothing and the buffer fails (it does not fit, or the
// units hold a zero unit, which would end the name early).
void NWDSBufPutNWUNI(NWDSBuf* buf, const char* s);
void NWDSBufPutNWUNI(NWDSBuf* buf, std::span<const uint16_t> units);
// dest, when given, holds dest_size bytes; the string is cut to fit.
void NWDSBufGetNWUNI(NWDSBuf* buf, char* dest, size_t dest_size);

// The storage size (`limit` - `data`), as a request announces the reply's.
size_t NWDSBufSize(const NWDSBuf* buf);
// Receiving a reply: bytes are appended at the cursor, unpadded, as far as
// the storage holds them; the rest is dropped, which is no failure (a failed
// buffer takes nothing). NWDSBufEndReply then marks the cursor as the end of
// the received bytes and moves the cursor back to `data` for parsing.
void NWDSBufAppendReply(NWDSBuf* buf, std::span<const uint8_t> bytes);
void NWDSBufEndReply(NWDSBuf* buf);

size_t nwunicode_strlen(const uint16_t* s);
// The destination holds dst.size() units, the terminating zero unit among
// them; a longer source is cut to fit (an empty destination gets nothing).
// Both return the number of units stored before the zero unit.
size_t nwunicode_strcpy(std::span<uint16_t> dst, const uint16_t* src);
size_t nwunicode_createfromascii(std::span<uint16_t> dst, const char* s);

// ---- the connection record --------------------------------------------------

constexpr size_t NCP_TCP_HEAD = 16;
constexpr size_t NCP_REQ_HEAD = 6;
constexpr size_t NCP_PAYLOAD = 16384;

// Why the last exchange, verb or step failed, as plain data for the caller
// to act on and log. Every verb, the connect, the login and the
// authentication begin with it cleared; the transport and the fragment layer
// set it when they fail, so after a failed step it tells why (kind
// NCP_FAIL_NONE with no type: nothing was sent). A transport
// failure (time-out, peer closed, send or receive error, a reply out of
// step) has closed the socket; an NCP completion code or an NDS error has
// not: the stream is still in step.
enum NcpFailureKind : uint8_t {
    NCP_FAIL_NONE = 0,        // no exchange failed: the reply did not hold what the step needs
    NCP_FAIL_NDS,             // the server answered the verb with NDS error `code`
    NCP_FAIL_COMPLETION,      // the server answered with NCP completion code `code`
    NCP_FAIL_NOT_CONNECTED,   // no socket held: nothing was sent
    NCP_FAIL_BATCHES,         // a read's batches cannot be followed: `code` is an NdsBatchFault
    NCP_FAIL_KEY_SIZE,        // the login user's key is larger than the proof holds: `code` is its bits
    NCP_FAIL_TIMEOUT,         // the deadline passed (transport)
    NCP_FAIL_CLOSED,          // the server closed the connection (transport)
    NCP_FAIL_IO,              // a connect, send or receive error, errno in `code` (transport)
    NCP_FAIL_OUT_OF_STEP,     // a reply head or length that cannot be, or bytes beyond the reply (transport)
};

struct NcpFailure {
    NcpFailureKind kind;
    uint16_t type;     // request type of the exchange (0x1111 or 0x2222); 0 when none was begun
    uint8_t function;  // NCP function of the exchange (104 for NDS, 23 for the state change)
    uint32_t verb;     // NDS verb when function is 104 and a verb was sent, else 0
    int32_t code;      // NDS error, NCP completion code or errno, else 0
};

// True for the kinds after which the socket has been closed.
constexpr bool ncp_failure_is_transport(NcpFailureKind k) { return k >= NCP_FAIL_TIMEOUT; }

struct NcpConnection {
    sockaddr_in server_addr;
    sockaddr_in local_addr;
    int32_t connected;
    int32_t sock;  // -1 when no socket is held
    uint8_t sequence;
    uint8_t task;
    uint16_t conn_number;
    uint8_t packet[NCP_TCP_HEAD + NCP_REQ_HEAD + NCP_PAYLOAD];
    uint32_t auth_time;
    uint8_t login_info[8];
    uint8_t auth_nonce[4];
    char tree_name[128];
    char server_dn[128];
    uint32_t server_id;
    uint8_t server_key[KEY_AREA_SIZE];
    uint32_t server_key_len;
    uint16_t user_name[128];
    uint32_t user_id;
    uint8_t private_key[KEY_AREA_SIZE];
    uint32_t private_key_len;
    uint8_t user_key[KEY_AREA_SIZE];
    uint32_t user_key_len;
    // Deadlines. Every exchange (every NDS verb with all its fragments) ends
    // within `timeout` seconds (0: no limit), and never after `budget_end`
    // (CLOCK_MONOTONIC nanoseconds, see rt::clock_ns; 0: no budget), which
    // the caller sets around a run of exchanges.
    int32_t timeout;
    int32_t socket_timeout;  // the receive time-out the socket really has (seconds, 0: none)
    int64_t budget_end;
    NcpFailure failure;
};

// The helper's one connection.
extern NcpConnection conn;

// Wipes a record and puts it into its start state (no socket held). A
// zero-filled record must be passed through this once before use.
void NCPCONN_init(NcpConnection* conn);

// ---- NCP over TCP -----------------------------------------------------------

constexpr uint16_t NCP_CREATE_CONNECTION = 0x1111;
constexpr uint16_t NCP_SERVICE_REQUEST = 0x2222;

// timeout: seconds (0 or less: none), kept in the record as every
// exchange's limit and applied to SO_RCVTIMEO and SO_SNDTIMEO, which bound
// the connect and the first wait for a reply.
int ncp_connect_tcp(NcpConnection* conn, const sockaddr_in* server, int timeout);
// reply/reply_len together or both null; *reply_len is capacity in, bytes out.
// The exchange ends by its own deadline (ncp_exchange_deadline).
int ncp_tcp_call(NcpConnection* conn, uint16_t type, const uint8_t* data, size_t n,
                 uint8_t* reply, size_t* reply_len);
// The same, ending by the deadline given (an exchange that is part of a
// longer one, such as one fragment of an NDS verb). `full_window` says that
// the deadline is a whole `timeout` from the start of this exchange, so that
// the socket's own receive time-out bounds the first wait for the reply.
int ncp_tcp_exchange(NcpConnection* conn, uint16_t type, const uint8_t* data, size_t n,
                     uint8_t* reply, size_t* reply_len, int64_t deadline, bool full_window);
int NCPCONN_disconnect(NcpConnection* conn);

// ---- deadlines ----------------------------------------------------------------

constexpr int64_t NCP_NO_DEADLINE = INT64_MAX;

// The end of an exchange that starts at `now`: now + timeout, cut to the
// budget; NCP_NO_DEADLINE when neither is set.
int64_t ncp_exchange_deadline(const NcpConnection* conn, int64_t now);
// True when the deadline is the whole time-out from now, not cut by the budget.
bool ncp_full_window(const NcpConnection* conn, int64_t now, int64_t deadline);
// Waits until fd is ready for `events` (POLLIN or POLLOUT) or the deadline
// passes; true when it is ready (or reports an error for the next call to see).
bool ncp_wait_until(int fd, short events, int64_t deadline);

// ---- fragmented NDS requests ---------------------------------------------

int ncp_send_nds_frag(NcpConnection* conn, const NWDSBuf* request, NWDSBuf* reply);

// ---- NDS verbs ---------------------------------------------------------------

// A request and a reply buffer over storage of their own, the request
// started for `verb`: the set-up of every verb with fixed buffer sizes.
template <size_t RequestSize, size_t ReplySize>
struct NdsExchange {
    uint8_t request_storage[RequestSize];
    uint8_t reply_storage[ReplySize];
    NWDSBuf req;
    NWDSBuf rep;

    explicit NdsExchange(uint32_t verb) {
        NWDSBufSetup(&req, request_storage, sizeof request_storage);
        NWDSBufSetup(&rep, reply_storage, sizeof reply_storage);
        NWDSBufInit(&req, verb);
    }
    NdsExchange(const NdsExchange&) = delete;
    NdsExchange& operator=(const NdsExchange&) = delete;
};

// Reads the NDS completion code that begins every reply; true when it is
// there and is 0 (success).
bool ncp_nds_completed(NWDSBuf* reply);

// The longest name (in units, without the zero unit) the resolve request
// holds; a longer one fails the resolve without sending.
constexpr size_t RESOLVE_NAME_MAX_UNITS = 133;

// Names as 16-bit code units (the directory's own form), or as 8-bit
// strings whose bytes are zero-extended to units.
int ncp_NDS_RESOLVE_NAME(NcpConnection* conn, std::span<const uint16_t> name, uint32_t* entry_id);
int ncp_NDS_RESOLVE_NAME(NcpConnection* conn, const char* name, uint32_t* entry_id);
uint32_t resolve(NcpConnection* conn, std::span<const uint16_t> name);  // 0xFFFFFFFF on failure
uint32_t resolve(NcpConnection* conn, const char* name);
// The first value of the attribute, copied to dest; fails when it is longer
// than dest. The reply buffer holds 768 bytes, so a dest of that size takes
// every value that can arrive.
int ncp_NDS_READ1(NcpConnection* conn, uint32_t entry_id, const char* attr, uint32_t* syntax,
                  std::span<uint8_t> dest, uint32_t* len);
// One batch of the values of an attribute: buf holds *size bytes in; *size
// is the bytes used out, a count and the values, each a length and its
// bytes. With iteration: in, the handle of the batch to read
// (NDS_NO_ITERATION for the first); out, the handle of the next batch, or
// NDS_NO_ITERATION when the server said this batch ends the list. Without,
// the first batch is read and the handle not looked at. 0 or -1.
constexpr uint32_t NDS_NO_ITERATION = 0xFFFFFFFF;
int ncp_NDS_READ(NcpConnection* conn, uint32_t entry_id, const char* attr, uint32_t* syntax,
                 uint8_t* buf, size_t* size, uint32_t* iteration = nullptr);

// Every batch of a read, in turn: the same read again with the handle the
// previous batch gave, until the server says the list is complete. A batch
// without values that is not the last, a handle that repeats, or more than
// NDS_READ_MAX_BATCHES batches fail the read (NCP_FAIL_BATCHES). A read
// stopped early leaves the server's iteration unfinished; the next read
// starts afresh.
constexpr uint32_t NDS_READ_MAX_BATCHES = 1000;
enum NdsBatchFault : int32_t {
    NDS_BATCH_EMPTY = 1,     // no values, and not the last batch
    NDS_BATCH_REPEATED = 2,  // a handle handed out before
    NDS_BATCH_TOO_MANY = 3,  // more than NDS_READ_MAX_BATCHES batches
};
struct NdsBatchedRead {
    uint32_t entry_id;
    const char* attr;
    uint32_t next;      // the handle to send
    uint32_t batches;   // read so far
    bool complete;      // the last batch was read
    uint32_t handles[NDS_READ_MAX_BATCHES];
};
void ncp_read_begin(NdsBatchedRead* read, uint32_t entry_id, const char* attr);
// The next batch into buf, laid out as ncp_NDS_READ lays it out: 0 (then
// read->complete says whether it was the last), or -1.
int ncp_read_next(NcpConnection* conn, NdsBatchedRead* read, uint8_t* buf, size_t* size);
int ncp_change_connection_state(NcpConnection* conn, int state);
// The NDS ping (NCP 104/1), its reply data read into `area`; *got is the
// number of bytes that arrived. 0 or 1.
int ncp_nds_ping(NcpConnection* conn, std::span<uint8_t> area, size_t* got);
int NCPCONN_ndsping(NcpConnection* conn);

// ---- connection set-up -------------------------------------------------------

int NCPCONN_tcpconnect(NcpConnection* conn, const sockaddr_in* server, int timeout);
// The part of the set-up after the NCP service connection exists: NDS ping
// (tree_name), the server's name (server_dn), its entry ID (server_id) and its
// checked public key (server_key, server_key_len). 0 or 1.
int NCPCONN_getserverkey(NcpConnection* conn);
