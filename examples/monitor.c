/* monitor.c - a small C application: it connects to the local server,
 * writes and reads process values, uses its mailbox and a message channel,
 * and says what went wrong with the library's result texts.
 *
 * Run it while a server runs: build/release/examples/example_c */
#include <stdio.h>
#include <string.h>

#include "qnapi.h"
#include "qnapi_text.h"

/* Prints what a failed call means and gives its result back. */
static uint32_t check(const char *what, uint32_t result) {
    if (result != 0) {
        char text[160];
        QNA_ResultText(result, QNA_InternalErr, text, sizeof text);
        fprintf(stderr, "monitor: %s: %s\n", what, text);
    }
    return result;
}

int main(void) {
    QNA_REGREC me = {0, 0, "MONITOR"};
    uint16_t values[3] = {420, 73, 1}, back[3] = {0};
    uint32_t type = 0, ref = 0, length = 0;
    uint8_t body[64];
    int failed = 0;

    if (check("connect", QNA_Open(&me)) != 0) return 1;
    printf("connected; CW holds %u words\n", QNA_SizeTb[1]);

    /* The server writes CW10..12; the read comes straight from shared memory. */
    failed |= check("write CW10", QNA_Write(1, 10, 3, values, 0)) != 0;
    failed |= check("read CW10", QNA_Read(1, 10, 3, back, 0)) != 0;
    printf("CW10..12 = %u %u %u\n", back[0], back[1], back[2]);
    failed |= memcmp(values, back, sizeof back) != 0;

    /* Our own mailbox on the server. */
    failed |= check("mailbox write", QNA_WriteApp("MONITOR", 0, 3, values, 0)) != 0;
    failed |= check("mailbox read", QNA_ReadApp("MONITOR", 0, 3, back)) != 0;
    printf("mailbox of MONITOR = %u %u %u\n", back[0], back[1], back[2]);

    /* A message to channel 5 and back. */
    failed |= check("send", QNA_SendMsg(5, 1, 0, 0, 5, "hello", 0)) != 0;
    length = sizeof body - 1;
    failed |= check("receive", QNA_RecvMsg(5, &type, &ref, &length, body, 1000)) != 0;
    body[length] = 0;
    printf("channel 5: type %u, \"%s\"\n", type, (char *)body);

    /* A range past the end of CW is refused with 6; the text says so. */
    if (QNA_Read(1, QNA_SizeTb[1], 1, back, 0) == QNA_E_ARG) {
        char text[160];
        QNA_ResultText(QNA_E_ARG, QNA_InternalErr, text, sizeof text);
        printf("reading past CW: %s\n", text);
    } else {
        failed = 1;
    }

    QNA_Close();
    printf(failed ? "monitor: something failed\n" : "monitor: all good\n");
    return failed ? 1 : 0;
}
