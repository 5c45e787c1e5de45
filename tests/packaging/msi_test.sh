#!/usr/bin/env bash
# The Windows installer under wine, in a prefix of the test's own: installs
# the MSI, runs the installed vexu-cli.exe (--version, a simulated run),
# installs a newer version over it (one installed product, the new version;
# the older one is then refused), uninstalls it and finds nothing left: no
# program folder, no Start-menu shortcut, no uninstall entry, no key.
#   msi_test.sh WORK_DIR MSI VERSION WIXL WXS WINE_RUN WIXL_DIR PROGRAMS_FILE
# (PROGRAMS_FILE: wixl's -D arguments naming the programs, one a line, as
# the build gave them to wixl in WIXL_DIR)
set -uo pipefail
work=$1 msi=$2 version=$3 wixl=$4 wxs=$5 wine_run=$6 wixl_dir=$7
mapfile -t defines < "$8"

export WINEPREFIX=$work/prefix WINEDEBUG=-all
# No desktop entries in the host's menus for the shortcut, no Mono or Gecko.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
export HOME=$work/home XDG_DATA_HOME=$work/home/share XDG_CONFIG_HOME=$work/home/config
export LOCALAPPDATA=$work/state
mkdir -p "$work" "$HOME"
# The prefix is kept from one run to the next only when the last one left it
# clean; otherwise wine makes a new one.
[ -f "$work/clean" ] || rm -rf "$WINEPREFIX" "$WINEPREFIX.lock"
rm -f "$work/clean"

failures=()
fail() { failures+=("$*"); echo "FAIL: $*"; }
# wine-run makes the prefix; then one wine server serves every program
# the test starts, and ends with the test.
"$wine_run" uninstaller --list < /dev/null > /dev/null 2>&1 || fail "wine cannot start in $WINEPREFIX"
/usr/lib/wine/wineserver -p
trap '/usr/lib/wine/wineserver -k' EXIT
wine() { /usr/lib/wine/wine64 "$@" < /dev/null; }
windows_path() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }
install_dir="$WINEPREFIX/drive_c/Program Files/Vexu Dual Programmer"
# The Start-menu folder: all users' on Windows, the user's own under wine.
menu_dirs=("$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Vexu Dual Programmer"
           "$WINEPREFIX/drive_c/users/${USER:-$(id -un)}/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Vexu Dual Programmer")
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
# The installed products named "Vexu Dual Programmer" in the uninstall
# list, one product code a line.
products() { wine uninstaller --list | tr -d '\r' | sed -n 's/^\({[0-9A-F-]*}\)|||Vexu Dual Programmer$/\1/p'; }
display_version() {
  wine reg query "$uninstall_key\\$1" /v DisplayVersion | tr -d '\r' | awk '$1 == "DisplayVersion" { print $3 }'
}
msiexec() {  # WHAT ARGS...: msiexec's status
  local what=$1
  shift
  wine msiexec "$@" /qn /l*v "$(windows_path "$work/$what.log")" > /dev/null 2>&1
}

# The window comes with the installer when the build makes it.
with_window=0
for d in "${defines[@]}"; do [[ $d == WindowExe=* ]] && with_window=1; done

# 1. Install.
msiexec install /i "$(windows_path "$msi")" || fail "msiexec /i exited $?"
for exe in vexu-cli.exe $( ((with_window)) && echo vexu-programmer.exe); do
  [ -f "$install_dir/$exe" ] || fail "$exe is not in Program Files"
done
if ((with_window)); then
  shortcut=$(ls "${menu_dirs[0]}/Vexu Dual Programmer.lnk" "${menu_dirs[1]}/Vexu Dual Programmer.lnk" 2>/dev/null | head -1)
  if [ -z "$shortcut" ]; then
    fail "no Start-menu shortcut ($(find "$WINEPREFIX/drive_c" -name '*.lnk' | head -3))"
  else
    grep -qaF 'vexu-programmer.exe' "$shortcut" || fail "the Start-menu shortcut does not lead to vexu-programmer.exe"
  fi
fi
mapfile -t installed < <(products)
[ "${#installed[@]}" -eq 1 ] || fail "${#installed[@]} uninstall entries after installing, not 1"
[ "$(display_version "${installed[0]:-none}")" = "$version" ] || fail "the uninstall entry does not say version $version"

# 2. The installed program runs.
wine "$install_dir/vexu-cli.exe" --version > "$work/version.out" 2>&1
grep -qF "$version" "$work/version.out" || fail "installed vexu-cli.exe --version: $(head -1 "$work/version.out")"
wine "$install_dir/vexu-cli.exe" --simulate run > "$work/run.out" 2>&1 || fail "installed vexu-cli.exe --simulate run exited $?: $(tail -1 "$work/run.out")"

# 3. A newer version replaces it in place; the older one is then refused.
IFS=. read -r major minor patch <<< "$version"
newer=$major.$minor.$((patch + 1))
(cd "$wixl_dir" && "$wixl" -a x64 -D Version="$newer" "${defines[@]}" -o "$work/newer.msi" "$wxs") || fail "wixl could not build version $newer"
msiexec upgrade /i "$(windows_path "$work/newer.msi")" || fail "installing version $newer over $version exited $?"
mapfile -t installed < <(products)
[ "${#installed[@]}" -eq 1 ] || fail "${#installed[@]} uninstall entries after the upgrade, not 1"
[ "$(display_version "${installed[0]:-none}")" = "$newer" ] || fail "the uninstall entry does not say version $newer after the upgrade"
[ -f "$install_dir/vexu-cli.exe" ] || fail "vexu-cli.exe is gone after the upgrade"
if msiexec downgrade /i "$(windows_path "$msi")"; then
  fail "version $version installed over $newer"
fi
[ "$(products | wc -l)" -eq 1 ] || fail "the refused older version left a second entry"

# 4. Uninstall: nothing left.
msiexec uninstall /x "${installed[0]:-none}" || fail "msiexec /x exited $?"
[ ! -e "$install_dir" ] || fail "left behind: $(ls -A "$install_dir" | tr '\n' ' ')(in Program Files)"
[ ! -e "${menu_dirs[0]}" ] && [ ! -e "${menu_dirs[1]}" ] || fail "left behind: the Start-menu folder"
[ -z "$(products)" ] || fail "left behind: the uninstall entry"
wine reg query 'HKCU\Software\Vexu' > /dev/null 2>&1 && fail "left behind: HKCU\\Software\\Vexu"
wine reg query 'HKLM\Software\Vexu' > /dev/null 2>&1 && fail "left behind: HKLM\\Software\\Vexu"

if ((${#failures[@]})); then
  echo "msi test: ${#failures[@]} failures; logs in $work"
  exit 1
fi
touch "$work/clean"
echo "msi test: installed $version, upgraded to $newer, uninstalled cleanly"
