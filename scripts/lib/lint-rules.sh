# The rules of scripts/lint that read files alone, apart so that tests/check-rules.sh runs them on inputs
# made to break them.
# shellcheck shell=bash

# Every action of the workflows by the commit it was checked at, in full, with its release named beside it:
# a tag can be moved, and a short commit can come to name another commit as the repository grows. Prints
# each use that is not, compiler-style; false when there is one.
unpinned_actions() { # WORKFLOW...
  local workflow found=0
  for workflow in "$@"; do
    grep -n '^[[:space:]-]*uses:' "$workflow" |
      grep -Ev 'uses:[[:space:]]*(\./|[^@[:space:]]+@[0-9a-f]{40}[[:space:]]+#[[:space:]]*v[0-9])' |
      sed "s|^\([0-9]*\):[[:space:]]*|$workflow:\1: not pinned by a commit with its release in a comment: |" |
      grep . && found=1
  done
  [ $found -eq 0 ]
}
