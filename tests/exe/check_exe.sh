#!/usr/bin/env bash
# Check a built velmora.exe with real PE readers: image type, subsystem,
# imported DLLs, icon group, version resource and manifest.
#
# Usage: tests/exe/check_exe.sh PATH_TO_EXE
#
# Every check prints one "ok:" or "FAIL:" line; all checks run even after a
# failure so one build shows every problem. Exit status: 0 all passed,
# 1 a check failed, 2 bad usage or a missing tool.
#
# Needs x86_64-w64-mingw32-objdump (binutils-mingw-w64-x86-64; override with
# OBJDUMP=...), wrestool and icotool (icoutils), od and iconv.
set -euo pipefail

readonly WANT_VERSION="2.0.1.0"
readonly WANT_ICON_ID=101
readonly WANT_ICON_SIZES="16 32 48 64 128 256"

me=$(basename "$0")

if [[ $# -ne 1 ]]; then
    echo "usage: $me PATH_TO_EXE" >&2
    exit 2
fi
exe=$1
if [[ ! -f $exe ]]; then
    echo "$me: no such file: $exe" >&2
    exit 2
fi

OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
missing=0
need() {
    if ! command -v "$1" >/dev/null 2>&1; then
        echo "$me: required tool '$1' not found (install: $2)" >&2
        missing=1
    fi
}
need "$OBJDUMP" "apt-get install binutils-mingw-w64-x86-64"
need wrestool "apt-get install icoutils"
need icotool "apt-get install icoutils"
need od "coreutils"
need iconv "libc-bin"
[[ $missing -eq 0 ]] || exit 2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
checks=0
ok() {
    checks=$((checks + 1))
    echo "ok: $*"
}
fail() {
    checks=$((checks + 1))
    failures=$((failures + 1))
    echo "FAIL: $*"
}

# objdump -p prints the PE headers and the import tables; everything below
# that is about headers or imports reads this one dump.
pe_ok=1
if ! "$OBJDUMP" -p "$exe" >"$work/headers" 2>"$work/objdump.err"; then
    pe_ok=0
fi

# --- image type -----------------------------------------------------------
if [[ $pe_ok -eq 0 ]]; then
    fail "PE32+ x86-64 image: expected a PE file, $OBJDUMP cannot read it: $(head -n 1 "$work/objdump.err")"
else
    format=$(sed -n 's/.*file format[[:space:]]*//p' "$work/headers" | head -n 1)
    magic=$(awk '$1 == "Magic" { print $2; exit }' "$work/headers")
    if [[ $format == "pei-x86-64" && $magic == "020b" ]]; then
        ok "PE32+ x86-64 image"
    else
        fail "PE32+ x86-64 image: expected file format pei-x86-64 with optional header magic 020b, found format '${format:-none}', magic '${magic:-none}'"
    fi
fi

# --- subsystem ------------------------------------------------------------
if [[ $pe_ok -eq 1 ]]; then
    subsystem=$(awk '$1 == "Subsystem" { print $2; exit }' "$work/headers")
    if [[ -n $subsystem && $((16#$subsystem)) -eq 2 ]]; then
        ok "subsystem Windows GUI (2)"
    else
        found=$(grep -m 1 '^Subsystem' "$work/headers" | tr -s '\t ' ' ' || true)
        fail "subsystem: expected Windows GUI (2), found '${found:-no Subsystem field}'"
    fi
else
    fail "subsystem: expected Windows GUI (2), found no readable PE header"
fi

# --- imports ---------------------------------------------------------------
# Only system DLLs that every supported Windows has; a MinGW runtime DLL
# here means the exe will not start on a clean machine.
if [[ $pe_ok -eq 1 ]]; then
    mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' "$work/headers" |
                        tr -d '\r' | tr '[:upper:]' '[:lower:]' | sort -u)
    runtime=()
    foreign=()
    for dll in "${dlls[@]}"; do
        case $dll in
            libstdc++*|libgcc*|libwinpthread*) runtime+=("$dll"); foreign+=("$dll") ;;
            kernel32.dll|user32.dll|advapi32.dll|winmm.dll) ;;
            msvcrt.dll|ucrtbase.dll|api-ms-win-crt-*.dll) ;;
            *) foreign+=("$dll") ;;
        esac
    done
    if [[ ${#runtime[@]} -eq 0 ]]; then
        ok "no MinGW runtime DLL imported (libstdc++, libgcc, libwinpthread)"
    else
        fail "MinGW runtime DLLs: expected none (link with -static), found ${runtime[*]}"
    fi
    if [[ ${#foreign[@]} -eq 0 ]]; then
        ok "imports only allowed DLLs: ${dlls[*]:-none}"
    else
        fail "imports: expected only kernel32, user32, advapi32, winmm and the system C runtime (msvcrt / ucrtbase / api-ms-win-crt-*), found also ${foreign[*]}"
    fi
    absent=()
    for dll in kernel32.dll user32.dll advapi32.dll; do
        printf '%s\n' "${dlls[@]}" | grep -qxF "$dll" || absent+=("$dll")
    done
    if [[ ${#absent[@]} -eq 0 ]]; then
        ok "imports kernel32, user32 and advapi32"
    else
        fail "imports: expected kernel32.dll, user32.dll and advapi32.dll, missing ${absent[*]} (found: ${dlls[*]:-none})"
    fi
else
    fail "MinGW runtime DLLs: expected none, found no readable PE header"
    fail "imports: expected only allowed DLLs, found no readable PE header"
    fail "imports: expected kernel32.dll, user32.dll and advapi32.dll, found no readable PE header"
fi

# --- icon group -----------------------------------------------------------
# wrestool rebuilds a .ico from the group and the RT_ICON entries it names,
# so a group pointing at missing images fails here too.
if wrestool -x --type=14 --name="$WANT_ICON_ID" -o "$work/group.ico" "$exe" 2>"$work/wrestool.err" &&
   [[ -s $work/group.ico ]]; then
    if icotool -l "$work/group.ico" >"$work/icons" 2>"$work/icotool.err"; then
        sizes=$(sed -n 's/.*--width=\([0-9]*\).*/\1/p' "$work/icons" | sort -n | tr '\n' ' ' | sed 's/ $//')
        heights=$(sed -n 's/.*--height=\([0-9]*\).*/\1/p' "$work/icons" | sort -n | tr '\n' ' ' | sed 's/ $//')
        depths=$(sed -n 's/.*--bit-depth=\([0-9]*\).*/\1/p' "$work/icons" | sort -u | tr '\n' ' ' | sed 's/ $//')
        if [[ $sizes == "$WANT_ICON_SIZES" && $heights == "$WANT_ICON_SIZES" && $depths == "32" ]]; then
            ok "icon group $WANT_ICON_ID has 32-bit images of $sizes px"
        else
            fail "icon group $WANT_ICON_ID: expected one 32-bit square image each of $WANT_ICON_SIZES px, found widths '${sizes}', heights '${heights}', bit depths '${depths}'"
        fi
    else
        fail "icon group $WANT_ICON_ID: icotool cannot read it: $(head -n 1 "$work/icotool.err")"
    fi
else
    groups=$(wrestool -l --type=14 "$exe" 2>/dev/null | sed -n 's/.*--name=\([^ ]*\).*/\1/p' | tr '\n' ' ' || true)
    fail "icon group: expected RT_GROUP_ICON $WANT_ICON_ID, found groups '${groups% }'"
fi

# --- version resource -----------------------------------------------------
utf16_strings() {
    # The block is UTF-16LE; NULs end each key and value, so one string per
    # line. Header words turn into stray control characters, which is fine
    # for matching on the key name.
    iconv -c -f UTF-16LE -t UTF-8 "$1" | tr '\0' '\n' | grep -av '^$' || true
}
string_value() {
    # Value that follows the given key in the StringFileInfo table.
    awk -v key="$2" 'found { print; exit } substr($0, length($0) - length(key) + 1) == key { found = 1 }' "$1"
}
word() { echo $(( bytes[$1] | (bytes[$1 + 1] << 8) )); }
if wrestool -x --raw --type=16 -o "$work/version.bin" "$exe" 2>/dev/null && [[ -s $work/version.bin ]]; then
    # VS_FIXEDFILEINFO starts with the signature 0xFEEF04BD; after it come
    # dwStrucVersion, dwFileVersionMS/LS and dwProductVersionMS/LS, each a
    # little-endian DWORD whose high word is the first number of the pair.
    mapfile -t bytes < <(od -An -v -tu1 "$work/version.bin" | tr -s ' ' '\n' | grep -v '^$')
    fixed_file=""
    fixed_product=""
    for ((i = 0; i + 24 <= ${#bytes[@]}; i += 4)); do
        if [[ ${bytes[i]} -eq 189 && ${bytes[i+1]} -eq 4 && ${bytes[i+2]} -eq 239 && ${bytes[i+3]} -eq 254 ]]; then
            fixed_file="$(word $((i + 10))).$(word $((i + 8))).$(word $((i + 14))).$(word $((i + 12)))"
            fixed_product="$(word $((i + 18))).$(word $((i + 16))).$(word $((i + 22))).$(word $((i + 20)))"
            break
        fi
    done
    utf16_strings "$work/version.bin" >"$work/version.txt"
    str_file=$(string_value "$work/version.txt" FileVersion)
    str_product=$(string_value "$work/version.txt" ProductVersion)
    if [[ $fixed_file == "$WANT_VERSION" && $fixed_product == "$WANT_VERSION" ]]; then
        ok "VS_FIXEDFILEINFO file and product version $WANT_VERSION"
    else
        fail "VS_FIXEDFILEINFO: expected file and product version $WANT_VERSION, found file '${fixed_file:-none}', product '${fixed_product:-none}'"
    fi
    if [[ $str_file == "$WANT_VERSION" && $str_product == "$WANT_VERSION" ]]; then
        ok "version strings FileVersion and ProductVersion $WANT_VERSION"
    else
        fail "version strings: expected FileVersion and ProductVersion '$WANT_VERSION', found FileVersion '${str_file:-none}', ProductVersion '${str_product:-none}'"
    fi
else
    fail "version resource: expected an RT_VERSION (16) resource, found none"
    fail "version strings: expected FileVersion and ProductVersion '$WANT_VERSION', found no version resource"
fi

# --- manifest -------------------------------------------------------------
# The loader only reads RT_MANIFEST (24) id 1 for an .exe.
if wrestool -x --raw --type=24 --name=1 -o "$work/manifest.xml" "$exe" 2>/dev/null && [[ -s $work/manifest.xml ]]; then
    # Tolerate a UTF-16 manifest: dropping NULs leaves the ASCII text. Then
    # drop comments and take the attributes from the element itself, so a
    # commented-out line cannot satisfy or break the check.
    element=$(tr -d '\0' <"$work/manifest.xml" | tr '\r\n\t' '   ' |
              sed -e 's/<!--\([^-]\|-[^-]\)*-->//g' |
              grep -aoE '<([A-Za-z0-9_]+:)?requestedExecutionLevel[^>]*>' | head -n 1 || true)
    attr() {
        sed -nE "s/.*[[:space:]]$1[[:space:]]*=[[:space:]]*[\"']([^\"']*)[\"'].*/\1/p" <<<"$element"
    }
    level=$(attr level)
    ui=$(attr uiAccess)
    if [[ -z $element ]]; then
        fail "manifest: expected a requestedExecutionLevel element with level=\"asInvoker\" uiAccess=\"false\", found none"
    elif [[ $level == asInvoker && $ui == false ]]; then
        ok "manifest requests level asInvoker with uiAccess false"
    else
        fail "manifest: expected level=\"asInvoker\" uiAccess=\"false\", found level=\"${level:-missing}\" uiAccess=\"${ui:-missing}\""
    fi
else
    types=$(wrestool -l "$exe" 2>/dev/null | sed -n 's/^--type=\([^ ]*\) --name=\([^ ]*\).*/\1:\2/p' | sort -u | tr '\n' ' ' || true)
    fail "manifest: expected an RT_MANIFEST (24) resource with id 1, found resources '${types% }'"
fi

if [[ $failures -eq 0 ]]; then
    echo "PASS: $exe: all $checks checks passed"
else
    echo "FAILED: $exe: $failures of $checks checks failed"
    exit 1
fi
