/* The two bubbles of the shell: "Working..." while the run cleans, and the
 * result with the lifetime totals for five seconds at its end. */
#ifndef TARVEL_NOTIFY_NOTIFY_H
#define TARVEL_NOTIFY_NOTIFY_H

#include "aygshell.h"

/* Identifies both bubbles to the shell, together with their identifiers. */
extern const CLSID NotificationClsid;

enum { PROGRESS_NOTIFICATION_ID = 4711, RESULT_NOTIFICATION_ID = 4713 };

/* Loads icon 101 and builds the progress record; shows nothing. */
void PrepareProgressNotification(HINSTANCE instance);
/* Hands the progress record to the shell. */
void ShowProgressNotification();
/* Replaces the progress bubble by the result bubble showing report, waits
 * five seconds and removes it. report must stay unchanged until then. */
void ShowResultNotification(HINSTANCE instance, LPCWSTR report);

#endif /* TARVEL_NOTIFY_NOTIFY_H */
