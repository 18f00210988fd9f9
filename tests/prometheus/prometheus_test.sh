#!/usr/bin/env bash
# The shipped Prometheus rules and Grafana dashboard against the exporter they are for:
#   prometheus_test.sh SOURCE_DIR QUOTAMETER_CLI
# promtool checks the rules and runs their unit tests; the built quotameter-cli then writes an
# exposition from a home with a series of every family, which promtool must accept, and which
# the dashboard's and the rules' queries must name nothing beyond (check_queries.py); each
# dashboard query must return something from it.
set -euo pipefail
# The scripts run from the source tree, which gets no byte-code caches.
export PYTHONDONTWRITEBYTECODE=1
source_dir=$1 cli=$2
here=$source_dir/tests/prometheus
for tool in promtool python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (scripts/bootstrap installs it)"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

rules=$source_dir/resources/prometheus/quotameter-rules.yml
dashboard=$source_dir/resources/grafana/quotameter-dashboard.json
promtool check rules "$rules"
promtool test rules "$here/quotameter-rules.test.yml"

home=$work/home
python3 "$here/write_home.py" "$home"
HOME=$home XDG_DATA_HOME=$home/.local/share XDG_CONFIG_HOME=$home/.config \
  XDG_CACHE_HOME=$home/.cache ASAN_OPTIONS=detect_leaks=0 "$cli" metrics >"$work/exposition.txt"
promtool check metrics <"$work/exposition.txt"
python3 "$here/check_queries.py" "$work/exposition.txt" "$dashboard" "$rules" "$work"
(cd "$work" && promtool test rules dashboard-rules.test.yml)
echo "prometheus test: passed"
