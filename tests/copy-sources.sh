#!/usr/bin/env bash
# Copies the project's sources as git sees them (tracked files and new ones not ignored, as they are on
# disk, without build folders) into an empty folder:
#   copy-sources.sh SOURCE_DIR DESTINATION
set -euo pipefail
source_dir=$1 destination=$2

mkdir -p "$destination"
files=()
while IFS= read -r -d '' file; do
  # A tracked file deleted from the working tree is not part of these sources.
  if [ -e "$source_dir/$file" ]; then files+=("$file"); fi
done < <(git -C "$source_dir" ls-files -z --cached --others --exclude-standard)
[ ${#files[@]} -gt 0 ] || { echo "copy-sources: git lists no files in $source_dir" >&2; exit 1; }
tar -C "$source_dir" -cf - -- "${files[@]}" | tar -C "$destination" -xf -
