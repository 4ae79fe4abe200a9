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
 * is not mapped in this process (as after QNA_OpenN to another machine). */
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

#ifdef __cplusplus
}
#endif

#endif /* QNAPI_H */
