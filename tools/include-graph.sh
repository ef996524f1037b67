#!/usr/bin/env bash
# Prints the include graph of the product folders, one "from -> to (files)" line per pair of
# folders, from the #include "folder/file.h" lines of their sources; then "cycle: ..." for each
# pair of folders that include each other, directly or through others. Exit status 1 if there
# is a cycle.
#   bash tools/include-graph.sh [folder...]   (default: kru nemf hostconfig krul platform)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
folders=("$@")
[ ${#folders[@]} -gt 0 ] || folders=(kru nemf hostconfig krul platform)

declare -A edge   # "from to" -> number of including files
for f in "${folders[@]}"; do
  for src in "$top/$f"/*.cc "$top/$f"/*.h; do
    [ -e "$src" ] || continue
    while read -r to; do
      [ "$to" = "$f" ] && continue
      edge["$f $to"]=$(( ${edge["$f $to"]:-0} + 1 ))
    done < <(sed -n 's/^#include "\([a-z_]*\)\/[^"]*".*/\1/p' "$src" | sort -u)
  done
done

for k in $(printf '%s\n' "${!edge[@]}" | tr ' ' '>' | sort); do
  from=${k%%>*} to=${k##*>}
  echo "$from -> $to (${edge["$from $to"]} files)"
done

# Reachability over the folder graph: a cycle is a pair that reach each other.
reaches() {   # reaches FROM TO: is there a path?
  local seen=" $1 " queue=("$1") cur k
  while [ ${#queue[@]} -gt 0 ]; do
    cur=${queue[0]}; queue=("${queue[@]:1}")
    for k in "${!edge[@]}"; do
      [ "${k%% *}" = "$cur" ] || continue
      local next=${k##* }
      [ "$next" = "$2" ] && return 0
      case "$seen" in *" $next "*) ;; *) seen+="$next "; queue+=("$next") ;; esac
    done
  done
  return 1
}
status=0
for ((i = 0; i < ${#folders[@]}; i++)); do
  for ((j = i + 1; j < ${#folders[@]}; j++)); do
    if reaches "${folders[i]}" "${folders[j]}" && reaches "${folders[j]}" "${folders[i]}"; then
      echo "cycle: ${folders[i]} <-> ${folders[j]}"
      status=1
    fi
  done
done
[ $status -eq 0 ] && echo "no cycle between folders"
exit $status
