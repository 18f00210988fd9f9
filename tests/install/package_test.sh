#!/usr/bin/env bash
# Builds the Debian package from this build tree, checks its file list and dependencies,
# unpacks it into a throw-away root and runs the command-line program from there.
set -euo pipefail
source_dir=$1
build=$2
version=$3
for tool in dpkg-deb dpkg-shlibdeps cpack; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/bootstrap installs dpkg-dev)"
    exit 77
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
deb=$("$source_dir/scripts/package" --from "$build" --out "$work/out" | tail -n 1)
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

[[ $(basename "$deb") == quotameter_"$version"_*.deb ]] || fail "package file named $deb"
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$work/files"
for file in /usr/bin/quotameter /usr/bin/quotameter-cli /usr/libexec/quotameter/quotameter-browser \
  /usr/share/applications/org.quotameter.Quotameter.desktop \
  /usr/share/metainfo/org.quotameter.Quotameter.metainfo.xml \
  /usr/share/icons/hicolor/scalable/apps/org.quotameter.Quotameter.svg \
  /usr/share/icons/hicolor/48x48/apps/org.quotameter.Quotameter.png \
  /usr/share/quotameter/prometheus/quotameter-rules.yml \
  /usr/share/quotameter/grafana/quotameter-dashboard.json; do
  grep -qx "$file" "$work/files" || fail "$file is not in the package"
done
# The manual pages and shell completions of both programs.
for program in quotameter quotameter-cli; do
  for file in /usr/share/man/man1/$program.1.gz /usr/share/bash-completion/completions/$program \
    /usr/share/zsh/vendor-completions/_$program /usr/share/fish/vendor_completions.d/$program.fish; do
    grep -qx "$file" "$work/files" || fail "$file is not in the package"
  done
done
# Nothing outside /usr, and nothing of the build (tests, benchmarks, static libraries).
if grep -v '^/usr/\?' "$work/files" | grep -q .; then fail "files outside /usr"; fi
if grep -E '\.a$|test_|bench_|/include/' "$work/files"; then fail "build files in the package"; fi

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# Derived from the linked libraries, so each of these shows that dpkg-shlibdeps ran.
for package in libqt6core6 libqt6widgets6 libqt6network6 libqt6webenginecore6 libsecret-1-0 \
  libqcoro6core0 libsimdjson14 libsqlite3-0 libstdc++6 qt6-qpa-plugins qt6-wayland; do
  [[ ", $depends," == *", $package"[\ ,]* ]] || fail "Depends lacks $package"
done

root=$work/root
dpkg -x "$deb" "$root"
export ASAN_OPTIONS="detect_leaks=0:${ASAN_OPTIONS:-}"
output=$(HOME=$work/home XDG_DATA_HOME=$work/home/share "$root/usr/bin/quotameter-cli" --version 2>&1) ||
  fail "the unpacked quotameter-cli failed: $output"
[[ $output == "quotameter-cli $version" ]] || fail "the unpacked quotameter-cli said: $output"
# The monitoring files arrive as they are in the tree.
for file in prometheus/quotameter-rules.yml grafana/quotameter-dashboard.json; do
  cmp -s "$source_dir/resources/$file" "$root/usr/share/quotameter/$file" ||
    fail "/usr/share/quotameter/$file differs from resources/$file"
done

((failures == 0)) || exit 1
echo "package: $(basename "$deb") with $(wc -l <"$work/files") entries"
