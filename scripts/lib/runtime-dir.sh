# A private runtime directory for Wine where the environment names none (a container, a chroot, a CI job or
# su: no login session sets XDG_RUNTIME_DIR there). Wine 10's display drivers look there for a Wayland
# socket, and libwayland prints "error: XDG_RUNTIME_DIR is invalid or not set in the environment." otherwise,
# which a reader takes for the program's own failure. Owned by the user and mode 0700, as freedesktop.org's
# base-directory rules ask of it; under /tmp, whose short path leaves room for a socket's name.
# shellcheck shell=bash
if [ -z "${XDG_RUNTIME_DIR:-}" ] || [ ! -d "$XDG_RUNTIME_DIR" ]; then
  runtime_dir=${TMPDIR:-/tmp}/tessaline-runtime-$(id -u)
  mkdir -m 0700 -p "$runtime_dir" 2>/dev/null || true
  # One of another user's, or a link planted there, is not taken: a fresh one of its own instead.
  if [ -L "$runtime_dir" ] || [ ! -O "$runtime_dir" ] || [ "$(stat -c %a "$runtime_dir")" != 700 ]; then
    runtime_dir=$(mktemp -d "${TMPDIR:-/tmp}/tessaline-runtime-XXXXXX")
  fi
  export XDG_RUNTIME_DIR=$runtime_dir
  unset runtime_dir
fi
