/* The progress and result bubbles. */
#include "notify.h"

const CLSID NotificationClsid = {
    0x5D2B8E41, 0x0C73, 0x4A9F, {0xB6, 0xE2, 0x91, 0x73, 0xF0, 0xA4, 0xC5, 0xD8}};

static const WCHAR kTitle[] = TEXT("Tarvel 3.02 <beta>");
static const WCHAR kProgressHtml[] = TEXT("<html><body><b><i>Working...</b></i></body></html>");

enum { ICON_RESOURCE = 101, ICON_SIZE = 16, RESULT_WAIT_MS = 5000, BUBBLE_SECONDS = 20 };

/* Each record has a block of its own for the whole process, never released.
 * Static blocks cannot fail to be had, so the run has no allocation failure
 * to pass over; each is the record's own size (56 bytes on the device, more
 * on a 64-bit host). */
static SHNOTIFICATIONDATA progressBlock;
static SHNOTIFICATIONDATA resultBlock;

static HICON LoadBubbleIcon(HINSTANCE instance)
{
  return (HICON)LoadImageW(instance, MAKEINTRESOURCEW(ICON_RESOURCE), IMAGE_ICON, ICON_SIZE,
                           ICON_SIZE, 0);
}

/* Fills every field but lParam, which only travels back to a sink window
 * and the run has none. */
static void FillRecord(SHNOTIFICATIONDATA *record, DWORD id, HICON icon, LPCWSTR html)
{
  record->cbStruct = sizeof *record;
  record->dwID = id;
  record->npPriority = SHNP_INFORM;
  record->csDuration = BUBBLE_SECONDS;
  record->hicon = icon;
  record->grfFlags = 0;
  record->clsid = NotificationClsid;
  record->hwndSink = 0;
  record->pszHTML = html;
  record->pszTitle = kTitle;
}

void PrepareProgressNotification(HINSTANCE instance)
{
  HICON icon = LoadBubbleIcon(instance);
  FillRecord(&progressBlock, PROGRESS_NOTIFICATION_ID, icon, kProgressHtml);
}

void ShowProgressNotification()
{
  SHNotificationAdd(&progressBlock);
}

void ShowResultNotification(HINSTANCE instance, LPCWSTR report)
{
  HICON icon = LoadBubbleIcon(instance);
  SHNotificationRemove(&NotificationClsid, PROGRESS_NOTIFICATION_ID);
  FillRecord(&resultBlock, RESULT_NOTIFICATION_ID, icon, report);
  SHNotificationAdd(&resultBlock);
  Sleep(RESULT_WAIT_MS);
  SHNotificationRemove(&NotificationClsid, RESULT_NOTIFICATION_ID);
}
