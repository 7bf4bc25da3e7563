#!/usr/bin/env bash
# Checks that the Windows programs and DLLs import nothing newer than Windows XP SP2. The x64
# build runs on XP x64 (NT 5.2, the Server 2003 SP1 code base) at the oldest; anything newer must
# be looked up at run time with GetProcAddress, which never shows in the import table.
#
#   tools/check_imports.sh [-q] BUILD_DIR
#
# Reads every .exe and .dll under BUILD_DIR (outside CMakeFiles) with
# x86_64-w64-mingw32-objdump -p, prints the imported functions per DLL (-q: only the
# offenders) and names each import that is on the deny-list below. For an offender it also
# names the objects that reference it: the build's own archives and objects, and the static
# runtime the toolchain links in (libstdc++, libgcc, winpthreads, the mingw-w64 CRT).
# Exit 0 when nothing is denied, 1 when something is, 2 on bad usage, 77 (skip) when
# BUILD_DIR holds no Windows binary.
set -euo pipefail

usage() { echo "usage: $0 [-q] BUILD_DIR" >&2; exit 2; }
quiet=0
if [ "${1:-}" = -q ]; then quiet=1; shift; fi
[ $# -eq 1 ] || usage
dir=$1

objdump=x86_64-w64-mingw32-objdump
nm=x86_64-w64-mingw32-nm
cxx=x86_64-w64-mingw32-g++-posix

# ---- Deny-list -----------------------------------------------------------------------------
# Shell patterns, one a line, matched against the function name whatever DLL it comes from.
# Functions that first shipped after XP SP2: mostly Vista (6.0), some 7 (6.1) and 8 (6.2).
# Fls* and GetCurrentProcessorNumber exist in Server 2003 / XP x64 but not in 32-bit XP; they
# are kept here so that the code stays portable to the older of the two.
denied_any='
AcquireSRWLock*
AddDllDirectory
AddSecureMemoryCacheCallback
CancelIoEx
CancelSynchronousIo
CloseThreadpool*
CompareStringEx
CompareStringOrdinal
CopyFile2
CreateEventEx[AW]
CreateFile2
CreateMutexEx[AW]
CreateRemoteThreadEx
CreateSemaphoreEx[AW]
CreateSymbolicLink*
CreateThreadpool*
CreateWaitableTimerEx[AW]
DeleteProcThreadAttributeList
EnumSystemLocalesEx
FindStringOrdinal
FlsAlloc
FlsFree
FlsGetValue
FlsSetValue
GetActiveProcessorCount
GetActiveProcessorGroupCount
GetCurrencyFormatEx
GetCurrentProcessorNumber*
GetDateFormatEx
GetErrorMode
GetFileInformationByHandleEx
GetFinalPathNameByHandle*
GetLocaleInfoEx
GetLogicalProcessorInformationEx
GetMaximumProcessorCount
GetNumaAvailableMemoryNodeEx
GetNumaNodeNumberFromHandle
GetNumaNodeProcessorMaskEx
GetNumaProcessorNodeEx
GetNumaProximityNode*
GetNamedPipeClientComputerName[AW]
GetNamedPipeClientProcessId
GetNamedPipeClientSessionId
GetNamedPipeServerProcessId
GetNamedPipeServerSessionId
GetNumberFormatEx
GetOverlappedResultEx
GetProductInfo
GetQueuedCompletionStatusEx
GetSystemDefaultLocaleName
GetSystemTimePreciseAsFileTime
GetThreadDescription
GetThreadGroupAffinity
GetThreadPreferredUILanguages
GetTickCount64
GetTimeFormatEx
GetUserDefaultLocaleName
GetUserPreferredUILanguages
GetVolumeInformationByHandleW
InitOnce*
InitializeConditionVariable
InitializeCriticalSectionEx
InitializeProcThreadAttributeList
InitializeSRWLock
IsValidLocaleName
K32*
LCIDToLocaleName
LCMapStringEx
LocaleNameToLCID
OpenFileById
QueryFullProcessImageName*
ReleaseSRWLock*
ResolveLocaleName
SetDefaultDllDirectories
SetFileCompletionNotificationModes
SetFileInformationByHandle
SetThreadDescription
SetThreadErrorMode
SetThreadGroupAffinity
SetThreadPreferredUILanguages
SetThreadpool*
SleepConditionVariable*
SubmitThreadpoolWork
TryAcquireSRWLock*
TrySubmitThreadpoolCallback
UpdateProcThreadAttribute
WaitForThreadpool*
WaitOnAddress
WakeAllConditionVariable
WakeByAddress*
WakeConditionVariable
EventRegister
EventUnregister
EventWrite*
RegDeleteTree[AW]
RegGetValue[AW]
RegLoadMUIString[AW]
RegSetKeyValue[AW]
AddClipboardFormatListener
ChangeWindowMessageFilter*
GetDpiForWindow
IsProcessDPIAware
RegisterPowerSettingNotification
SetProcessDPIAware
SetProcessDpiAwarenessContext
SetThreadDpiAwarenessContext
ShutdownBlockReason*
SHGetKnownFolderPath
TaskDialog*
'
# msvcrt.dll: XP x64's is the first x64 build of the system's C runtime. Vista's added the
# "secure" (_s) functions, the explicit-locale (_l) functions, the debug heap and printf
# variants and a few more; Windows 8 and 8.1 added the locale objects and exception pointers.
denied_msvcrt='
*_s
*_l
*_dbg
_Crt*
*printf_p
*printf_c
__ExceptionPtr*
__CxxFrameHandler3
__daylight
__dstbias
__strncnt
__wcsncnt
_chvalidator
_create_locale
_ctime32
_difftime32
_difftime64
_free_locale
_freea
_ftime32
_futime32
_get_current_locale
_get_doserrno
_get_environ
_get_fileinfo
_get_fmode
_get_wenviron
_gmtime32
_initterm_e
_invalid_parameter
_localtime32
_mbsnlen
_mbstrnlen
_mkgmtime32
_mktime32
_set_controlfp
_set_doserrno
_set_fileinfo
_set_fmode
_time32
_utime32
_vcprintf
_vcwprintf
_wctime32
_wutime32
'

# True when $2 (a function of DLL $1) is on a deny-list.
is_denied() {
  local dll=${1,,} name=$2 pattern lists=$denied_any
  [ "$dll" = msvcrt.dll ] && lists+=$denied_msvcrt
  while read -r pattern; do
    [ -n "$pattern" ] || continue
    # shellcheck disable=SC2053  # the pattern is meant to match as a glob
    [[ $name == $pattern ]] && return 0
  done <<<"$lists"
  return 1
}

# "DLL<TAB>function" lines of one binary's import table.
imports_of() {
  "$objdump" -p "$1" |
    awk -F'\t' '/^\tDLL Name: / { dll = substr($0, index($0, ":") + 2); next }
                /^[ \t]*$/ { dll = ""; next }
                dll != "" && /^\t[0-9a-fA-F]+\t/ {
                  entry = $3; sub(/^ *[0-9]+ +/, "", entry); sub(/ .*$/, "", entry)
                  if (entry != "") print dll "\t" entry
                }'
}

# Objects (archive:member or file) holding an undefined reference to an imported function.
referenced_by() {
  local name=$1 lib
  local libs=()
  for lib in libstdc++.a libsupc++.a libgcc.a libgcc_eh.a libwinpthread.a libmingw32.a \
             libmingwex.a libmsvcrt.a libmoldname.a; do
    local path
    path=$(realpath -m "$("$cxx" -print-file-name="$lib" 2>/dev/null)" 2>/dev/null || true)
    [ -f "$path" ] && libs+=("$path")
  done
  while IFS= read -r -d '' lib; do libs+=("$lib"); done < <(
    find "$dir" \( -name '*.a' -o -name '*.obj' -o -name '*.o' \) -print0)
  [ ${#libs[@]} -gt 0 ] || return 0
  "$nm" -A --undefined-only "${libs[@]}" 2>/dev/null |
    awk -v s="__imp_$name" '$NF == s { sub(/:[^:]*$/, "", $1); print $1 }' |
    sed "s|^$dir/||" | sort -u
}

[ -d "$dir" ] || { echo "$dir: no such directory (skipped)"; exit 77; }
binaries=$(find "$dir" -name CMakeFiles -prune -o -type f \( -iname '*.exe' -o -iname '*.dll' \) \
  -print | sort)
[ -n "$binaries" ] || { echo "no .exe or .dll under $dir (skipped)"; exit 77; }

failed=0
declare -A offenders=()  # function -> binaries that import it
while read -r binary; do
  table=$(imports_of "$binary")
  echo "== $binary"
  bad=""
  current=""
  while IFS=$'\t' read -r dll name; do
    [ -n "$dll" ] || continue
    if [ $quiet -eq 0 ] && [ "$dll" != "$current" ]; then
      echo "  $dll"
      current=$dll
    fi
    if is_denied "$dll" "$name"; then
      bad+="  DENIED $dll!$name"$'\n'
      offenders[$name]+=" ${binary##*/}"
    elif [ $quiet -eq 0 ]; then
      echo "    $name"
    fi
  done <<<"$table"
  if [ -n "$bad" ]; then
    printf '%s' "$bad"
    failed=1
  else
    echo "  ok: nothing newer than XP SP2 ($(grep -c . <<<"$table") imports)"
  fi
done <<<"$binaries"

if [ $failed -ne 0 ]; then
  echo
  echo "Imports newer than Windows XP SP2, and the objects that reference them:"
  for name in $(printf '%s\n' "${!offenders[@]}" | sort); do
    echo "  $name (in${offenders[$name]})"
    refs=$(referenced_by "$name")
    if [ -n "$refs" ]; then
      sed 's/^/      referenced by /' <<<"$refs"
    else
      echo "      referenced by: not found in the build's objects or the static runtime"
    fi
  done
fi
exit $failed
