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

#ifdef __cplusplus
}
#endif

#endif /* QNAPI_H */
