#!/usr/bin/env bash
# Runs the updater on a sample package against a sample installation inside
# the project's Wine prefix, and prints what happened.
#
#   - sets up and builds what is missing (updater.exe, the package tool
#     ztpack.exe, the box driver);
#   - makes two versions of a small game (1.2 and 1.3: a changed readme and
#     settings file, a new nested map, a newer versioned dll, an unchanged
#     file, a file only the old version has), an English and Japanese
#     pack.xml and a splash picture, and makes the package from them with
#     ztpack build;
#   - makes the installation (version 1.2, an install.log of an earlier
#     update) and its discovery file in ProgramData, and prints ztpack
#     check's report of the package against it;
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
say "== building updater.exe and ztpack.exe ($arch) in ${build#$root/}"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target updater ztpack e2e_driver e2e_version_1_0 e2e_version_2_0 -j "$(nproc)" >/dev/null

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
mkdir -p "$demo/old/bin" "$demo/old/config" "$demo/old/maps/old" "$demo/new/bin" "$demo/new/config" \
  "$demo/new/maps/town" "$disc"
winpath() { # a path under drive_c as Windows sees it
  local p=${1#"$WINEPREFIX/drive_c/"}
  printf 'C:\\%s' "${p//\//\\}"
}
hostpath() { # any other path of this machine, on Wine's drive Z:
  printf 'Z:%s' "${1//\//\\}"
}

say "== the two versions of the game: $(winpath "$demo/old") (1.2) and $(winpath "$demo/new") (1.3)"
startup() { printf '<?xml version="1.0" encoding="UTF-8"?>\r\n<startup><version><major>%s</major><minor>%s</minor></version></startup>\r\n' "$1" "$2"; }
startup 1 2 >"$demo/old/config/startup.xml"
printf 'Demo Game 1.2\r\n' >"$demo/old/readme.txt"
printf '[screen]\r\nwidth=800\r\nheight=600\r\n' >"$demo/old/bin/game.cfg"
cp "$build/tests/e2e/e2e_version_1_0.dll" "$demo/old/bin/engine.dll"
head -c 50000 /dev/urandom >"$demo/old/bin/fonts.dat"
head -c 1000 /dev/urandom >"$demo/old/maps/old/old01.map"
startup 1 3 >"$demo/new/config/startup.xml"
printf 'Demo Game 1.3\r\nWhat is new: a town map.\r\n' >"$demo/new/readme.txt"
printf '[screen]\r\nwidth=1280\r\nheight=720\r\n' >"$demo/new/bin/game.cfg"
cp "$build/tests/e2e/e2e_version_2_0.dll" "$demo/new/bin/engine.dll"
cp "$demo/old/bin/fonts.dat" "$demo/new/bin/fonts.dat"
head -c 200000 /dev/urandom >"$demo/new/maps/town/town01.map"

# The author's description of the update: an English and a Japanese text
# for each box (pack.xml, the format is in README.md).
cat >"$demo/pack.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<pack>
  <brand>ZtDemo</brand>
  <app>DemoGame</app>
  <mutex>ZtDemoGameRunning</mutex>
  <confmutex>ZtDemoConfigRunning</confmutex>
  <requires>1.2</requires>
  <version>1.3</version>
  <default>en</default>
  <language>
    <code>1033</code>
    <prefix>en</prefix>
    <title>Demo Game Update 1.3</title>
    <intro>Demo Game will be updated to version 1.3.\nPress OK to start.</intro>
    <success>The update is complete.</success>
    <version_error>This update needs Demo Game 1.2 or later.</version_error>
    <install_error>Demo Game is not installed.</install_error>
    <copy_error>Copying the files failed.</copy_error>
    <copying>Updating, please wait.</copying>
    <running>Please close Demo Game and its settings tool first.</running>
    <error_title>Update error</error_title>
  </language>
  <language>
    <code>1041</code>
    <prefix>jp</prefix>
    <title>デモゲーム アップデート 1.3</title>
    <intro>デモゲームをバージョン 1.3 にアップデートします。\nよろしいですか？</intro>
    <success>アップデートが完了しました。</success>
    <version_error>このアップデートにはバージョン 1.2 以降が必要です。</version_error>
    <install_error>デモゲームがインストールされていません。</install_error>
    <copy_error>ファイルのコピーに失敗しました。</copy_error>
    <copying>アップデート中です。しばらくお待ちください。</copying>
    <running>デモゲームと設定ツールを終了してから実行してください。</running>
    <error_title>エラー</error_title>
  </language>
</pack>
XML
run_wine "$build/tests/e2e/e2e_driver.exe" picture "$(winpath "$demo")\\splash.bmp" 640 360

say "== the author's key pair: ztpack keygen author.key (author.key.pub goes into the installation as update.key)"
run_wine "$build/pack/ztpack.exe" keygen "$(winpath "$demo")\\author.key" 2>&1 | sed 's/\r$//; s/^/   /' || true

say "== making the package with: ztpack build --old old --new new --config pack.xml --out package --splash splash.bmp --key author.key"
run_wine "$build/pack/ztpack.exe" build --old "$(winpath "$demo/old")" --new "$(winpath "$demo/new")" \
  --config "$(winpath "$demo")\\pack.xml" --out "$(winpath "$pkg")" --splash "$(winpath "$demo")\\splash.bmp" \
  --key "$(winpath "$demo")\\author.key" \
  --updater "$(hostpath "$build/app/updater.exe")" 2>&1 | sed 's/\r$//; s/^/   /' || true
[ -f "$pkg/updater.exe" ] && [ -f "$pkg/update.manifest" ] || { say "ztpack build made no package"; exit 1; }

say "== making the sample installation in $(winpath "$inst") (version 1.2)"
cp -r "$demo/old" "$inst"
cp "$demo/author.key.pub" "$inst/update.key"
printf '"readme.txt"\r\n"bin\\engine.dll"\r\n' >"$inst/install.log"
printf '<?xml version="1.0" encoding="UTF-8"?>\r\n<install><path>%s</path></install>\r\n' "$(winpath "$inst")" \
  >"$disc/DemoGame.xml"
say "   discovery file: C:\\ProgramData\\ZtDemo\\DemoGame.xml"

say "== ztpack check package --install \"$(winpath "$inst")\""
run_wine "$build/pack/ztpack.exe" check "$(winpath "$pkg")" --install "$(winpath "$inst")" 2>&1 |
  sed 's/\r$//; s/^/   /' || true

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
