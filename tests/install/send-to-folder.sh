#!/usr/bin/env bash
# send-to-folder.sh HELPER: runs the file managers' "into folder" helper against stand-ins
# for the dialog tools and for ferrox, and checks what ferrox was given: the chosen folder
# with --to, every path intact (spaces, a leading dash), nothing on cancel, and the paths
# without a folder when no dialog tool is there.
set -uo pipefail
helper=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

# A PATH of stand-ins only, so that a real dialog never opens.
bin=$work/bin
mkdir -p "$bin"
ln -s "$(command -v dirname)" "$bin/dirname"
cat >"$bin/ferrox" <<'STUB'
#!/bin/sh
printf '%s\n' "$@" >"$WORK/ferrox.args"
STUB
for tool in kdialog zenity; do
  cat >"$bin/$tool" <<STUB
#!/bin/sh
echo $tool >"\$WORK/dialog"
printf '%s' "\$ANSWER"
exit "\$STATUS"
STUB
done
chmod +x "$bin"/*

# desktop | tools present | dialog's answer | dialog's status | dialog expected | ferrox's arguments
cases=(
  "KDE|kdialog zenity|/media/my backup|0|kdialog|--to;/media/my backup;--;/home/me/a b.txt;/home/me/-dir"
  "GNOME|kdialog zenity|/media/stick|0|zenity|--to;/media/stick;--;/home/me/a b.txt;/home/me/-dir"
  "GNOME|kdialog|/media/stick|0|kdialog|--to;/media/stick;--;/home/me/a b.txt;/home/me/-dir"
  "X-Cinnamon|zenity||1|zenity|"
  "KDE|kdialog||0|kdialog|"
  "XFCE|||0||--;/home/me/a b.txt;/home/me/-dir"
)
for c in "${cases[@]}"; do
  IFS='|' read -r desktop tools answer status dialog args <<<"$c"
  rm -f "$work/ferrox.args" "$work/dialog" "$work/bin/kdialog.off" "$work/bin/zenity.off"
  for tool in kdialog zenity; do
    [[ " $tools " == *" $tool "* ]] || mv "$bin/$tool" "$bin/$tool.off"
  done
  env -i PATH="$bin" WORK="$work" HOME=/home/me XDG_CURRENT_DESKTOP="$desktop" ANSWER="$answer" \
    STATUS="$status" /bin/sh "$helper" "/home/me/a b.txt" "/home/me/-dir"
  rc=$?
  for tool in kdialog zenity; do
    [[ -e "$bin/$tool.off" ]] && mv "$bin/$tool.off" "$bin/$tool"
  done
  got_dialog=$(cat "$work/dialog" 2>/dev/null)
  got_args=$( [[ -e "$work/ferrox.args" ]] && paste -sd';' "$work/ferrox.args")
  if [[ $rc -ne 0 || "$got_dialog" != "$dialog" || "$got_args" != "$args" ]]; then
    echo "FAILED: $c"
    echo "  exit $rc, dialog '$got_dialog', ferrox got '$got_args'"
    failed=1
  fi
done
((failed == 0)) && echo "the helper hands the right arguments to ferrox in every case"
exit $failed
