#!/usr/bin/env bash
# What can be read from the built executables themselves. Every one given: it imports only the
# system DLLs below and nothing from the lists of what Velmora never does, names no other DLL to
# load at run time, and looks up at run time only the names listed. The first, velmora.exe, also: GUI subsystem, icon group 101 in six
# sizes, version 2.0.1.0, and a manifest that asks for the user's own rights.
# Only the programs that inject keys (velmora.exe and velmora-check.exe) may import the injecting
# calls; velmora-check, a tool that presses keys on the user's machine, is held to the same lists
# of what it never does as Velmora: it starts no process and writes no file.
# Usage: tests/exe/check_exe.sh velmora.exe [keytrace.exe velmora-check.exe ...]
set -euo pipefail -f  # -f: the lists below hold patterns, never file names

# The import table may name only KnownDLLs: any other DLL it names is looked for first in "the
# folder from which the application loaded" (Dynamic-link library search order), before the
# program's first instruction runs. Microsoft publishes no fixed list (it is the registry key
# HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs), so each one here is:
#   kernel32  documented: "Windows first searches for "known DLLs", such as Kernel32.dll and
#             User32.dll" (Search Path Used by Windows to Locate a DLL, Visual Studio docs)
#   user32    documented, the same sentence
#   advapi32  reported: listed in the KnownDLLs key of Windows 7 to 11
#   msvcrt    reported: listed in the KnownDLLs key of Windows 7 to 11
readonly SYSTEM_DLLS="kernel32 user32 advapi32 msvcrt"
# Loaded at run time from the system folder only (LoadLibraryExW with LOAD_LIBRARY_SEARCH_SYSTEM32),
# or already loaded: named in the data in UTF-16. winmm is reported not to be a KnownDLL.
readonly RUNTIME_DLLS="$SYSTEM_DLLS wtsapi32 winmm"
# What Velmora never does, as far as an import table shows it. The C runtime's own error output
# (fwrite, fprintf) is no file access and is allowed.
readonly NETWORK_DLLS="ws2_32 wsock32 mswsock wininet winhttp urlmon dnsapi iphlpapi netapi32 websocket rasapi32"
readonly CRYPTO_DLLS="crypt32 bcrypt ncrypt cryptbase cryptsp cryptnet wintrust"
readonly SHELL_DLLS="shell32 shlwapi shcore ole32 oleaut32"
readonly FILE_WRITES="CreateFile* OpenFile _lcreat _lopen fopen* _wfopen* freopen* _wfreopen* _fsopen _wfsopen
  _open _wopen _sopen* _wsopen* _creat _wcreat"
readonly REGISTRY_WRITES="RegCreateKey* RegSetValue* RegSetKeyValue* RegDelete* RegSaveKey* RegRestoreKey* RegLoadKey*"
readonly PROCESS_STARTS="CreateProcess* ShellExecute* WinExec system _wsystem _spawn* _wspawn* _exec* _wexec* _popen _wpopen"
readonly CLIPBOARD="*Clipboard*"
readonly INJECTION="SendInput keybd_event mouse_event"
readonly INJECTORS="velmora.exe velmora-check.exe"
# Names passed to GetProcAddress: a new one is a visible change here.
readonly LOOKUPS="SetDefaultDllDirectories SetProcessInformation RegisterSuspendResumeNotification
  UnregisterSuspendResumeNotification WTSRegisterSessionNotification WTSUnRegisterSessionNotification
  timeBeginPeriod timeEndPeriod"

readonly WANT_VERSION="2.0.1.0"
readonly WANT_ICONS="16x16 32x32 48x48 64x64 128x128 256x256"

OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
OBJCOPY=${OBJCOPY:-x86_64-w64-mingw32-objcopy}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $exe: $*"; failed=$((failed + 1)); }
in_list() { [[ " $2 " == *" $1 "* ]]; }

for exe in "$@"; do
  "$OBJDUMP" -p "$exe" >"$work/headers"
  # "dll" for each DLL, then "dll function" for each function imported by name.
  awk '/^[^ \t]/ { dll = "" } /DLL Name:/ { dll = tolower($3); sub(/\.dll$/, "", dll); print dll }
       dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ { print dll, $3 }' "$work/headers" >"$work/imports"
  while read -r dll function; do
    if [[ -z $function ]]; then
      if in_list "$dll" "$NETWORK_DLLS $CRYPTO_DLLS $SHELL_DLLS"; then fail "imports $dll.dll (network, crypto or shell)"
      elif ! in_list "$dll" "$SYSTEM_DLLS"; then fail "imports $dll.dll, not one of: $SYSTEM_DLLS"; fi
      continue
    fi
    if in_list "$function" "$INJECTION" && ! in_list "$(basename "$exe")" "$INJECTORS"; then
      fail "imports $function from $dll.dll, and only $INJECTORS inject keys"
    fi
    for pattern in $FILE_WRITES $REGISTRY_WRITES $PROCESS_STARTS $CLIPBOARD; do
      # shellcheck disable=SC2053 # the pattern is a glob on purpose
      [[ $function == $pattern ]] && fail "imports $function from $dll.dll (files, registry writes, processes or clipboard)"
    done
  done <"$work/imports"
  for section in .rdata .data; do
    "$OBJCOPY" -O binary --only-section="$section" "$exe" "$work/section" && strings -a -e l -n 4 "$work/section"
  done | grep -oiE '[a-z0-9_]+\.dll' | tr '[:upper:]' '[:lower:]' | sort -u >"$work/dlls" || true
  while read -r named; do
    # The last letter of an ASCII string just before can read as a UTF-16 one: the name counts
    # when it ends in an allowed one.
    allowed=0
    for dll in $RUNTIME_DLLS; do [[ $named == *"$dll.dll" ]] && allowed=1; done
    [[ $allowed -eq 1 ]] || fail "names $named in its data, not one of: $RUNTIME_DLLS"
  done <"$work/dlls"
  # A name handed to GetProcAddress sits in the data as a plain identifier; any new identifier
  # there is reported, a lookup or not.
  if grep -qx 'kernel32 GetProcAddress' "$work/imports"; then
    for section in .rdata .data; do
      "$OBJCOPY" -O binary --only-section="$section" "$exe" "$work/section" && strings -a -n 4 "$work/section"
    done | grep -xE '[A-Za-z_][A-Za-z0-9_]+' | sort -u | paste -sd ' ' >"$work/names" || true
    names=$(cat "$work/names")
    [[ $names == "$(tr -s ' \n' '\n' <<<"$LOOKUPS" | sort -u | paste -sd ' ')" ]] ||
      fail "names in its data that GetProcAddress may look up: $names; listed: $LOOKUPS"
  fi
  [[ $exe == "$1" ]] || continue

  subsystem=$(awk '$1 == "Subsystem" { print $2 }' "$work/headers")
  [[ $subsystem == 00000002 ]] || fail "subsystem $subsystem, not 2 (Windows GUI)"
  wrestool -x --type=14 --name=101 "$exe" >"$work/icon.ico" 2>/dev/null || true
  icons=$(icotool -l "$work/icon.ico" 2>/dev/null |
          sed -n 's/.*--width=\([0-9]*\) --height=\([0-9]*\).*/\1x\2/p' | sort -n | tr '\n' ' ' || true)
  [[ $icons == "$WANT_ICONS " ]] || fail "icon group 101 has '$icons', not $WANT_ICONS"
  wrestool -x --raw --type=16 "$exe" >"$work/version" || true
  # VS_FIXEDFILEINFO: the signature 0xFEEF04BD, the structure version, then the file and the
  # product version, each as two DWORDs whose high word comes first.
  at=$(LC_ALL=C grep -obUaP '\xBD\x04\xEF\xFE' "$work/version" | head -n 1 | cut -d: -f1 || true)
  fixed=$(od -An -tu2 -j $((${at:-0} + 8)) -N 16 "$work/version" 2>/dev/null |
          awk '{ print $2 "." $1 "." $4 "." $3, $6 "." $5 "." $8 "." $7 }' || true)
  [[ $fixed == "$WANT_VERSION $WANT_VERSION" ]] || fail "fixed file and product version $fixed, not $WANT_VERSION"
  # The string table is UTF-16; a key ends its line and its value comes on the next.
  strings=$(iconv -f UTF-16LE -t UTF-8 "$work/version" 2>/dev/null | tr '\0' '\n' | grep -av '^$' |
            grep -aA1 -E '(FileVersion|ProductVersion)$' | grep -acx "$WANT_VERSION" || true)
  [[ $strings -eq 2 ]] || fail "FileVersion and ProductVersion strings are not both $WANT_VERSION"
  element=$(wrestool -x --raw --type=24 --name=1 "$exe" 2>/dev/null | tr -d '\0' | tr '\r\n\t' '   ' |
            sed 's/<!--\([^-]\|-[^-]\)*-->//g' | grep -o '<requestedExecutionLevel[^>]*>' || true)
  [[ $element == *'level="asInvoker"'* && $element == *'uiAccess="false"'* ]] ||
    fail "manifest asks for '${element:-nothing}', not level=\"asInvoker\" uiAccess=\"false\""
done

if [[ $failed -gt 0 ]]; then echo "$failed checks failed"; exit 1; fi
echo "ok: $*"
