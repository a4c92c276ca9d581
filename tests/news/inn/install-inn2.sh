#!/bin/sh
# Installs Debian's INN2 for the integration tests. Run as root; safe to run
# again. The package's configure step fails when the host name carries no
# domain, so a domain is set and the configuration is finished by hand.
set -eu

if [ -x /usr/lib/news/bin/innd ] && dpkg-query -W -f='${Status}' inn2 2>/dev/null | grep -q 'install ok installed'; then
    echo "inn2 already installed"
    exit 0
fi

if [ "$(id -u)" != 0 ]; then
    echo "install-inn2.sh: must run as root" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
install_package() {
    apt-get install -y --no-install-recommends inn2 || true
}
# The first attempt is expected to stop at the configure step; a package that
# is not even unpacked needs fresh package lists.
install_package
if ! dpkg-query -W -f='${Status}' inn2 2>/dev/null | grep -q '^install ok'; then
    apt-get update
    install_package
fi

conf=/etc/news/inn.conf
if [ -f "$conf" ] && ! grep -q '^domain:' "$conf"; then
    echo 'domain: localdomain' >>"$conf"
fi
dpkg --configure -a

if [ ! -x /usr/lib/news/bin/innd ]; then
    echo "install-inn2.sh: innd missing after installation" >&2
    exit 1
fi
echo "inn2 installed"
