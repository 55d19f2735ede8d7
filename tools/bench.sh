#!/usr/bin/env bash
# Benchmarks, never run by the test command. Each section prints its figures; run all or
# name the sections:  tools/bench.sh [section ...]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

sections=("$@")
[ ${#sections[@]} -gt 0 ] || sections=(connections sign)

for s in "${sections[@]}"; do
  case "$s" in
    connections) "$root/tools/bench/connections.sh" ;;
    sign) "$root/tools/bench/sign.sh" ;;
    *) echo "unknown section: $s" >&2; exit 2 ;;
  esac
done
