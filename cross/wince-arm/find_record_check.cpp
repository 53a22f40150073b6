/* Checks of the handheld's find record, compiled only in its build: the
 * Windows CE layout, with the object store's identifier where desktop
 * Windows has reserved fields and no short name, which the emulated ARM
 * processor copies field by field (src/emulated_device/arm/imports.cpp).
 * Each line fails to compile when its check does not hold. */
#include <stddef.h>

#include "aygshell.h"

#define CHECK(name, condition) typedef char name[(condition) ? 1 : -1]

CHECK(find_record_is_560_bytes, sizeof(WIN32_FIND_DATAW) == 560);
CHECK(attributes_at_0, offsetof(WIN32_FIND_DATAW, dwFileAttributes) == 0);
CHECK(creation_at_4, offsetof(WIN32_FIND_DATAW, ftCreationTime) == 4);
CHECK(last_access_at_12, offsetof(WIN32_FIND_DATAW, ftLastAccessTime) == 12);
CHECK(last_write_at_20, offsetof(WIN32_FIND_DATAW, ftLastWriteTime) == 20);
CHECK(size_high_at_28, offsetof(WIN32_FIND_DATAW, nFileSizeHigh) == 28);
CHECK(size_low_at_32, offsetof(WIN32_FIND_DATAW, nFileSizeLow) == 32);
CHECK(object_id_at_36, offsetof(WIN32_FIND_DATAW, dwOID) == 36);
CHECK(name_at_40, offsetof(WIN32_FIND_DATAW, cFileName) == 40);
CHECK(enum_is_a_word, sizeof(SHNP) == 4);
