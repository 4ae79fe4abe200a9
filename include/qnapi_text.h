/*
 * qnapi_text.h - one-line English texts for the result and detail codes of
 * the QNAPI client library.
 */
#ifndef QNAPI_TEXT_H
#define QNAPI_TEXT_H

#include "qnapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Writes a one-line text for a result code and the detail value that came
 * with it (QNA_InternalErr), ending in "(result R, detail D)", for example
 * "a mutex wait timed out (result 2, detail 640)".
 *
 * Works like snprintf: the text is cut to fit and always NUL-terminated when
 * size is above 0; buffer may be NULL when size is 0.  Returns the length of
 * the whole text without its terminator, so a return value of size or more
 * means the text was cut.  Result numbers that two families share (200 to
 * 202: tag access and the server launcher) are told apart by the detail code
 * where it can; otherwise the text names both.  A result that the library
 * does not produce itself is named as the server's own result.
 *
 * Thread-safe: reads constant tables only, allocates nothing and touches
 * no library state (QNA_InternalErr included). */
QNA_EXPORT uint32_t QNA_API QNA_ResultText(uint32_t result, int32_t detail, char *buffer, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif /* QNAPI_TEXT_H */
