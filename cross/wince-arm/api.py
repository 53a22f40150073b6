"""The device's API as the handheld's build sees it: which functions the two
headers of src/device_api declare, and from which library each is imported.

Both the import table generator (imports.py) and the image checker
(check_pe.py) take the list from here, so a call added to a header is
imported, and checked, without another list to keep."""

import os
import re

# Each header is the face of one library of the device.
LIBRARIES = (("coredll.h", "coredll.dll"), ("aygshell.h", "aygshell.dll"))

# The process entry is defined by the program, not imported.
NOT_IMPORTED = {"WinMain"}

_DECLARATION = re.compile(r"\bWINAPI\s+(\w+)\s*\(")


def declared_imports(api_folder):
    """[(library, function)] in the headers' order."""
    imports = []
    for header, library in LIBRARIES:
        with open(os.path.join(api_folder, header), encoding="utf-8") as text:
            source = text.read()
        for name in _DECLARATION.findall(source):
            if name not in NOT_IMPORTED and (library, name) not in imports:
                imports.append((library, name))
    return imports
