# Shared by scripts/run and scripts/test: packages, build, and a private Wine
# session (prefix, virtual display, persistent wineserver) that is always torn down.

R47_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
R47_BUILD=${R47_BUILD:-$R47_ROOT/build}
export R47_WINEPREFIX=${R47_WINEPREFIX:-$R47_BUILD/wineprefix}

r47_log() { printf '== %s\n' "$*" >&2; }

# Debian packages needed to build and to run under Wine.
R47_PACKAGES=(cmake ninja-build mingw-w64 g++-mingw-w64-x86-64-posix wine wine64
              fonts-wine fonts-liberation fonts-droid-fallback xvfb xauth imagemagick googletest
              clang)

r47_ensure_packages() {
  local missing=() p
  for p in "${R47_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then sudo=sudo
    else
      echo "Missing packages. Please run once:" >&2
      echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
      exit 2
    fi
  fi
  r47_log "installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

r47_build() {
  r47_log "building"
  if [ ! -f "$R47_BUILD/CMakeCache.txt" ]; then
    cmake --preset mingw -S "$R47_ROOT" >/dev/null
  fi
  cmake --build "$R47_BUILD" -j "$(nproc)" >/dev/null || { cmake --build "$R47_BUILD" -j 1; return 1; }
}

R47_XVFB_PID=""
R47_WINE_UP=""

r47_session_down() {
  if [ -n "$R47_WINE_UP" ]; then
    WINEPREFIX=$R47_WINEPREFIX wineserver -k >/dev/null 2>&1 || true
    R47_WINE_UP=""
  fi
  if [ -n "$R47_XVFB_PID" ]; then
    kill "$R47_XVFB_PID" 2>/dev/null || true
    wait "$R47_XVFB_PID" 2>/dev/null || true
    R47_XVFB_PID=""
  fi
}

# Starts a virtual display when none is set (or when asked to), and a private Wine
# session with the simulated bus installed in it.
r47_session_up() {
  local want_xvfb=${1:-auto}
  if [ "$want_xvfb" = yes ] || [ -z "${DISPLAY:-}" ]; then
    local n=$((90 + RANDOM % 400))
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    R47_XVFB_PID=$!
    export DISPLAY=":$n"
    local i
    for i in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  fi
  export WINEPREFIX=$R47_WINEPREFIX WINEDEBUG=-all
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    r47_log "creating Wine prefix $WINEPREFIX"
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
  if [ ! -f "$WINEPREFIX/.r47-settings-1" ]; then
    # Without a window manager Wine must draw captions itself, or titles vanish.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
    # One virtual desktop: without a window manager, each top-level window that closes
    # otherwise costs two seconds of waiting for the manager that never answers.
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
    touch "$WINEPREFIX/.r47-settings-1"
  fi
  # Wine draws the caption buttons with glyphs of its Marlett font; a prefix that cannot
  # find it shows the letters "0 1 r" instead. Its own copy in the prefix's font folder
  # is always found, and changes no other font.
  local fonts=$WINEPREFIX/drive_c/windows/Fonts marlett
  if [ ! -f "$fonts/marlett.ttf" ]; then
    for marlett in /usr/share/wine/fonts/marlett.ttf /usr/lib/wine/fonts/marlett.ttf \
                   /usr/lib/x86_64-linux-gnu/wine/fonts/marlett.ttf; do
      if [ -f "$marlett" ]; then mkdir -p "$fonts" && cp "$marlett" "$fonts/"; break; fi
    done
  fi
  if [ ! -f "$WINEPREFIX/.r47-fonts-1" ]; then
    # The prefix has no Tahoma, so Wine draws the dialogs and boxes in Liberation Sans,
    # which has no Chinese characters: the device's Big5 failure captions showed as
    # boxes. A link from Liberation Sans to a CJK font supplies only the characters it
    # lacks; every other glyph, and so every dialog's size, stays as it was. (Adding the
    # CJK font to Tahoma's links instead makes Wine pick it for all text.)
    local link='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' face
    for face in "Liberation Sans" "Liberation Sans Bold"; do
      wine reg add "$link" /v "$face" /t REG_MULTI_SZ /d "DroidSansFallbackFull.ttf,Droid Sans Fallback" /f \
        >/dev/null 2>&1
    done
    touch "$WINEPREFIX/.r47-fonts-1"
  fi
  # The simulated bus stands in for the system's device enumeration in this prefix only.
  if [ -f "$R47_BUILD/simbus/setupapi.dll" ]; then
    cp -f "$R47_BUILD/simbus/setupapi.dll" "$WINEPREFIX/drive_c/windows/system32/setupapi.dll"
  fi
  # A persistent wineserver makes each program start fast; Wine's services are started
  # by a first process whose output goes nowhere, so they never hold our pipes open.
  # Let a server left by the steps above (or by an earlier run) go first: only a
  # freshly started one can be made persistent.
  timeout 30 wineserver -w || wineserver -k || true
  wineserver -p
  R47_WINE_UP=1
  wine cmd /c exit >/dev/null 2>&1 </dev/null
  unset WINEDLLOVERRIDES
}
