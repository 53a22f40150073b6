#!/usr/bin/env python3
"""Fills a fresh emulated device folder with the clutter of a handheld in use.

Usage: make-sample-device.py DEVICE_FOLDER

Every clean-up category finds something to remove, and beside it lie files
that must survive: documents, programs, read-only and hidden files, a
browser profile's own settings. user.reg holds the browser's shell folder
key, as a device has it.
"""
import os
import shutil
import sys
from pathlib import Path

TEMPORARY = 0x100
HIDDEN = 0x2


def put(root, path, size=0, attributes=0, read_only=False):
    full = root / path
    full.parent.mkdir(parents=True, exist_ok=True)
    full.write_bytes(b'x' * size)
    if attributes:
        os.setxattr(full, 'user.DOSATTRIB', b'0x%x' % attributes)
    if read_only:
        full.chmod(0o444)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    device = Path(sys.argv[1])
    if device.exists():
        for path in device.rglob('*'):
            if not path.is_symlink():
                path.chmod(0o755 if path.is_dir() else 0o644)
        shutil.rmtree(device)
    root = device / 'root'
    root.mkdir(parents=True)

    # Temp: installer leftovers in the four temp folders.
    put(root, 'temp/setup.log', 12_400)
    put(root, 'temp/install/cab0001/data.bin', 204_800)
    put(root, 'temp/install/cab0001/readme.txt', 2_048)
    put(root, 'temp/locked.dat', 512, read_only=True)   # the device refuses it
    put(root, 'temp/keepme/session.dat', 4_096)         # for a keep list's example
    put(root, 'temp/keepme/cache/part1.bin', 2_000)
    put(root, 'tmp/~wrd0001.tmp', 31_000)
    put(root, 'Windows/Temp/sync.log', 8_192)
    put(root, 'Windows/tmp/upgrade/step1.dat', 65_536)

    # Tele: browser cache, history and cookies, and per-profile copies.
    put(root, 'Windows/Temporary Internet Files/Content.IE5/page1.htm', 14_000)
    put(root, 'Windows/Temporary Internet Files/Content.IE5/logo.gif', 3_300)
    put(root, 'Windows/History/History.IE5/index.dat', 32_768)
    put(root, 'Windows/Cookies/owner@example.txt', 120)
    for profile in ('1', '2'):
        put(root, f'Windows/Profiles/{profile}/Cookies/owner@news.txt', 96)
        put(root, f'Windows/Profiles/{profile}/Cookies/owner@mybank.txt', 110)
        put(root, f'Windows/Profiles/{profile}/History/index.dat', 16_384)
        put(root, f'Windows/Profiles/{profile}/Temporary Internet Files/page.htm', 9_000)
        put(root, f'Windows/Profiles/{profile}/Favorites/Weather.url', 80)  # kept
    put(root, 'Profiles/guest/Cookies/guest@shop.txt', 200)
    put(root, 'Profiles/guest/settings.dat', 1_024)  # kept

    # WS: temporary-attribute files and *.tmp / *.temp in the searched folders.
    put(root, 'My Documents/draft.doc.tmp', 4_000)
    put(root, 'My Documents/Personal/scan.temp', 70_000)
    put(root, 'My Documents/autosave.pwd', 6_000, attributes=TEMPORARY)
    put(root, 'Program Files/Solitaire/scores.tmp', 64)
    put(root, 'Program Files/Solitaire/cache.bin', 2_000, attributes=TEMPORARY)
    put(root, 'Windows/pimstore.tmp', 1_500)

    # CAB: installer archives already installed.
    put(root, 'Windows/Start Menu/ActiveSync.CAB', 180_000)
    put(root, 'Program Files/Solitaire/solitaire.cab', 95_000)
    put(root, 'My Documents/Downloads/mapviewer.CAB', 250_000)
    put(root, 'My Documents/Setup/player.CAB', 320_000)
    put(root, 'My Documents/Setup/codec.CAB', 60_000)

    # SC: the storage card's temporaries.
    put(root, 'Storage Card/temp/thumbs/0001.jpg', 12_000)
    put(root, 'Storage Card/tmp/partial.download', 400_000)
    put(root, 'Storage Card/Music/mix.temp', 5_000)
    put(root, 'Storage Card/old.tmp', 700)

    # What must survive.
    put(root, 'My Documents/Letter to Anna.doc', 22_000)
    put(root, 'My Documents/Personal/tax 2025.xls', 48_000)
    put(root, 'My Documents/Personal/notes.txt', 900, attributes=HIDDEN)
    put(root, 'Program Files/Solitaire/solitaire.exe', 140_000)
    put(root, 'Windows/system.dat', 300_000, read_only=True)
    put(root, 'Windows/Fonts/tahoma.ttf', 90_000)
    put(root, 'Storage Card/Music/track01.mp3', 3_500_000)
    put(root, 'Storage Card/Photos/beach.jpg', 850_000)

    (device / 'user.reg').write_text(
        'Windows Registry Editor Version 5.00\n\n'
        '[HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders]\n'
        '"Favorites"="\\\\Windows\\\\Favorites"\n'
        '"History"="\\\\Windows\\\\History"\n'
        '"Cookies"="\\\\Windows\\\\Cookies"\n'
        '"Cache"="\\\\Windows\\\\Temporary Internet Files"\n\n'
        '[HKEY_CURRENT_USER\\SOFTWARE\\Halvorn\\Tarvel]\n'
        '"ie"="1"\n')


if __name__ == '__main__':
    main()
