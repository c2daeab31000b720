# The WiX dialects that tests/wix/run builds with wixl, as filters from standard input to standard output,
# and wixl_commit for the one gap of wixl's that no filter can close. Each rule is one documented
# difference, named beside it; a construct that no rule covers reaches wixl as it is, and the tables then
# differ from those of the guide's build.
# shellcheck shell=bash

# WiX v4 and later to WiX v3, by the rules of the WiX documentation:
# - the namespace (docs.firegiant.com/wix/fourthree/: "uses a new namespace"; WIP 4561, "Migrate v3
#   Source Code to v4": http://wixtoolset.org/schemas/v4/wxs for http://schemas.microsoft.com/wix/2006/wi);
# - user variables: $(Name) in v4, $(var.Name) in v3 (wixtoolset.org/docs/tools/preprocessor/, "In WiX
#   v3, user-defined variables were referenced with the syntax $(var.MyVariable)"); names with a prefix
#   (env., sys.) stay;
# - a Custom element's condition: the Condition attribute in v4 (docs.firegiant.com/wix/schema/wxs/custom/),
#   the inner text in v3 (wixtoolset.org/docs/v3/xsd/wix/custom/, "Text node specifies the condition");
# - the file of a custom action: CustomAction/@FileRef in v4 (docs.firegiant.com/wix/schema/wxs/customaction/),
#   @FileKey in v3 (wixtoolset.org/docs/v3/xsd/wix/customaction/);
# - a Component without Guid: generated in v4 (docs.firegiant.com/wix/schema/wxs/component/), Guid="*"
#   in v3 (wixtoolset.org/docs/v3/xsd/wix/component/).
# Package (v4) for Product (v3) is the package's own element, not the include's: the check's Product.wxs.
# The v3 form of what a rule rewrites would reach wixl unchanged and build the same tables, though WiX
# v4 rejects it: the v3 namespace, FileKey, a Custom element's text for its condition. It fails here.
from_wix4() {
  local text
  text=$(cat)
  if grep -nE 'schemas\.microsoft\.com/wix/2006/wi|FileKey=|<Custom [^>]*[^/]>' <<<"$text" >&2; then
    return 1
  fi
  # shellcheck disable=SC2016 # $(Name) is WiX's, not the shell's
  sed -e 's|xmlns="http://wixtoolset.org/schemas/v4/wxs"|xmlns="http://schemas.microsoft.com/wix/2006/wi"|' \
    -e 's/\$(\([A-Za-z_][A-Za-z0-9_]*\))/$(var.\1)/g' \
    -e 's|<Custom \(.*\) Condition="\([^"]*\)" />|<Custom \1>\2</Custom>|' \
    -e 's|FileRef="|FileKey="|' \
    -e '/<Component /{/ Guid="/!s|<Component |<Component Guid="*" |}' <<<"$text"
}

# WiX v3 to what wixl 0.101 compiles, each rule a gap of wixl's, seen here:
# - <?ifdef X?> is an error ("invalid variable X"): wixl takes only <?ifdef var.X?>, which WiX v3 reads
#   too (the v3 preprocessor page shows <?ifdef IExist ?>);
# - RemoveRegistryKey is an error ("unhandled child Component node RemoveRegistryKey"): a Registry row
#   named "-" is what it stands for (learn.microsoft.com/windows/win32/msi/registry-table: "-" deletes
#   the key and its subkeys when the component is uninstalled), and wixl writes that row from a
#   RegistryValue named "-";
# - Execute="commit" is dropped without a word (Type 82, an immediate action): for_wixl leaves it, and
#   wixl_commit builds such an action deferred and then makes it a commit action in the built package,
#   as the guide's msibuild line does for TessalineWixl, each one that the text itself makes one.
for_wixl() {
  sed -e 's/<?\(ifn\{0,1\}def\) \([A-Za-z_][A-Za-z0-9_]*\)?>/<?\1 var.\2?>/g' \
    -e 's|<RemoveRegistryKey Root="\([^"]*\)" Key="\([^"]*\)" Action="removeOnUninstall" />|<RegistryValue Root="\1" Key="\2" Name="-" Type="multistring" />|'
}

# Builds product.msi in the current folder from Product.wxs and the includes beside it, in the WiX v3
# dialect, with wixl's options "$@". The actions that the preprocessed text makes commit actions are
# built deferred (the includes are rewritten for it), and then get the commit bit, 512.
wixl_commit() {
  local actions action type
  wixl -E "$@" Product.wxs >preprocessed.wxs || return
  actions=$(sed -n '/<CustomAction .* Execute="commit"/s/.* Id="\([^"]*\)".*/\1/p' preprocessed.wxs)
  sed -i 's/ Execute="commit"/ Execute="deferred"/' ./*.wxi
  wixl "$@" -o product.msi Product.wxs || return
  for action in $actions; do
    type=$(msiinfo export product.msi CustomAction | awk -F'\t' -v action="$action" '$1 == action { print $2 }')
    [ -n "$type" ] || return
    msibuild product.msi -q "UPDATE CustomAction SET Type = $((type | 512)) WHERE Action = '$action'" || return
  done
}
