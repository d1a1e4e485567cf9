#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into corpus/settings and corpus/hook.

The byte layouts are described at the top of fuzz_settings.cpp and fuzz_hook.cpp.
"""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent

# --- fuzz_settings ----------------------------------------------------------------------------

REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_QWORD = 0, 1, 2, 3, 4, 11
TYPE_SELECTOR = {REG_SZ: 0, REG_EXPAND_SZ: 4, REG_DWORD: 6, REG_QWORD: 9, REG_BINARY: 10, REG_NONE: 12}
LENGTH_ZERO, LENGTH_128, LENGTH_127, LENGTH_129, LENGTH_4, LENGTH_LONG, LENGTH_PATTERN = range(7)


def setting(value_type, pattern, length=LENGTH_PATTERN, key_absent=False, delay=False, default=1,
            long_extra=0):
    scenario = (3 if key_absent else 0) | (0x10 if delay else 0)
    header = bytes([scenario, TYPE_SELECTOR[value_type]]) + struct.pack("<I", 0)
    header += struct.pack("<i", default) + bytes([length]) + struct.pack("<H", long_extra)
    return header + pattern


DIGIT_ZEROS = [0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66, 0x0AE6, 0x0B66, 0x0C66, 0x0CE6, 0x0D66,
               0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10]
BLANKS = [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028, 0x2029, 0x202F,
          0x205F, 0x3000, 0xFEFF]


def text(s):
    return s.encode("utf-16-le")


SETTINGS = {
    "sz-31": setting(REG_SZ, text("31\0")),
    "sz-128-digits": setting(REG_SZ, text("1"), length=LENGTH_128),
    "sz-over-128": setting(REG_SZ, text("2"), length=LENGTH_LONG, long_extra=70),
    "expand-sz-odd": setting(REG_EXPAND_SZ, text(" \t-\u0663\u0661") + b"\x07", delay=True),
    # One digit of each script, nine scripts to a seed so that neither saturates.
    "sz-digits-of-every-script-1": setting(REG_SZ, text("".join(chr(z + d) for d, z in enumerate(DIGIT_ZEROS[:9], 1)))),
    "sz-digits-of-every-script-2": setting(REG_SZ, text("".join(chr(z + d) for d, z in enumerate(DIGIT_ZEROS[9:], 1)))),
    "sz-every-blank": setting(REG_SZ, text("".join(map(chr, BLANKS)) + "-42")),
    "sz-fullwidth-zero-inside": setting(REG_SZ, text("+\uff11\uff15\0" "99")),
    "sz-saturates": setting(REG_SZ, text("-99999999999\0")),
    "dword-2": setting(REG_DWORD, struct.pack("<I", 2), delay=True),
    "dword-short": setting(REG_DWORD, b"\x03\x00"),
    "binary": setting(REG_BINARY, text("12")),
    "key-absent": setting(REG_SZ, text("31"), key_absent=True, default=-7),
}

# --- fuzz_hook --------------------------------------------------------------------------------

WM_KEYDOWN, WM_KEYUP, WM_SYSKEYDOWN, WM_SYSKEYUP, WM_CHAR = 0, 1, 2, 3, 6  # message selectors
LSHIFT, LCTRL, LALT, RSHIFT, LETTER_A, VK_ZERO = 0, 1, 2, 3, 13, 14          # vkCode selectors
SCAN_LSHIFT, SCAN_LCTRL, SCAN_LALT, SCAN_RSHIFT, SCAN_OF_KEY = 0, 1, 2, 3, 10
INJECTED, EXTENDED, UP = 0x10, 0x01, 0x80
NOT_OURS, OURS, OURS_HIGH_BIT = 0, 2, 4
NOREMOVE = 5


def event(message, vk, scan=SCAN_OF_KEY, flags=0, extra=NOT_OURS, k=0, code=0, window=None, ms=1, move=0,
          raw=0):
    # window: None keeps the foreground, else n in 0..4 (0 = none)
    window_byte = 0 if window is None else 3 | (window << 2)
    return bytes([message, vk, scan, flags, extra | (k << 3), code, window_byte, ms | (move << 5)]) + \
        struct.pack("<Q", raw)


def hook(*events, handle=0x42, window=1):
    return bytes([handle, window]) + b"".join(events)


OWN_LALT_DOWN = event(WM_SYSKEYDOWN, VK_ZERO, scan=SCAN_LALT, flags=INJECTED, extra=OURS)

HOOK = {
    "press-release-lshift": hook(event(WM_KEYDOWN, LSHIFT), event(WM_KEYUP, LSHIFT, flags=UP, ms=30)),
    "own-keydown-after-release": hook(event(WM_SYSKEYDOWN, LALT), OWN_LALT_DOWN,
                                      event(WM_SYSKEYUP, LALT, flags=UP), OWN_LALT_DOWN),
    "window-change-while-held": hook(event(WM_KEYDOWN, RSHIFT, window=2), event(WM_KEYDOWN, LETTER_A, window=3),
                                     event(WM_KEYUP, RSHIFT, flags=UP, window=0)),
    "tag-with-high-bit": hook(event(WM_KEYDOWN, LCTRL, flags=INJECTED, extra=OURS_HIGH_BIT, k=3),
                              event(WM_KEYUP, LCTRL, flags=INJECTED | UP, extra=OURS)),
    "not-action-and-char": hook(event(WM_KEYDOWN, LSHIFT, code=NOREMOVE), event(WM_CHAR, LCTRL),
                                event(WM_KEYDOWN, LALT, flags=EXTENDED, extra=OURS)),
}


def main():
    for directory, seeds in (("settings", SETTINGS), ("hook", HOOK)):
        out = HERE / "corpus" / directory
        out.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (out / name).write_bytes(data)


if __name__ == "__main__":
    main()
