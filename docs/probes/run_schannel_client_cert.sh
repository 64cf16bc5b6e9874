#!/bin/bash
# run_schannel_client_cert.sh KEB_CLIENTCERT_EXE PROBE_EXE: makes a test root and a client
# certificate it signed (client authentication only, with its key as a PKCS#12 file), puts
# it into the personal store of a fresh Wine prefix (keb_clientcert.exe), then runs the
# probe in both modes against openssl s_server -verify 1 (a server that asks for a client
# certificate and goes on without one) and prints the client's Certificate message from
# the server's -msg log: an empty certificate list is "0b 00 00 03 00 00 00".
set -euo pipefail
clientcert=$(realpath "$1") probe=$(realpath "$2")
work=$(mktemp -d /tmp/schannel-probe.XXXXXX)
cd "$work"
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
q() { "$@" >/dev/null 2>&1; }
q openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 2 -subj "/CN=probe root" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
q openssl req -x509 -newkey rsa:2048 -nodes -keyout server.key -out server.pem -days 2 -subj "/CN=127.0.0.1"
q openssl req -newkey rsa:2048 -nodes -keyout client.key -out client.csr -subj "/CN=probe user"
printf 'extendedKeyUsage=clientAuth\nkeyUsage=critical,digitalSignature\n' > client.ext
q openssl x509 -req -in client.csr -CA root.pem -CAkey root.key -CAcreateserial -out client.pem -days 2 -extfile client.ext
q openssl pkcs12 -export -in client.pem -inkey client.key -out client.pfx -passout pass: -keypbe PBE-SHA1-3DES \
  -certpbe PBE-SHA1-3DES -macalg sha1
q wine wineboot -i
wine "$clientcert" "$(winepath -w client.pfx)"
for mode in default nodefault explicit; do
  port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  openssl s_server -accept 127.0.0.1:$port -naccept 1 -cert server.pem -key server.key -verify 1 \
    -CAfile root.pem -tls1_2 -msg -msgfile msg-$mode.txt > out-$mode.txt 2>&1 < <(sleep 30) &
  server=$!
  for i in $(seq 1 100); do grep -q ACCEPT out-$mode.txt 2>/dev/null && break; sleep 0.1; done
  echo "== probe $mode"
  wine "$probe" $port $mode || echo "probe exit $?"
  wait $server || true
  echo "-- server: the client's Certificate message"
  grep -A2 "<<< .*Certificate$" msg-$mode.txt || echo "(none)"
  grep -E "^(verify|depth|No client|Client certificate|subject)|probe" out-$mode.txt || true
done
wineserver -k || true
echo "work folder: $work"
