#!/bin/sh
# open3d's wheel loads libusb-1.0 at import; Debian ships it as libusb-1.0-0. Installs it when
# open3d cannot load and apt-get is usable (root); otherwise the benchmark leaves open3d out.
python="$1"
"$python" -c 'import open3d' >/dev/null 2>&1 && exit 0
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  apt-get update -qq && apt-get install -y -qq libusb-1.0-0 >/dev/null
fi
"$python" -c 'import open3d' >/dev/null 2>&1 || echo "open3d does not load here; the benchmark leaves it out"
exit 0
