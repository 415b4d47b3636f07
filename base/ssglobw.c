/*
 * ssglobw.c - the wildcard matchers of the wide family, from the template
 * in ssglob.h like the UTF-8 ones in ssglob.c.
 */
#include "sstring.h"

#define SS_PREFIX     ssw
#define SS_T          wchar_t
#define SS_UNSIGNED_T uint32_t
#include "ssglob.h"
