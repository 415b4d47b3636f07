/*
 * ssfamily.h - names of one family's primitives for the templates
 * (sstext.h, ssglob.h): the including unit defines SS_PREFIX (ss8, ssw),
 * SS_T and SS_UNSIGNED_T, and gets SS_P(name) = the family's name of an
 * operation, the family's pulls and push (the plain ones inline from
 * sschars.h), and SS_UNIT (a unit's value without sign extension).
 */
#include "sschars.h"

#define SS_P(name)      SS_P2_(SS_PREFIX, name)
#define SS_P2_(p, name) SS_P3_(p, name)
#define SS_P3_(p, name) p##name
#define SS_PULL         SS_P(_pull)
#define SS_PULL_ASCII   SS_P(pullasciiupfoldchar)
#define SS_PULL_U5      SS_P(pullu5foldchar)
#define SS_PUSH         SS_P(_push)
#define SS_UNIT(u)      ((uint32_t)(SS_UNSIGNED_T)(u))
