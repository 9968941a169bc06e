#!/usr/bin/env bash
# Runs the updater on a sample package against a sample installation inside
# the project's Wine prefix, and prints what happened.
#
#   - sets up and builds what is missing (updater.exe, the image tool, the
#     box driver);
#   - makes the package: a splash picture (converted to RA-3 with the image
#     tool), an English and a Japanese description, a data folder with nested
#     files and a versioned dll;
#   - makes the installation (version 1.2, an older engine.dll, an install.log
#     of an earlier update) and its discovery file in ProgramData;
#   - runs updater.exe from the package folder. With a display the window is
#     visible and you answer the boxes; without one it runs under Xvfb, the
#     driver answers every box with OK and saves a screenshot of the splash;
#   - prints the boxes shown, the files installed and the new install.log.
#
# ZT_DEMO_AUTO=1 answers the boxes even when a display exists.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

say() { printf '%s\n' "$*"; }

bash scripts/setup.sh >/dev/null || { say "setup failed"; exit 1; }

# The product is the i686 build; a kernel that cannot run 32-bit programs
# gets the same sources built for x86_64.
if /usr/lib/wine/wine --version >/dev/null 2>&1 && [ "${ZT_DEMO_ARCH:-}" != x86_64 ]; then
  build="$root/build/win32"; toolchain="$root/cmake/i686-w64-mingw32.cmake"; arch=i686
else
  build="$root/build/win64"; toolchain="$root/cmake/x86_64-w64-mingw32.cmake"; arch=x86_64
fi
say "== building updater.exe ($arch) in ${build#$root/}"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target updater ztimage e2e_driver e2e_version_1_0 e2e_version_2_0 -j "$(nproc)" >/dev/null

# A display: the one given, or a private Xvfb.
auto=${ZT_DEMO_AUTO:-0}
# (xwd comes with x11-apps, which the setup installs; it fails without a
# reachable X server.)
if [ -z "${DISPLAY:-}" ] || ! xwd -root -silent >/dev/null 2>&1; then
  # On a display nobody uses, as scripts/test.sh does.
  source "$root/scripts/xvfb-env.sh" || { say "Xvfb did not start"; kill "$ZT_XVFB_PID" 2>/dev/null; exit 1; }
  trap 'kill $ZT_XVFB_PID 2>/dev/null' EXIT
  auto=1
fi
source "$root/scripts/wine-env.sh"
wine=/usr/lib/wine/wine64
[ "$arch" = i686 ] && wine=/usr/lib/wine/wine
# Wine's desktop process notes it when the private display goes away at the
# end; that line is expected and left out.
run_wine() { "$wine" "$@" 2> >(grep -v '^X connection to' >&2); }

# Everything the demo makes lives under C:\zt-demo in the prefix, plus the
# discovery file in ProgramData; both are made anew on every run.
demo="$WINEPREFIX/drive_c/zt-demo"
pkg="$demo/package"
inst="$demo/Demo Game"
disc="$WINEPREFIX/drive_c/ProgramData/ZtDemo"
rm -rf "$demo" "$disc"
mkdir -p "$pkg/data/bin" "$pkg/data/maps/town" "$inst/config" "$inst/bin" "$disc"
winpath() { # a path under drive_c as Windows sees it
  local p=${1#"$WINEPREFIX/drive_c/"}
  printf 'C:\\%s' "${p//\//\\}"
}

say "== making the sample package in $(winpath "$pkg")"
cp "$build/app/updater.exe" "$pkg/updater.exe"
run_wine "$build/tests/e2e/e2e_driver.exe" picture "$(winpath "$demo")\\splash.bmp" 640 360
run_wine "$build/tools/ztimage.exe" convert "$(winpath "$demo")\\splash.bmp" \
  "$(winpath "$pkg")\\updatebg.ra3" --form strips >/dev/null
say "   updatebg.ra3: $(stat -c %s "$pkg/updatebg.ra3") bytes, made with: ztimage convert splash.bmp updatebg.ra3 --form strips"

cat >"$pkg/updateinfo.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<document>
  <brand>ZtDemo</brand>
  <app>DemoGame</app>
  <mutex>ZtDemoGameRunning</mutex>
  <confmutex>ZtDemoConfigRunning</confmutex>
  <version><major>1</major><minor>2</minor></version>
  <language>
    <default>en</default>
    <lang00><code>1033</code><prifix>en</prifix></lang00>
    <lang01><code>1041</code><prifix>jp</prifix></lang01>
  </language>
  <en>
    <message>
      <wndtitle>Demo Game Update 1.3</wndtitle>
      <intoro>Demo Game will be updated to version 1.3.\nPress OK to start.</intoro>
      <success>The update is complete.</success>
      <error_version>This update needs Demo Game 1.2 or later.</error_version>
      <error_inst>Demo Game is not installed.</error_inst>
      <error_copy>Copying the files failed.</error_copy>
    </message>
    <message_sys><copying>Updating, please wait.</copying></message_sys>
    <message_error>
      <boot>Please close Demo Game and its settings tool first.</boot>
      <title>Update error</title>
    </message_error>
  </en>
  <jp>
    <message>
      <wndtitle>デモゲーム アップデート 1.3</wndtitle>
      <intoro>デモゲームをバージョン 1.3 にアップデートします。\nよろしいですか？</intoro>
      <success>アップデートが完了しました。</success>
      <error_version>このアップデートにはバージョン 1.2 以降が必要です。</error_version>
      <error_inst>デモゲームがインストールされていません。</error_inst>
      <error_copy>ファイルのコピーに失敗しました。</error_copy>
    </message>
    <message_sys><copying>アップデート中です。しばらくお待ちください。</copying></message_sys>
    <message_error>
      <boot>デモゲームと設定ツールを終了してから実行してください。</boot>
      <title>エラー</title>
    </message_error>
  </jp>
</document>
XML
printf 'Demo Game 1.3\r\nWhat is new: a town map.\r\n' >"$pkg/data/readme.txt"
printf '[screen]\r\nwidth=1280\r\nheight=720\r\n' >"$pkg/data/bin/game.cfg"
head -c 200000 /dev/urandom >"$pkg/data/maps/town/town01.map"
cp "$build/tests/e2e/e2e_version_2_0.dll" "$pkg/data/bin/engine.dll"

say "== making the sample installation in $(winpath "$inst") (version 1.2)"
printf '<?xml version="1.0" encoding="UTF-8"?>\r\n<startup><version><major>1</major><minor>2</minor></version></startup>\r\n' \
  >"$inst/config/startup.xml"
printf 'Demo Game 1.2\r\n' >"$inst/readme.txt"
cp "$build/tests/e2e/e2e_version_1_0.dll" "$inst/bin/engine.dll"
printf '"readme.txt"\r\n"bin\\engine.dll"\r\n' >"$inst/install.log"
printf '<?xml version="1.0" encoding="UTF-8"?>\r\n<install><path>%s</path></install>\r\n' "$(winpath "$inst")" \
  >"$disc/DemoGame.xml"
say "   discovery file: C:\\ProgramData\\ZtDemo\\DemoGame.xml"

shot="$demo/splash-screenshot.bmp"
if [ "$auto" = 1 ]; then
  say "== running updater.exe on display $DISPLAY; the driver answers every box with OK"
  run_wine "$build/tests/e2e/e2e_driver.exe" run "$(winpath "$pkg")\\updater.exe" "$(winpath "$pkg")" \
    --answer --screenshot "$(winpath "$shot")"
else
  say "== running updater.exe on $DISPLAY: answer the boxes in the window"
  run_wine "$build/tests/e2e/e2e_driver.exe" run "$(winpath "$pkg")\\updater.exe" "$(winpath "$pkg")"
fi

say "== files in the installation now"
(cd "$inst" && find . -type f | sort | while read -r f; do
  printf '   %-28s %8s bytes\n' "${f#./}" "$(stat -c %s "$f")"
done)
if cmp -s "$inst/bin/engine.dll" "$pkg/data/bin/engine.dll"; then
  say "   bin/engine.dll is the package's version 2.0 (the installed 1.0 was older)"
fi
say "== install.log"
sed 's/\r$//; s/^/   /' "$inst/install.log"
if [ -f "$shot" ]; then
  png="$root/build/demo-splash.png"
  if convert "$shot" "$png" 2>/dev/null; then say "== screenshot of the splash window: $png"; else say "== screenshot: $shot"; fi
fi
