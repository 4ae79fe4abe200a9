/*
 * qnapi.h - client library of the QUONIX control runtime.
 *
 * Every function returns an unsigned 32-bit result code (0: success) and
 * leaves a detail value in QNA_InternalErr.  Settings are plain exported
 * variables that the application sets directly.
 */
#ifndef QNAPI_H
#define QNAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* QNA_API: calling convention of every exported function (stdcall on 32-bit
 * Windows, the default elsewhere).  QNA_EXPORT: visibility of a symbol. */
#if defined(_WIN32)
#  if defined(QNAPI_BUILDING)
#    define QNA_EXPORT __declspec(dllexport)
#  elif defined(QNAPI_STATIC)
#    define QNA_EXPORT
#  else
#    define QNA_EXPORT __declspec(dllimport)
#  endif
#  if defined(_M_IX86) || defined(__i386__)
#    define QNA_API __stdcall
#  else
#    define QNA_API
#  endif
#else
#  define QNA_EXPORT __attribute__((visibility("default")))
#  define QNA_API
#endif

/* ---- Result codes shared by several families ---------------------------- */
#define QNA_OK              0u    /* success */
#define QNA_E_MUTEX         2u    /* mutex wait failed: detail 640, 95 or -1 */
#define QNA_E_ARG           6u    /* bad argument or range */
#define QNA_E_NOTOPEN       50u   /* local link not open / unknown connection */
#define QNA_E_OPEN          51u   /* data areas or server link could not be opened */
#define QNA_E_NOMEM         100u  /* memory could not be allocated */
#define QNA_E_WRITE         101u  /* writing a request failed or was short */
#define QNA_E_READ          102u  /* reading a reply failed, was short or malformed */
#define QNA_E_NOCONN        103u  /* connection id not in the table */
#define QNA_E_NOPLATFORM    9998u /* QNA_GetOsVersion: no place for the platform */
#define QNA_E_INTERNAL      9999u /* mutex release failed, or unknown request kind */

/* Wait outcomes that reach QNA_InternalErr together with QNA_E_MUTEX. */
#define QNA_WAIT_ABANDONED  95
#define QNA_WAIT_TIMEOUT    640
#define QNA_WAIT_FAILED     (-1)

/* ---- Settings and shared state ------------------------------------------ */
QNA_EXPORT extern int32_t  QNA_InternalErr;   /* detail value of the last failure */
QNA_EXPORT extern char     QNA_ServerName[32];/* empty: the fixed local pipe name */
QNA_EXPORT extern uint32_t QNA_SizeTb[6];     /* area sizes in words, from registration */
QNA_EXPORT extern uint32_t QNA_TimeOut;       /* area mutex wait, ms (5000) */
QNA_EXPORT extern uint32_t QNA_MtxTimeOut;    /* request lock wait, ms (1000) */

/* ---- Registration record ------------------------------------------------ */
typedef struct QNA_REGREC {
    uint32_t first;     /* tested for 0 by the mailbox wait of QNA_Open */
    uint32_t second;    /* passed to the server unchanged */
    char     name[8];   /* application name, NUL-terminated when shorter */
} QNA_REGREC;

/* ---- Pipe primitive ------------------------------------------------------ */
/* Reads exactly count bytes from the link; 0 or -1. */
QNA_EXPORT int32_t QNA_API NpipeRead(void *link, void *buffer, uint32_t count, uint32_t *read);

/* ---- Connection to the local server -------------------------------------- */
/* Maps the data areas, opens the server link and registers: 0, 51 or a registration result. */
QNA_EXPORT uint32_t QNA_API QNA_Open(const QNA_REGREC *record);
/* Closes the link (with the close handshake), unmaps the areas, drops the request lock. */
QNA_EXPORT void QNA_API QNA_Close(void);
/* Registers the application on the open link and takes the area sizes: 0, 6, 50, 101, 102 or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_EntAppName(const QNA_REGREC *record);
/* Writes the OS version through the non-null pointers: 0, or 9998 without a platform pointer. */
QNA_EXPORT uint32_t QNA_API QNA_GetOsVersion(uint32_t *major, uint32_t *minor, uint32_t *build, uint32_t *platform);
/* Sleeps for ms milliseconds; returns 0. */
QNA_EXPORT uint32_t QNA_API QNA_Sleep(uint32_t ms);

/* ---- Data areas (direct, mutex-guarded access; nothing goes to the server) */
/* Result 6 covers a count of 0, an area index of 6 or more, a range that
 * leaves the area (or whose end passes 2^32), a null buffer, and an area that
 * is not mapped in this process (as after QNA_OpenN to another machine).  An
 * area ends where the server's reported size or its mapping ends, whichever
 * comes first.  QNA_Close waits for an area's mutex at most QNA_TimeOut
 * before it unmaps the area. */
/* Copies count words of an area from a word offset: 0, 2, 6, 50 or 9999. */
QNA_EXPORT uint32_t QNA_API QNA_Read(uint32_t area, uint32_t offset, uint32_t count, uint16_t *buffer, uint32_t no_lock);
/* Reads count bits from a bit number, one byte (0 or 1) per bit: 0, 2, 6, 50 or 9999. */
QNA_EXPORT uint32_t QNA_API QNA_ReadBit(uint32_t area, uint32_t bit, uint32_t count, uint8_t *buffer, uint32_t no_lock);
/* Reads n word ranges, packed one after another into buffer: 0 or the first failing range's result. */
QNA_EXPORT uint32_t QNA_API QNA_ReadMux(uint32_t n, const uint32_t *areas, const uint32_t *offsets, const uint32_t *counts, uint16_t *buffer);
/* Copies count words into an area: 0, 2, 6, 50 or 9999. */
QNA_EXPORT uint32_t QNA_API QNA_WriteSmem(uint32_t area, uint32_t offset, uint32_t count, const uint16_t *source, uint32_t no_lock);
/* Sets (source byte nonzero) or clears count bits of an area: 0, 2, 6, 50 or 9999. */
QNA_EXPORT uint32_t QNA_API QNA_WriteSmemBit(uint32_t area, uint32_t bit, uint32_t count, const uint8_t *source, uint32_t no_lock);

/* ---- Server-side writes (requests on the link) ---------------------------- */
/* Has the server write count words, in requests of at most 16384 words: 0, 2, 6, 50, 101, 102 or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_Write(uint32_t area, uint32_t offset, uint32_t count, const uint16_t *source, uint32_t options);
/* Has the server write count bits, one source byte per bit: 0, 2, 6, 50, 101, 102 or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_WriteBit(uint32_t area, uint32_t bit, uint32_t count, const uint8_t *source, uint32_t options);
/* Masked write of a multiple of 16 bits (areas 0, 2) or words: 0, 2, 6, 50, 101, 102 or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_WriteWithFlag(uint32_t area, uint32_t offset, uint32_t count, const uint16_t *data, const uint16_t *flags, uint32_t options);

/* ---- Application mailboxes ------------------------------------------------ */
/* Reads count words of an application's mailbox: 0, 2, 6, 50, 101, 102 or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_ReadApp(const char *name, uint32_t index, uint32_t count, uint16_t *buffer);
/* Writes count words into an application's mailbox (flags bit 0: no reply): 0, 2, 6, 50, 101, 102 or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_WriteApp(const char *name, uint32_t index, uint32_t count, const uint16_t *data, uint32_t flags);

/* ---- Tag access ------------------------------------------------------------ */
#define QNA_E_TAG_OPEN      200u  /* tag file cannot be opened, or the project named is unsafe (6000) */
#define QNA_E_TAG_FILE      201u  /* tag file header, index or second table short (6001, 6004, 6005) */
#define QNA_E_TAG_NOTLOADED 202u  /* no tag file loaded (6010) */
#define QNA_E_TAG_UNUSABLE  203u  /* system name, or record not usable (6011, 6013 to 6016) */
#define QNA_E_TAG_NOTFOUND  204u  /* tag name not found (6012) */
/* Detail codes of tag access in QNA_InternalErr. */
#define QNA_TAG_CANT_OPEN       6000  /* file cannot be opened; drive or project name refused */
#define QNA_TAG_HEADER_SHORT    6001  /* header shorter than 28 bytes */
#define QNA_TAG_INDEX_NOMEM     6002  /* no memory for the tag index (result 100) */
#define QNA_TAG_SECOND_NOMEM    6003  /* no memory for the second table (result 100) */
#define QNA_TAG_INDEX_SHORT     6004  /* index shorter than n entries, n <= 0, or search bound c above n */
#define QNA_TAG_SECOND_SHORT    6005  /* second table shorter than n entries */
#define QNA_TAG_NOT_LOADED      6010  /* no tag file loaded */
#define QNA_TAG_SYSTEM_NAME     6011  /* "#" and a system keyword */
#define QNA_TAG_NOT_FOUND       6012  /* name not in the tag file */
#define QNA_TAG_BAD_CLASS       6013  /* record class is not 1 */
#define QNA_TAG_BAD_ATTRIBUTES  6014  /* attribute bits 2 to 6 are not 0 */
#define QNA_TAG_BAD_AREA_LETTER 6015  /* address does not start with C or S */
#define QNA_TAG_BAD_ADDRESS     6016  /* second letter not B or W, or the number does not parse */

/* Loads the tag file of the project named in the RAVOWLD mailbox: 0, 100, 200, 201 or a QNA_ReadApp result. */
QNA_EXPORT uint32_t QNA_API QNA_InitRavo(void);
/* Releases the tag file and its tables. */
QNA_EXPORT void QNA_API QNA_EndRavo(void);
/* Reads a tag (name upper-cased in place): 0, 6, 202, 203, 204 or a QNA_Read / QNA_ReadBit result. */
QNA_EXPORT uint32_t QNA_API QNA_ReadTag(char *name, int32_t *value, uint32_t no_lock);
/* Writes a tag through the server (name upper-cased in place): 0, 6, 202, 203, 204 or a QNA_Write / QNA_WriteBit result. */
QNA_EXPORT uint32_t QNA_API QNA_WriteTag(char *name, int32_t value, uint32_t options);

/* ---- Server launcher and window lookup (QNA_InternalErr untouched) --------- */
#define QNA_E_START_PROCESS 200u  /* the server process could not be created */
#define QNA_E_START_NOFILE  201u  /* no QUONIX.EXE where it was looked for */
#define QNA_E_START_RUNNING 202u  /* a "QUONIX RUN" window exists: nothing started */
/* Match modes of QNA_FindAppTitle: the first of PREFIX, PREFIX2, SUFFIX, SUBSTRING set decides. */
#define QNA_TITLE_PREFIX    0x01
#define QNA_TITLE_PREFIX2   0x02
#define QNA_TITLE_SUFFIX    0x04
#define QNA_TITLE_SUBSTRING 0x08
#define QNA_TITLE_UPPER     0x10  /* upper-case the pattern (in place) and the titles first */

/* Starts QUONIX.EXE (from directory, else the current one) minimised and not activated: 0, 200, 201 or 202. */
QNA_EXPORT uint32_t QNA_API QNA_StartQuonix(const char *directory, const char *arguments);
/* The same with the server's window hidden: 0, 200, 201 or 202. */
QNA_EXPORT uint32_t QNA_API QNA_StartQuonixHide(const char *directory, const char *arguments);
/* 1 when a top-level window below the topmost has a title matching pattern in mode, else 0. */
QNA_EXPORT uint32_t QNA_API QNA_FindAppTitle(char *pattern, int32_t mode);

/* ---- Comment file (QNA_InternalErr untouched) ------------------------------- */
#define QNA_E_CMNT_OPEN     300u  /* comment file (or system comment file) missing or cannot be opened */
#define QNA_E_CMNT_IO       301u  /* header, positioning, read or write failed or moved fewer bytes */
#define QNA_E_CMNT_NOTOPEN  302u  /* no comment file open */
#define QNA_E_CMNT_CREATE   303u  /* comment file cannot be created or written; nothing is left of it */
#define QNA_E_CMNT_EXISTS   304u  /* comment file exists and overwrite is 0 */
#define QNA_E_CMNT_ARG      305u  /* bad count, kind or range, or a null buffer */
/* Comment kinds of QNA_GetCmnt and QNA_PutCmnt. */
#define QNA_CMNT_WORD       0u
#define QNA_CMNT_BIT        1u
#define QNA_CMNT_SYSTEM1    2u
#define QNA_CMNT_SYSTEM2    3u
#define QNA_CMNT_SIZE       32    /* bytes of one comment, no terminator */

/* Creates and opens "<drive>:\quonix\usr\<user>\smemcmnt.bin" with W word and B bit comments: 0, 300, 303, 304 or 305. */
QNA_EXPORT uint32_t QNA_API QNA_CreateCmnt(char drive, const char *user, int32_t words, int32_t bits, char system_drive, uint32_t overwrite);
/* Opens the user's comment file and copies its 16-byte header (W, B, S2, S3): 0, 300 or 301. */
QNA_EXPORT uint32_t QNA_API QNA_OpenCmnt(char drive, const char *user, uint32_t header[4]);
/* Closes the open comment file, if any. */
QNA_EXPORT void QNA_API QNA_CloseCmnt(void);
/* Reads count comments of a kind from first into buffer (32 bytes each): 0, 301, 302 or 305. */
QNA_EXPORT uint32_t QNA_API QNA_GetCmnt(uint32_t kind, uint32_t first, uint32_t count, void *buffer);
/* Writes count comments of a kind from first out of buffer (32 bytes each): 0, 301, 302 or 305. */
QNA_EXPORT uint32_t QNA_API QNA_PutCmnt(uint32_t kind, uint32_t first, uint32_t count, const void *buffer);

/* ---- Remote connections --------------------------------------------------- */
/* What QNA_OpenN and QNA_OpenS are given.  The first 16 bytes (first, second
 * and the first 8 bytes of name) are the registration record sent to the
 * server.  A host name of more than 15 characters (no NUL in all 16 bytes)
 * is refused with 51 and QNA_InternalErr 0: a cut name could name another
 * machine. */
typedef struct QNA_CONNPARAM {
    uint32_t first;     /* first word of the registration record */
    uint32_t second;    /* second word of the registration record */
    char     name[9];   /* application name, at most 8 characters, NUL-terminated */
    char     host[16];  /* server machine, NUL-terminated (TCP: also ended by a space); empty: the local server (pipe only) */
    uint32_t port;      /* TCP port in host byte order; the low 16 bits are used (TCP only) */
    int16_t  attempts;  /* how many times the TCP connect is tried (TCP only) */
} QNA_CONNPARAM;

/* Ids are shared by pipe and TCP connections.  Either close closes a
 * connection of either kind properly (its pipe with the close handshake, or
 * its socket).  The data functions answer 50 for an id not in the table;
 * a null buffer or array is refused with 6 before anything is sent. */

/* Opens a connection through the pipe of a server (empty host: the local server, whose data areas are mapped too): 0 and the id, 6, 51, or a registration result. */
QNA_EXPORT uint32_t QNA_API QNA_OpenN(const QNA_CONNPARAM *params, uint32_t *id);
/* Closes a connection: its pipe with the close handshake (or its socket); the data areas when no server-less pipe connection is left. */
QNA_EXPORT void QNA_API QNA_CloseN(uint32_t id);
/* Reads count words, in requests of at most 16384 words (server-less: from the mapped area; no_lock skips its mutex): 0, 2, 6, 50, 100, 101, 102, 9999 or the server's result; on failure QNA_InternalErr holds the result. */
QNA_EXPORT uint32_t QNA_API QNA_ReadN(uint32_t area, uint32_t start, uint32_t count, uint16_t *buffer, uint32_t no_lock, uint32_t id);
/* Reads count bits, one byte (0 or 1) per bit, in one request (server-less: from the mapped area): as QNA_ReadN. */
QNA_EXPORT uint32_t QNA_API QNA_ReadBitN(uint32_t area, uint32_t start, uint32_t count, uint8_t *buffer, uint32_t no_lock, uint32_t id);
/* Reads n word ranges one after another into buffer, each with QNA_ReadN: 0 or the first failing range's result. */
QNA_EXPORT uint32_t QNA_API QNA_ReadMuxN(uint32_t n, const uint32_t *areas, const uint32_t *starts, const uint32_t *counts, uint16_t *buffer, uint32_t id);
/* Has the server write count words, in requests of at most 16384 words (options bit 0: no reply): 0, 2, 6, 50, 101, 102 or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_WriteN(uint32_t area, uint32_t start, uint32_t count, const uint16_t *data, uint32_t options, uint32_t id);
/* Has the server write count bits, one byte per bit, in requests of at most 32768 bits: as QNA_WriteN. */
QNA_EXPORT uint32_t QNA_API QNA_WriteBitN(uint32_t area, uint32_t start, uint32_t count, const uint8_t *data, uint32_t options, uint32_t id);

/* Opens a connection to a server over TCP (the host name is cut at its first space, in params too; then a one-second pause): 0 and the id, 6, 51, 101, 102 or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_OpenS(QNA_CONNPARAM *params, uint32_t *id);
/* Closes a connection (as QNA_CloseN). */
QNA_EXPORT void QNA_API QNA_CloseS(uint32_t id);
/* Reads count words from the server, in requests of at most 16384 words (the fifth argument is not used): as QNA_ReadN. */
QNA_EXPORT uint32_t QNA_API QNA_ReadS(uint32_t area, uint32_t start, uint32_t count, uint16_t *buffer, uint32_t unused, uint32_t id);
/* Reads count bits from the server, one byte per bit, in one request (the fifth argument is not used): as QNA_ReadN. */
QNA_EXPORT uint32_t QNA_API QNA_ReadBitS(uint32_t area, uint32_t start, uint32_t count, uint8_t *buffer, uint32_t unused, uint32_t id);
/* Reads n word ranges one after another into buffer, each with QNA_ReadS: 0 or the first failing range's result. */
QNA_EXPORT uint32_t QNA_API QNA_ReadMuxS(uint32_t n, const uint32_t *areas, const uint32_t *starts, const uint32_t *counts, uint16_t *buffer, uint32_t id);
/* Has the server write count words, in requests of at most 16384 words: as QNA_WriteN. */
QNA_EXPORT uint32_t QNA_API QNA_WriteS(uint32_t area, uint32_t start, uint32_t count, const uint16_t *data, uint32_t options, uint32_t id);
/* Has the server write count bits, one byte per bit, in requests of at most 32768 bits: as QNA_WriteN. */
QNA_EXPORT uint32_t QNA_API QNA_WriteBitS(uint32_t area, uint32_t start, uint32_t count, const uint8_t *data, uint32_t options, uint32_t id);

/* ---- Messages between applications --------------------------------------- */
/* A message goes to a numbered channel that the server keeps (on the wire:
 * area channel + 100).  A channel whose area would pass 2^32 (channel above
 * 4294967195) is refused with 6 before anything is sent: its area number
 * would wrap round to a data area.  Null pointers (a body of nonzero length,
 * a header out, the length, a buffer of nonzero capacity) are refused with 6.
 * The N and S functions answer 50 for an id not in the table and then leave
 * QNA_InternalErr as it was. */
#define QNA_MSG_NOREPLY     1u    /* flags bit 0: return once the message is sent */

/* Sends three header words and a body to a channel on the local link: 0, 2, 6, 50, 101, 102 or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_SendMsg(uint32_t channel, uint32_t word1, uint32_t word2, uint32_t word3, uint32_t length, const void *body, uint32_t flags);
/* Receives a message of a channel on the local link: two header words and at
 * most *length body bytes (*length in: capacity, out: bytes delivered); the
 * receive option (low 16 bits) goes to the server unchanged: 0, 2, 6, 50, 101, 102 or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_RecvMsg(uint32_t channel, uint32_t *word1, uint32_t *word2, uint32_t *length, uint8_t *buffer, uint32_t option);
/* QNA_SendMsg over the pipe of a remote connection. */
QNA_EXPORT uint32_t QNA_API QNA_SendMsgN(uint32_t channel, uint32_t word1, uint32_t word2, uint32_t word3, uint32_t length, const void *body, uint32_t flags, uint32_t id);
/* QNA_RecvMsg over the pipe of a remote connection. */
QNA_EXPORT uint32_t QNA_API QNA_RecvMsgN(uint32_t channel, uint32_t *word1, uint32_t *word2, uint32_t *length, uint8_t *buffer, uint32_t option, uint32_t id);
/* QNA_SendMsg over the socket of a TCP connection. */
QNA_EXPORT uint32_t QNA_API QNA_SendMsgS(uint32_t channel, uint32_t word1, uint32_t word2, uint32_t word3, uint32_t length, const void *body, uint32_t flags, uint32_t id);

/* ---- Application control (over the pipe of a remote connection) ---------- */
#define QNA_E_REQUEST_ID    807u  /* QNA_GetReqStatus, QNA_CancelReq: request id 0 */
/* Texts go into 128-byte fields: at most 127 characters are sent, the rest is
 * cut (never written past the field); a null text is sent empty.  The meaning
 * of texts, values and status values is the server's.  A null request id or
 * status out is not written.  An id not in the table gives 103. */

/* Asks the server to start a program: 0 and the request id, 2, 101, 102, 103 or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_StartAPP(uint32_t id, const char *text1, const char *text2, const char *text3, const char *text4, uint32_t value1, uint32_t value2, uint32_t value3, uint32_t value4, uint32_t *request_id);
/* Asks the server to send the application named by text4 a close message: as QNA_StartAPP. */
QNA_EXPORT uint32_t QNA_API QNA_SendCloseMsg(uint32_t id, const char *text4, uint32_t value2, uint32_t value3, uint32_t value4, uint32_t *request_id, uint32_t value5);
/* Asks the server to bring the window of the application named by text4 to the top: as QNA_StartAPP. */
QNA_EXPORT uint32_t QNA_API QNA_WinTop(uint32_t id, const char *text4, uint32_t value2, uint32_t value3, uint32_t value4, uint32_t *request_id, uint32_t value5);
/* The status of an earlier request: 0 and the status, 2, 101, 102, 103, 807 or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_GetReqStatus(uint32_t id, uint32_t request_id, uint32_t *status);
/* Cancels an earlier request: 0, 2, 101, 102, 103, 807 or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_CancelReq(uint32_t id, uint32_t request_id);

/* ---- Information blocks (local link) -------------------------------------- */
#define QNA_CMINFO_SIZE     448   /* bytes of the server information block (1000) */
#define QNA_APPINFO_SIZE    512   /* bytes of the application information block (1001) */
/* Reads the server information block; never more than 448 bytes land in buffer: 0, 2, 6, 50, 100, 101, 102 or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_ReadCmInfo(void *buffer);
/* Reads the application information block; never more than 512 bytes land in buffer: as QNA_ReadCmInfo. */
QNA_EXPORT uint32_t QNA_API QNA_ReadAppInfo(void *buffer);

/* ---- Event queues ---------------------------------------------------------- */
#define QNA_E_EVQ_CREATE    400u  /* a lock could not be made, or no memory for the entry */
#define QNA_E_EVQ_HANDLE    401u  /* no open event queue with that handle */
#define QNA_E_EVQ_BUSY      406u  /* the table lock (1000 ms) or the queue's lock (500 ms) was not had */
#define QNA_E_EVQ_READ      408u  /* reading the queue's pipe failed (detail: error number or 8001 to 8003) */
#define QNA_E_EVQ_EMPTY     450u  /* do-not-wait read and no event waiting; kind 0 */
#define QNA_E_EVQ_SMALL     451u  /* the data buffer is smaller than the event's data: the event is gone */
#define QNA_E_EVQ_NOBUFFER  452u  /* the event has data and no data buffer was given: the event is gone */
#define QNA_E_EVQ_OPEN      453u  /* the connection already has this queue open: its handle is returned */
#define QNA_E_EVQ_LOCK      499u  /* waiting for a lock failed (detail: the error number) */
#define QNA_EVQ_ANY         100000u /* queue number of an open that takes any queue the server gives */
#define QNA_EVQ_NOWAIT      1u    /* QNA_ReadEvQueue flag: do not wait when the queue is empty */
/* Details of QNA_E_EVQ_READ besides the operating system's error number. */
#define QNA_EVQ_RECORD_SMALL 8001 /* record length below 44 */
#define QNA_EVQ_RECORD_SHORT 8002 /* the pipe ended inside a record */
#define QNA_EVQ_RECORD_LARGE 8003 /* record length beyond 44 + 1 MiB: no such event exists */

/* One event: written by QNA_WriteEvQueue, filled by QNA_ReadEvQueue. */
typedef struct QNA_EVENT {
    uint32_t value;   /* the event's value */
    uint32_t length;  /* write: data bytes; read: capacity on entry, data bytes delivered on return */
    void    *data;    /* the data, or the buffer that receives them; may be null without data */
} QNA_EVENT;

/* Queue names are at most 11 characters; a longer name is refused with 6
 * before anything is sent (a cut name would name another queue). */

/* Opens an event queue through a connection (QNA_EVQ_ANY: any queue): 0, 2, 6, 101, 102, 103, 400, 406, 453, 499, a pipe error or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_OpenEvQueue(uint32_t id, uint32_t queue, uint32_t *queue_out, const char *name, uint32_t *handle, uint32_t option);
/* Closes an event queue (the second argument is not used): 0, 2, 50, 101, 102, 401, 406, 499 or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_CloseEvQueue(uint32_t handle, uint32_t unused);
/* Takes the next event of an open queue (flags QNA_EVQ_NOWAIT): 0, 6, 401, 406, 408, 450, 451, 452 or 499. */
QNA_EXPORT uint32_t QNA_API QNA_ReadEvQueue(uint32_t handle, uint16_t *kind, char *name, QNA_EVENT *event, uint32_t flags);
/* Posts an event to a queue by its number: 0, 2, 6, 8, 101, 102, 103, 499 or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_WriteEvQueue(uint32_t id, uint32_t queue, const QNA_EVENT *event);

/* The server's queues.  The list receives at most list_word entries: the
 * list word is the list's capacity in entries, and quonix lists no more than
 * that (entries beyond it are read and dropped, never stored). */
/* How many queues the server has: 0, 2, 101, 102, 103, 499 or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_GetMaxEvQueueNum(uint32_t id, uint32_t *max);
/* The queues free to open: 0, 2, 101, 102, 103, 499 or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_GetUsableEvQueueNum(uint32_t id, uint32_t *count, uint32_t *list, uint32_t list_word);
/* The queues open somewhere: as QNA_GetUsableEvQueueNum. */
QNA_EXPORT uint32_t QNA_API QNA_GetUsedEvQueueNum(uint32_t id, uint32_t *count, uint32_t *list, uint32_t list_word);
/* The queues bearing a name (null or empty: any name): as QNA_GetUsableEvQueueNum, and 6 for a name of 12 characters or more. */
QNA_EXPORT uint32_t QNA_API QNA_GetNamedEvQueueNum(uint32_t id, const char *name, uint32_t *count, uint32_t *list, uint32_t list_word);
/* A queue's name, at most 8 characters (room for 9 bytes): 0, 2, 101, 102, 103, 499 or the server's result. */
QNA_EXPORT uint32_t QNA_API QNA_GetEvQueueName(uint32_t id, uint32_t queue, char *name);

#ifdef __cplusplus
}
#endif

#endif /* QNAPI_H */
