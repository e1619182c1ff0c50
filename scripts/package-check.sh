#!/usr/bin/env bash
# Builds the Debian package, checks it and installs it on this machine with apt-get, then checks
# the installed tool: the package holds the programs, desktop entry, icons, manual pages,
# completion, demo image and the line's records setup (rsyslog configurations, SQL); lintian
# finds no errors (its warnings are printed); the desktop entry is valid; the installed
# korvath-cli downloads the installed demo image into the simulated controller to "Done!"; and
# the window started from the desktop entry under Xvfb with openbox carries its icon. A picture
# of that screen is written to FILE.
# Usage: scripts/package-check.sh [--build DIR] [--screenshot FILE]
#   --build DIR        the package's build folder (default: build/package)
#   --screenshot FILE  default: DIR/installed-window.png
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/package
shot=""
while (($#)); do
  case "$1" in
    --build) build="$2"; shift ;;
    --screenshot) shot="$2"; shift ;;
    *) echo "usage: scripts/package-check.sh [--build DIR] [--screenshot FILE]" >&2; exit 2 ;;
  esac
  shift
done
shot="${shot:-$build/installed-window.png}"

scripts/install-missing.sh lintian desktop-file-utils xvfb xauth openbox x11-utils xdotool \
  imagemagick libglib2.0-bin man-db fonts-dejavu-core

deb=$(scripts/package.sh "$build" | tail -n 1)
deb=$(realpath "$deb")
echo "== package $deb"

contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for path in usr/bin/korvath usr/bin/korvath-cli usr/bin/korvath-sim \
  usr/share/applications/korvath.desktop usr/share/icons/hicolor/scalable/apps/korvath.svg \
  usr/share/icons/hicolor/{16x16,24x24,32x32,48x48,64x64,128x128,256x256}/apps/korvath.png \
  usr/share/man/man1/{korvath,korvath-cli,korvath-sim}.1.gz \
  usr/share/bash-completion/completions/korvath-cli usr/share/zsh/vendor-completions/_korvath-cli \
  usr/share/fish/vendor_completions.d/korvath-cli.fish usr/share/korvath/examples/demo.shx \
  usr/share/mime/packages/korvath.xml \
  usr/share/korvath/line/{station-rsyslog.conf,central-rsyslog.conf,schema.sql,queries.sql}; do
  if ! grep -qxF "./$path" <<<"$contents"; then
    echo "package-check: the package has no /$path" >&2
    exit 1
  fi
done
echo "holds the programs, desktop entry, .shx type, icons, manual pages, completion, demo image" \
  "and the line's records setup"

echo "== lintian (errors fail, warnings are listed)"
status=0
findings=$(lintian --fail-on error "$deb" 2>&1) || status=$?
grep -v 'running with root privileges' <<<"$findings" || echo "(none)"
if ((status)); then
  echo "package-check: lintian reports errors" >&2
  exit 1
fi

echo "== apt-get install $deb"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --reinstall "$deb"

echo "== desktop-file-validate /usr/share/applications/korvath.desktop"
desktop-file-validate /usr/share/applications/korvath.desktop
for program in korvath korvath-cli korvath-sim; do
  man -w "$program" >/dev/null
done
# The package's triggers have taught the desktop that the window opens .shx images.
# Captured first, then matched: under pipefail a matcher that stops at its first hit lets gio die
# of SIGPIPE on its next line, and the check would fail at random.
handlers=$(gio mime application/x-shx-image)
grep -qF "korvath.desktop" <<<"$handlers" ||
  { echo "package-check: .shx images do not open with korvath.desktop" >&2; exit 1; }

echo "== korvath-cli --port sim /usr/share/korvath/examples/demo.shx"
output=$(/usr/bin/korvath-cli --port sim /usr/share/korvath/examples/demo.shx)
last=$(tail -n 1 <<<"$output")
echo "$last"
if [[ $last != "Done!" ]]; then
  echo "$output" >&2
  echo "package-check: the installed korvath-cli ended with '$last'" >&2
  exit 1
fi

echo "== the window from the desktop entry, under Xvfb with openbox"
mkdir -p "$(dirname "$shot")"
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
XDG_RUNTIME_DIR="$runtime" SHOT="$(realpath -m "$shot")" \
  xvfb-run --auto-servernum --server-args="-screen 0 800x600x24 -dpi 96 -br" bash -euo pipefail -c '
    # The window first, then openbox, which frames the windows it finds when it starts: a
    # window mapped while openbox is still starting may stay unmapped.
    gio launch /usr/share/applications/korvath.desktop &
    windows=$(timeout 20 xdotool search --sync --onlyvisible --class Korvath)
    read -r window <<<"$windows"
    openbox --sm-disable 2>/dev/null &
    props=$(xprop -id "$window" _NET_WM_ICON)
    icon=$(grep -o -m 1 "Icon ([0-9]* x [0-9]*)" <<<"$props" || true)
    if [[ -z $icon ]]; then
      echo "package-check: the window carries no icon" >&2
      exit 1
    fi
    echo "the window carries its icon: $icon"
    # The picture shows the window in its openbox frame, focused, title bar and icon included.
    timeout 20 bash -c "until [[ \$(xprop -id $window _NET_FRAME_EXTENTS) == *=* ]]; do sleep 0.1; done"
    # Adopted at the top left, the title bar of its frame would be off the screen.
    xdotool windowmove --sync "$window" 40 40
    xdotool windowactivate --sync "$window" 2>/dev/null
    read -r left right top bottom < <(xprop -id "$window" _NET_FRAME_EXTENTS | tr -d , | cut -d= -f2)
    geometry=$(xwininfo -id "$window")
    x=$(awk "/Absolute upper-left X:/ { print \$4 }" <<<"$geometry")
    y=$(awk "/Absolute upper-left Y:/ { print \$4 }" <<<"$geometry")
    width=$(awk "/Width:/ { print \$2 }" <<<"$geometry")
    height=$(awk "/Height:/ { print \$2 }" <<<"$geometry")
    sleep 0.5  # openbox draws the focused frame after the focus change
    import -window root \
      -crop "$((width + left + right))x$((height + top + bottom))+$((x - left))+$((y - top))" \
      +repage "$SHOT"
    xdotool windowclose "$window" || true
    openbox --exit || true
  ' 2>&1 | { grep -v "X11 connection broke\|X connection to" || true; }
echo "$shot"
