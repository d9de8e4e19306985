#!/usr/bin/env bash
# Fails when code outside source/platform/ asks which system it is built for or includes a
# system's own headers: the front end and the print paths read the same on every system,
# and each difference lives in the seam. The service host is a Windows program alone.
set -uo pipefail
cd "$(dirname "$0")/.."

system_headers='#include <(windows|win[a-z0-9]*|ws2[a-z]*|objbase|prntvpt|xps[a-z]*|shlwapi|initguid|unistd|fcntl|dlfcn|signal|sys/[a-z]*|arpa/[a-z]*|netinet/[a-z]*|cups/[a-z]*|cairo[a-z/-]*)\.h>'
found=$(grep -rnw _WIN32 source --exclude-dir=platform
        grep -rnE "$system_headers" source --exclude-dir=platform --exclude-dir=service)
if [[ -n $found ]]; then
  echo "seam: system code outside source/platform/:"
  echo "$found"
  exit 1
fi
echo "seam: every system difference is inside source/platform/"
