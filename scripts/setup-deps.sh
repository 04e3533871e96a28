#!/usr/bin/env bash
# Installs what one job needs on Debian 12, and nothing more:
#
#   setup-deps.sh build     building the product (the test programs apart)
#   setup-deps.sh demo      that, and running scripts/demo.sh
#   setup-deps.sh tests     the whole test suite (scripts/test.sh)
#   setup-deps.sh bench     the benchmarks (scripts/bench*.sh)
#   setup-deps.sh package   the Debian package and its checks
#   setup-deps.sh           all of the above
#
# Several jobs may be named at once. Run as root; installs only what is
# missing, and leaves apt alone when nothing is, so a second run is quick.
set -euo pipefail

usage() {
  echo "usage: $0 [build|demo|tests|bench|package]..." >&2
  exit 2
}

# The compiler, the build tools and every library the product links
# (configuring the project looks for all of them, whatever is built).
build=(
  cmake ninja-build g++ pkgconf gettext
  # the directory: LDAP client library, HMAC-MD5 for CRAM-MD5, ndbm (gdbm's
  # compatibility layer); vkgroup's JSON
  libldap-dev libgnutls28-dev libgdbm-compat-dev nlohmann-json3-dev
  # vkweb: its HTTPS server library, PAM for its logins, zlib for its pages
  libmicrohttpd-dev libpam0g-dev zlib1g-dev
)
# What the sandboxed hosts run: the namespaces' tools, the host's process
# tools, X sessions and their clients, the screenshots, the directory
# server (slapd, its tools and the SASL plugins of its CRAM-MD5 logins), the
# group's ssh on both sides, and the real ICMP ping that /usr/sbin/ping hands
# the probe to.
hosts=(
  python3 procps iproute2 util-linux xvfb x11-apps x11-utils netpbm
  slapd ldap-utils libsasl2-modules openssh-client openssh-server iputils-ping
)
demo=("${build[@]}" "${hosts[@]}")
tests=(
  "${demo[@]}"
  # the unit tests and the end-to-end tests' runner
  libgtest-dev libgmock-dev googletest python3-pytest
  # the check of vkgroup's metrics (promtool) and of its systemd units
  # (systemd-analyze)
  prometheus systemd
  # fuzz targets (clang's libFuzzer and sanitizer runtimes), static
  # analysis, and the end-to-end run under memcheck
  clang libclang-rt-14-dev clang-tidy cppcheck valgrind
  # manual pages, bash completion and the Debian package: their checks
  # (mandoc, man-db, lintian) and the package's dependency list
  # (dpkg-shlibdeps, file)
  mandoc man-db bash-completion lintian dpkg-dev file
  # the web server's browser tests: headless Chromium driven through
  # chromedriver from Python, a font for the pages it draws, and openssl
  # for the tests' certificates and password hashes
  chromium chromium-driver python3-selenium fonts-dejavu-core openssl
)
bench=(
  # the benchmarks build the product without its test programs
  "${demo[@]}"
  # the web benchmark's group (tools/sandbox/vksbx_web.py): its desk runs
  # chromedriver, driven from Python, and openssl makes the certificate and
  # the password hashes
  chromium-driver python3-selenium openssl
  # GNU time for peak memory, Google Benchmark, wrk for the web page
  time libbenchmark-dev wrk
)
package=("${build[@]}" dpkg-dev file lintian)

packages=()
(($#)) || set -- demo tests bench package
for job in "$@"; do
  case $job in
    build) packages+=("${build[@]}") ;;
    demo) packages+=("${demo[@]}") ;;
    tests) packages+=("${tests[@]}") ;;
    bench) packages+=("${bench[@]}") ;;
    package) packages+=("${package[@]}") ;;
    *) usage ;;
  esac
done
mapfile -t packages < <(printf '%s\n' "${packages[@]}" | sort -u)

# One query for the whole set: dpkg-query names only what it knows, and
# says nothing of a package never installed, so what it does not list as
# installed is missing.
mapfile -t installed < <(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "${packages[@]}" \
  2>/dev/null | awk '$2 == "ii" { print $1 }')
missing=()
for p in "${packages[@]}"; do
  [[ " ${installed[*]-} " == *" $p "* ]] || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  # dpkg syncs every file it unpacks to the disk before the next; on a
  # fresh machine that is most of the wait. Without it, a crash in the
  # middle may leave files of the new packages unwritten, which
  # `apt-get install --reinstall` puts right.
  apt-get install -y -q --no-install-recommends -o Dpkg::Options::=--force-unsafe-io \
    "${missing[@]}"
fi
# Where the init system lets it, installing slapd starts the machine's own
# directory server. The tests and the demo run their own slapd inside
# sandboxed hosts; none is wanted on the machine itself.
if [[ " ${missing[*]-} " == *" slapd "* ]]; then
  if command -v systemctl >/dev/null && systemctl is-active --quiet slapd 2>/dev/null; then
    systemctl stop slapd
    systemctl disable --quiet slapd 2>/dev/null || true
  elif [[ -s /run/slapd/slapd.pid ]]; then
    kill "$(cat /run/slapd/slapd.pid)" 2>/dev/null || true
  fi
fi
# Likewise the Prometheus server that comes with promtool, which the tests
# only use to check the metrics' format.
if [[ " ${missing[*]-} " == *" prometheus "* ]]; then
  if command -v systemctl >/dev/null && systemctl is-active --quiet prometheus 2>/dev/null; then
    systemctl stop prometheus
    systemctl disable --quiet prometheus 2>/dev/null || true
  else
    pkill -x prometheus 2>/dev/null || true
  fi
fi
# Likewise the package's own sshd: the tests and the demo run theirs inside
# sandboxed hosts, listening only on the sandboxes' own link.
if [[ " ${missing[*]-} " == *" openssh-server "* ]]; then
  if command -v systemctl >/dev/null && systemctl is-active --quiet ssh 2>/dev/null; then
    systemctl stop ssh
    systemctl disable --quiet ssh 2>/dev/null || true
  elif [[ -s /run/sshd.pid ]]; then
    kill "$(cat /run/sshd.pid)" 2>/dev/null || true
  fi
fi
