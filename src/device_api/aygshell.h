/* The shell library of the device: the notification bubble record and the
 * two calls that show and remove a bubble. On a Windows build the SDK lacks
 * them, so they are declared here over <windows.h>; on other hosts over the
 * core library's types. */
#ifndef TARVEL_DEVICE_API_AYGSHELL_H
#define TARVEL_DEVICE_API_AYGSHELL_H

#include "coredll.h"

typedef enum _SHNP {
  SHNP_INFORM = 0x1B1,
  SHNP_ICONIC = 0
} SHNP;

/* Eleven fields, 56 bytes in the device's 32-bit layout. */
typedef struct _SHNOTIFICATIONDATA {
  DWORD cbStruct;
  DWORD dwID;
  SHNP npPriority;
  DWORD csDuration;
  HICON hicon;
  DWORD grfFlags;
  CLSID clsid;
  HWND hwndSink;
  LPCWSTR pszHTML;
  LPCWSTR pszTitle;
  LPARAM lParam;
} SHNOTIFICATIONDATA;

extern "C" {
LRESULT WINAPI SHNotificationAdd(SHNOTIFICATIONDATA *pndAdd);
LRESULT WINAPI SHNotificationRemove(const CLSID *pclsid, DWORD dwID);
}

#endif /* TARVEL_DEVICE_API_AYGSHELL_H */
