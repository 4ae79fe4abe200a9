#!/usr/bin/env bash
# Checks the #include lines of the library's folders against the layers of
# docs/architecture.md: each folder may include only the folders named for it.
# Prints every include that breaks the rule; exit status 1 when there is one.
# Usage: tools/check-layers.sh
set -euo pipefail
cd "$(dirname "$0")/.."
declare -A allowed=(
  [platform]="platform"
  [w95pipe]="platform w95pipe"
  [core]="platform w95pipe core"
  [remote]="platform core remote"
  [apps]="platform core remote apps"
  [evqueue]="platform core remote evqueue"
  [comment]="platform core remote comment"
)
status=0
for folder in "${!allowed[@]}"; do
  # Lines like: core/link.cpp:11:#include "w95pipe/w95pipe.h"
  while IFS=: read -r file line text; do
    target=${text#*\"}
    target=${target%%/*}
    case " ${allowed[$folder]} " in
      *" $target "*) ;;
      *) echo "$file:$line: $folder may not include $target/" >&2; status=1 ;;
    esac
  done < <(grep -rnE '^#include "[a-z0-9_]+/' "$folder" || true)
done
[ "$status" -eq 0 ] && echo "layers: every include runs downwards"
exit "$status"
