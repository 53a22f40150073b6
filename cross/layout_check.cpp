/* Checks of the device's 32-bit layouts, compiled only in the device build:
 * each line fails to compile when its check does not hold. */
#include <stddef.h>

#include "aygshell.h"

#define CHECK(name, condition) typedef char name[(condition) ? 1 : -1]

CHECK(wchar_is_16_bits, sizeof(WCHAR) == 2);
CHECK(dword_is_32_bits, sizeof(DWORD) == 4);
CHECK(long_is_32_bits, sizeof(LONG) == 4);
CHECK(record_is_56_bytes, sizeof(SHNOTIFICATIONDATA) == 56);
CHECK(cbStruct_at_0, offsetof(SHNOTIFICATIONDATA, cbStruct) == 0);
CHECK(dwID_at_4, offsetof(SHNOTIFICATIONDATA, dwID) == 4);
CHECK(npPriority_at_8, offsetof(SHNOTIFICATIONDATA, npPriority) == 8);
CHECK(csDuration_at_12, offsetof(SHNOTIFICATIONDATA, csDuration) == 12);
CHECK(hicon_at_16, offsetof(SHNOTIFICATIONDATA, hicon) == 16);
CHECK(grfFlags_at_20, offsetof(SHNOTIFICATIONDATA, grfFlags) == 20);
CHECK(clsid_at_24, offsetof(SHNOTIFICATIONDATA, clsid) == 24);
CHECK(hwndSink_at_40, offsetof(SHNOTIFICATIONDATA, hwndSink) == 40);
CHECK(pszHTML_at_44, offsetof(SHNOTIFICATIONDATA, pszHTML) == 44);
CHECK(pszTitle_at_48, offsetof(SHNOTIFICATIONDATA, pszTitle) == 48);
CHECK(lParam_at_52, offsetof(SHNOTIFICATIONDATA, lParam) == 52);
