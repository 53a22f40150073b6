/* The device's rule for matching a name against a search pattern, which
 * the walkers' searches and the keep list share. */
#ifndef TARVEL_PURGE_NAME_MATCH_H
#define TARVEL_PURGE_NAME_MATCH_H

#include "coredll.h"

/* Whether a name matches the first `length` units of a search pattern
 * (without its leading backslash), by the device's rule, which the walkers'
 * searches and the keep list share. The name ends at its terminator or at a
 * backslash. */
int PartMatches(LPCWSTR pattern, int length, LPCWSTR name);

#endif /* TARVEL_PURGE_NAME_MATCH_H */
