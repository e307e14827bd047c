#!/usr/bin/env bash
# Checks what libveltonet.so exports: exactly the R_ functions listed in
# ExportedFunctions_test.txt, the RX_ host extensions, and the symbols of the exported classes
# in namespace veltonet (members, vtables, type information, thunks). Nothing else.
# Usage: ExportedSymbols_test.sh <libveltonet.so> <list of R_ functions>
set -euo pipefail
library=$1
expected=$2

symbols=$(nm -D --defined-only "$library" | awk '{print $3}' | sed 's/@.*//')

status=0
if ! diff <(grep '^R_' <<<"$symbols" | sort) <(sort "$expected"); then
  echo "the exported R_ functions differ from the list ('<' exported only, '>' listed only)" >&2
  status=1
fi
count=$(grep -c '^R_' <<<"$symbols" || true)
if [ "$count" -ne 126 ]; then
  echo "$count R_ functions exported, 126 expected" >&2
  status=1
fi
for name in RX_ProcessEvents RX_RunEventLoop RX_StopEventLoop RX_GetEventFd RX_CreateObserver \
            RX_DestroyObserver RX_AddObserver RX_RemoveObserver RX_SetLogCallback; do
  grep -qx "$name" <<<"$symbols" || { echo "$name is not exported" >&2; status=1; }
done
# _ZN/_ZNK: members; _ZTV/_ZTI/_ZTS: vtable and type information; _ZTh/_ZTv: thunks.
others=$(grep -v '^R_' <<<"$symbols" | grep -v '^RX_' |
  grep -Ev '^_Z(NK?|T[VIS]N|Th[n0-9_]*NK?|Tv[n0-9_]*NK?)8veltonet' || true)
if [ -n "$others" ]; then
  echo "exported but neither R_, RX_ nor a member of an exported class:" >&2
  echo "$others" >&2
  status=1
fi
# The C interface has C linkage: no R_ name may appear mangled.
if grep -q '^_Z.*R_[A-Z]' <<<"$symbols"; then
  grep '^_Z.*R_[A-Z]' <<<"$symbols" >&2
  status=1
fi
exit $status
