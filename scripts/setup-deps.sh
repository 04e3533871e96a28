#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on Debian 12.
# Run as root; installs only what is missing, so a second run is quick.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ gettext libgtest-dev libgmock-dev googletest
  # end-to-end tests: sandboxed hosts, the host's process tools, X sessions
  python3 python3-pytest procps iproute2 util-linux xvfb x11-apps x11-utils netpbm
  # the real ICMP ping that /usr/sbin/ping hands the probe to
  iputils-ping
  # the directory: LDAP client library, HMAC-MD5 for CRAM-MD5, ndbm (gdbm's
  # compatibility layer); slapd, its tools and the SASL plugins for the tests
  libldap-dev libgnutls28-dev libgdbm-compat-dev slapd ldap-utils libsasl2-modules
  # the failover group: vkrcmd's ssh, and the sshd of the tests' sandboxed hosts;
  # vkgroup's JSON output, the check of its metrics (promtool) and of its
  # systemd units (systemd-analyze)
  openssh-client openssh-server nlohmann-json3-dev prometheus systemd
  # the performance benchmark: GNU time for peak memory, Google Benchmark
  time libbenchmark-dev
  # hardening: fuzz targets (clang's libFuzzer and sanitizer runtimes), static
  # analysis, and the end-to-end run under memcheck
  clang libclang-rt-14-dev clang-tidy cppcheck valgrind
  # manual pages, bash completion and the Debian package: their checks
  # (mandoc, man-db, lintian) and the package's dependency list
  # (dpkg-shlibdeps, file)
  mandoc man-db bash-completion lintian dpkg-dev file
  # the web server's browser tests: headless Chromium driven through chromedriver
  # from Python, a font for the pages it draws, and openssl for the tests'
  # certificates and password hashes
  chromium chromium-driver python3-selenium fonts-dejavu-core openssl
  # vkweb: its HTTPS server library, PAM for its logins, zlib for its pages,
  # and wrk for its benchmark
  libmicrohttpd-dev libpam0g-dev zlib1g-dev wrk
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
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
# Likewise the package's own sshd: the tests run theirs inside sandboxed
# hosts, listening only on the sandboxes' own link.
if [[ " ${missing[*]-} " == *" openssh-server "* ]]; then
  if command -v systemctl >/dev/null && systemctl is-active --quiet ssh 2>/dev/null; then
    systemctl stop ssh
    systemctl disable --quiet ssh 2>/dev/null || true
  elif [[ -s /run/sshd.pid ]]; then
    kill "$(cat /run/sshd.pid)" 2>/dev/null || true
  fi
fi
