/*
 * sstext.c - the text operations (length, copy, concatenate, allocate,
 * compare, search, case, parts) of the UTF-8 family, from the template in
 * sstext.h (sstextw.c instantiates the wide family). No state; allocation
 * only through the caller's malloc_i or, for the _dh forms, the debug heap.
 */
#include "sstring.h"

#define SS_PREFIX      ss8
#define SS_T           char
#define SS_UNSIGNED_T  unsigned char
#define SS_PULL_ASCIIB ss8pullasciiupfoldbyte
#include "sstext.h"
