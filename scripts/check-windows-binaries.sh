#!/usr/bin/env bash
# Checks the Windows binaries of the x64 and x86 builds: veltonet.dll exports exactly the R_
# functions of the Linux list, the RX_ host extensions and members of the exported classes,
# all under plain names; every DLL and program imports system DLLs only, and the library's own
# hosts (the example receiver plug-in, which subclasses the exported TCPReceiver, velto.exe,
# the message-loop host test and the stream reference program) veltonet.dll besides. The x64
# build must hold velto.exe.
# Usage: check-windows-binaries.sh BUILD-WIN BUILD-WIN32
set -euo pipefail
list=veltonet/frame/ExportedFunctions_test.txt
status=0

# System DLLs that ship with every Windows since 7.
system_dlls='^(KERNEL32|USER32|ADVAPI32|WS2_32|VERSION|msvcrt|SHELL32|OLE32|GDI32)\.dll$'

exports() {  # names in the export table of a DLL
  x86_64-w64-mingw32-objdump -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk 'NR > 1 && NF { print $NF }'
}

for build in "$@"; do
  dll=$build/bin/veltonet.dll
  names=$(exports "$dll")
  if ! diff <(grep '^R_' <<<"$names" | sort) <(sort "$list") >/dev/null; then
    echo "$dll: the exported R_ functions differ from $list" >&2
    diff <(grep '^R_' <<<"$names" | sort) <(sort "$list") >&2 || true
    status=1
  fi
  for name in RX_ProcessEvents RX_RunEventLoop RX_StopEventLoop RX_GetEventFd RX_CreateObserver \
              RX_DestroyObserver RX_AddObserver RX_RemoveObserver RX_SetLogCallback; do
    grep -qx "$name" <<<"$names" || { echo "$dll: $name is not exported" >&2; status=1; }
  done
  others=$(grep -v '^RX\?_' <<<"$names" | grep -Ev '^_Z(NK?|T[VIS]N|Th[n0-9_]*NK?|Tv[n0-9_]*NK?)8veltonet' || true)
  if [ -n "$others" ]; then
    echo "$dll: exported but neither R_, RX_ nor a member of an exported class:" >&2
    echo "$others" >&2
    status=1
  fi
  if x86_64-w64-mingw32-objdump -f "$dll" | grep -q 'pei-x86-64' && [ ! -e "$build/bin/velto.exe" ]; then
    echo "$build/bin/velto.exe is missing" >&2
    status=1
  fi
  for binary in "$build"/bin/*.dll "$build"/bin/*.exe "$build"/plugins/*.dll; do
    [ -e "$binary" ] || continue
    allowed=$system_dlls
    case $(basename "$binary") in
      ReceiverPlugin.dll | velto.exe | velto-wine-stream.exe | frame_message_loop_host.exe)
        allowed="$system_dlls|^veltonet\.dll$" ;;
    esac
    foreign=$(x86_64-w64-mingw32-objdump -p "$binary" | awk '/DLL Name:/ { print $3 }' |
      grep -Eiv "$allowed" || true)
    if [ -n "$foreign" ]; then
      echo "$binary imports non-system DLLs: $foreign" >&2
      status=1
    fi
  done
done
[ $status -eq 0 ] && echo "windows binaries: exports and imports as expected ($*)"
exit $status
