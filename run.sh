#!/bin/bash
# The daily job once, as a user would see it, against the local image service
# on loopback (nothing leaves this machine):
#   ./run.sh            the Linux program; on a desktop session it really
#                       changes the wallpaper
#   ./run.sh --windows  pavo.exe under Wine in a virtual desktop on a virtual
#                       display, with a screenshot of the new wallpaper
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
mode=linux
[ "${1:-}" = "--windows" ] && mode=windows

tools/install-deps "$mode"
cmake --preset linux >/dev/null && cmake --build --preset linux >/dev/null
if [ $mode = windows ]; then
  cmake --preset windows >/dev/null && cmake --build --preset windows --target pavo >/dev/null
fi

work=$(mktemp -d /tmp/pavo-demo-XXXXXX)
mkdir -p "$work/service" "$work/prog"
today=$(date +%Y%m%d)
python3 tools/sample_jpeg.py "$work/service/$today.jpg"

# The image service, bound to loopback; it ends by itself after ten minutes.
build/linux/tools/image_service/pavo_image_service --port 0 --folder "$work/service" --max-lifetime 600 \
  >"$work/service.port" 2>"$work/service.log" &
svc=$!
trap 'kill $svc 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$work/service.port" ] && break; sleep 0.1; done
port=$(head -1 "$work/service.port")

if [ $mode = windows ]; then
  cp build/windows/pavo.exe "$work/prog/"
  enc=GBK
else
  cp build/linux/pavo "$work/prog/"
  enc=UTF-8
fi
printf '[Config]\r\n开机自启动=0\r\n设为壁纸=1\r\n延迟运行=1\r\n域名=http://127.0.0.1:%s\r\n备用域名=http://127.0.0.1:%s\r\n' \
  "$port" "$port" | iconv -f UTF-8 -t $enc >"$work/prog/cfg.ini"

echo "Running the daily job in $work/prog (service on 127.0.0.1:$port) ..."
set +e
if [ $mode = windows ]; then
  tools/wine-setup
  source tools/wine-env
  # A virtual desktop on the virtual display paints the wallpaper.
  env LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 wine explorer /desktop=pavo,1024x768 "$work/prog/pavo.exe" \
    </dev/null >/dev/null 2>&1
  status=$?
  # The desktop is shown again so that it paints the stored choice, then photographed.
  env LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 wine explorer /desktop=pavo,1024x768 cmd /c "ping -n 3 127.0.0.1 >nul" \
    </dev/null >/dev/null 2>&1 &
  desktop=$!
  sleep 2
  import -display "$DISPLAY" -window root "$work/desktop.png" 2>/dev/null
  wait $desktop
  wallpaper=$(env LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 wine reg query 'HKCU\Control Panel\Desktop' /v Wallpaper 2>/dev/null \
    </dev/null | tr -d '\r' | awk -F'REG_SZ' '/Wallpaper/ {sub(/^[ \t]+/, "", $2); print $2}')
elif [ -n "${XDG_CURRENT_DESKTOP:-}" ] && [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
  # A real desktop session: its wallpaper really changes.
  "$work/prog/pavo"
  status=$?
  wallpaper=$(gsettings get org.gnome.desktop.background picture-uri 2>/dev/null \
    || echo "(stored by $XDG_CURRENT_DESKTOP in its own settings)")
else
  # No desktop session here: a GNOME desktop is stood in for by GSettings'
  # key-file store in the throw-away directory, so the choice can be shown.
  export XDG_CURRENT_DESKTOP=GNOME GSETTINGS_BACKEND=keyfile XDG_CONFIG_HOME="$work/config"
  HOME="$work/home" "$work/prog/pavo"
  status=$?
  wallpaper="$(gsettings get org.gnome.desktop.background picture-uri 2>/dev/null) (GNOME settings in $work/config; no desktop session here)"
fi
set -e

echo
img="$work/prog/img/$today.jpg"
if [ -f "$img" ]; then echo "Image of the day: $img ($(stat -c %s "$img") bytes)"; else echo "Image of the day: none"; fi
bmp="$work/prog/img/WallPaper.bmp"
if [ -f "$bmp" ]; then
  dims=$(python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(26); w,h=struct.unpack("<ii",d[18:26]); print(f"{w} x {abs(h)}")' "$bmp")
  echo "Bitmap: $bmp ($dims)"
else
  echo "Bitmap: none"
fi
echo "Wallpaper as the desktop stores it: ${wallpaper:-(empty)}"
[ $mode = windows ] && [ -f "$work/desktop.png" ] && echo "Screenshot of the desktop: $work/desktop.png"
# The service logs each request line after the time it came: "[1.136] GET ...".
echo "Requests the service saw: $(grep -cE '^\[[0-9.]+\] [A-Z]+ ' "$work/service.log" || true)"
echo "Exit status: $status ($([ $status = 0 ] && echo "today's image is kept" || echo "no image kept today"))"
