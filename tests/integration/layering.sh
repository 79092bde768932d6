#!/usr/bin/env bash
# The source tree's layering: system headers (windows.h, POSIX) only under
# platform/ or a win32/ or posix/ folder of a subsystem, and platform/, the
# ground floor, includes no subsystem; the packer computes no floating
# point.
#   layering.sh SOURCE_ROOT
set -uo pipefail
cd "$1"
status=0
system='#include <(windows\.h|unistd\.h|fcntl\.h|dirent\.h|spawn\.h|termios\.h|sys/[a-z_]+\.h|bcrypt\.h|aclapi\.h|shlobj\.h)>'
found=$(grep -rEn "$system" --include='*.cpp' --include='*.h' \
          archive decompress extract compress launcher tools bench fuzz tests 2>/dev/null |
        grep -Ev '^[^:]*/(win32|posix)/' || true)
if [ -n "$found" ]; then
  echo "system headers outside platform/ and win32/ or posix/ folders:"
  echo "$found"
  status=1
fi
found=$(grep -rEn '#include "' platform | grep -v '#include "platform/' || true)
if [ -n "$found" ]; then
  echo "platform/ includes a subsystem:"
  echo "$found"
  status=1
fi
# The 32-bit build rounds floating point in 80-bit x87 registers and the
# 64-bit one in SSE doubles: a packer that decided by floats could pack the
# same files to different archives on the two.
found=$(grep -rEn '^[^/]*\<(float|double)\>|#include <cmath>' --include='*.cpp' --include='*.h' compress || true)
if [ -n "$found" ]; then
  echo "floating point in the packer:"
  echo "$found"
  status=1
fi
exit $status
