/*
 * Ostrin host interface: basic definitions shared by every header.
 *
 * The host interface is C. Everything a plugin receives from the host or hands to it is
 * allocated from APR pools; the header of each module says whose pool and for how long.
 */
#ifndef OSTRIN_APT_H
#define OSTRIN_APT_H

#include <apr.h>
#include <apr_pools.h>

#ifdef __cplusplus
#define APT_BEGIN_EXTERN_C extern "C" {
#define APT_END_EXTERN_C }
#else
#define APT_BEGIN_EXTERN_C
#define APT_END_EXTERN_C
#endif

/** Functions and data exported by the host library. */
#define APT_DECLARE(type) __attribute__((visibility("default"))) type

/** Results of the host interface: TRUE on success, FALSE on failure. */
typedef int apt_bool_t;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#endif /* OSTRIN_APT_H */
