/*
 * sstextw.c - the text operations of the wide family (ssw), from the
 * template in sstext.h like the UTF-8 ones in sstext.c.
 */
#include "sstring.h"

#define SS_PREFIX      ssw
#define SS_T           wchar_t
#define SS_UNSIGNED_T  uint32_t
#define SS_PULL_ASCIIB sswpullasciiupfoldchar
#include "sstext.h"
