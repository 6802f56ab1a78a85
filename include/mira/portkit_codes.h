/*
 * portkit_codes.h - the ErrorCode values of MIRA's Portkit, kept under this
 * name for the code that includes it; the codes themselves are listed once,
 * with the driver's, in mira/errors.h.
 */
#ifndef MIRA_PORTKIT_CODES_H
#define MIRA_PORTKIT_CODES_H

#include "errors.h"

#endif /* MIRA_PORTKIT_CODES_H */
