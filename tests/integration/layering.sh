#!/usr/bin/env bash
# The source tree's layering: system headers (windows.h, POSIX) only under
# platform/ or a win32/ or posix/ folder of a subsystem, and platform/, the
# ground floor, includes no subsystem.
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
exit $status
