/* The HTML text of the result bubble. */
#include "stats.h"

static const char kHeader[] =
    "<html><body><b><i>Done!</b></i><br><br><b>Thank you for using Tarvel!</b><br><br>"
    "Tarvel has created or recycled the following space:<br> ";
static const char kFileTail[] = " file(s) <i>[Lifetime-to-date]</i><br>\n";
static const char kByteTail[] = " byte(s) <i>[Lifetime-to-date]</i><br><br>";
/* The closing credit lines: 7-bit ASCII, at most 55 characters, and nothing
 * after them. */
static const char kCreditLine[] = "<i>Tarvel storage clean-up, by Halvorn</i>";
static const char kKeepListCreditLine[] = "<i>Keep list unreadable: nothing removed.</i>";

static int AppendNarrow(char *text, int length, const char *piece)
{
  while (*piece != 0) {
    text[length++] = *piece++;
  }
  text[length] = 0;
  return length;
}

int FormatTotal(LONG total, char *text)
{
  int length = 0;
  if (total < 0) {
    /* Written whole, without separators. The magnitude is taken in DWORD,
     * where even -2147483648 has one. */
    DWORD magnitude = 0u - (DWORD)total;
    char digits[10];
    int count = 0;
    do {
      digits[count++] = (char)('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    text[length++] = '-';
    while (count > 0) {
      text[length++] = digits[--count];
    }
    text[length] = 0;
    return length;
  }

  /* The ten positions from 10^9 down; a position is written once it or a
   * higher one is not 0, the units always; "," after 10^9, 10^6 and 10^3. */
  DWORD value = (DWORD)total;
  DWORD power = 1000000000u;
  int written = 0;
  for (int position = 9; position >= 0; --position) {
    int digit = (int)(value / power);
    value %= power;
    power /= 10;
    if (digit != 0 || position == 0) {
      written = 1;
    }
    if (written) {
      text[length++] = (char)('0' + digit);
      if (position == 9 || position == 6 || position == 3) {
        text[length++] = ',';
      }
    }
  }
  text[length] = 0;
  return length;
}

void ComposeReport(LONG lifetimeFiles, LONG lifetimeBytes, int keepListUnusable,
                   WCHAR report[REPORT_UNITS])
{
  /* Every piece has a fixed upper length: at most 137 + 13 + 39 + 13 + 42
   * characters before the credit line and at most 46 in it, so the whole fits 300. */
  char narrow[REPORT_UNITS];
  char total[TOTAL_TEXT_CHARS + 1];
  int length = AppendNarrow(narrow, 0, kHeader);
  FormatTotal(lifetimeFiles, total);
  length = AppendNarrow(narrow, length, total);
  length = AppendNarrow(narrow, length, kFileTail);
  FormatTotal(lifetimeBytes, total);
  length = AppendNarrow(narrow, length, total);
  length = AppendNarrow(narrow, length, kByteTail);
  length = AppendNarrow(narrow, length, keepListUnusable ? kKeepListCreditLine : kCreditLine);
  for (int i = 0; i <= length; ++i) {
    report[i] = (WCHAR)(BYTE)narrow[i];
  }
}
