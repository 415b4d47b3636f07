/*
 * ssglob.c - the wildcard matchers of the UTF-8 family (ss8glob, ss8globdos,
 * ss8xglob, ss8xglob2 with their n, n1, n2, ascii and u5 forms), from the
 * template in ssglob.h. Reentrant; no allocation; the backtracking stack
 * lives on the caller's stack (under 500 bytes).
 */
#include "sstring.h"

#define SS_PREFIX     ss8
#define SS_T          char
#define SS_UNSIGNED_T unsigned char
#include "ssglob.h"
