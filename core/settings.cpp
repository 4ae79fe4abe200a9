// settings.cpp - the library's exported settings and shared state.  The
// application reads and sets them directly; the library reads the time-outs
// at each wait, so a new value takes effect at the next call.
#include "qnapi.h"

extern "C" {

int32_t QNA_InternalErr = 0;
char QNA_ServerName[32] = {};
uint32_t QNA_SizeTb[6] = {};
uint32_t QNA_TimeOut = 5000;
uint32_t QNA_MtxTimeOut = 1000;

}  // extern "C"
