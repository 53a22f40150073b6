/* The purge walkers and the removal tally.
 *
 * All deleting is done here. Each walker takes a folder path (rooted at "\",
 * no trailing backslash) and a search pattern that begins with "\", lists the
 * folder through the platform's file search, and returns 1 when its
 * search(es) could be opened and walked, 0 when one could not be opened.
 * No caller acts on the result. Every walker obeys the run's keep list
 * (keep.h): a walker handed a kept folder does nothing and gives 0. */
#ifndef TARVEL_PURGE_PURGE_H
#define TARVEL_PURGE_PURGE_H

#include "coredll.h"

/* The removal tally: files and bytes deleted since the process started. The
 * walkers only add to it; the lifetime statistics add the stored totals once
 * the categories are done. Never reset. */
extern LONG filesRemoved;
extern LONG bytesRemoved;

/* Counts wrap as two's complement: the arithmetic is done in DWORD, where it
 * is defined modulo 2^32, and the result is kept as LONG. */
inline LONG AddWrapped(LONG a, DWORD b) { return (LONG)((DWORD)a + b); }
inline LONG SubtractWrapped(LONG a, LONG b) { return (LONG)((DWORD)a - (DWORD)b); }

/* Deletes every file matching the pattern anywhere below the folder and
 * removes every subfolder matching it once its walk has emptied it. */
int PurgeMatching(LPCWSTR folder, LPCWSTR pattern);
/* Deletes every file below the folder that carries the temporary attribute. */
int PurgeTemporary(LPCWSTR folder, LPCWSTR pattern);
/* Deletes the folder's files and empties its subfolders, which remain. */
int PurgeFolder(LPCWSTR folder, LPCWSTR pattern);
/* Purges every folder named "Cookies", "History" or "Temporary Internet
 * Files" met below the folder. */
int PurgeProfiles(LPCWSTR folder, LPCWSTR pattern);

/* Path capacity of the walkers' buffers, terminator included. */
enum { PURGE_PATH_UNITS = 256 };

/* The deepest folder a walker lists has this many backslashes in its path;
 * deeper subfolders are left untouched. See purge.cpp for the derivation. */
enum { PURGE_MAX_FOLDER_DEPTH = 24 };

#endif /* TARVEL_PURGE_PURGE_H */
