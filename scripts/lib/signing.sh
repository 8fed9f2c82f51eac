# Authenticode signing of the program, shared by scripts/release and its test.
# The certificate and key are named by the environment, never by a file of the project:
#   R47_SIGN_PFX, R47_SIGN_PASSWORD            a PKCS#12 file and its password, or
#   R47_SIGN_CERT, R47_SIGN_KEY                PEM files (R47_SIGN_KEY_PASSWORD if the
#                                              key is encrypted)
#   R47_SIGN_CAFILE      the certificates the signature is verified against (default:
#                        the system's; a self-signed certificate names itself)
#   R47_SIGN_TIMESTAMP   an RFC 3161 time-stamping address, so that the signature
#                        outlives the certificate (optional)

r47_signing_wanted() {
  [ -n "${R47_SIGN_PFX:-}" ] || [ -n "${R47_SIGN_CERT:-}" ]
}

# Signs an exe into a new file with osslsigncode, then verifies the signature and that
# the signed file is the unsigned one plus its signature. Passwords go through a pipe,
# never on a command line.
r47_sign() { # unsigned signed
  local in=$1 out=$2 key=()
  if [ -n "${R47_SIGN_PFX:-}" ]; then
    key=(-pkcs12 "$R47_SIGN_PFX")
    [ -n "${R47_SIGN_PASSWORD:-}" ] && key+=(-readpass /dev/fd/3)
  elif [ -n "${R47_SIGN_CERT:-}" ] && [ -n "${R47_SIGN_KEY:-}" ]; then
    key=(-certs "$R47_SIGN_CERT" -key "$R47_SIGN_KEY")
    [ -n "${R47_SIGN_KEY_PASSWORD:-}" ] && key+=(-readpass /dev/fd/3)
  else
    echo "signing needs R47_SIGN_PFX, or R47_SIGN_CERT and R47_SIGN_KEY" >&2
    return 2
  fi
  local ts=()
  [ -n "${R47_SIGN_TIMESTAMP:-}" ] && ts=(-ts "$R47_SIGN_TIMESTAMP")
  rm -f "$out"
  osslsigncode sign "${key[@]}" "${ts[@]}" -h sha256 -n "r47flash" -in "$in" -out "$out" >/dev/null \
    3< <(printf '%s' "${R47_SIGN_PASSWORD:-${R47_SIGN_KEY_PASSWORD:-}}") || return 1
  local ca=()
  [ -n "${R47_SIGN_CAFILE:-}" ] && ca=(-CAfile "$R47_SIGN_CAFILE")
  if ! osslsigncode verify "${ca[@]}" -in "$out" >"$out.verify" 2>&1; then
    echo "the signature of $out does not verify:" >&2
    tail -n 5 "$out.verify" >&2
    rm -f "$out.verify"
    return 1
  fi
  rm -f "$out.verify"
  r47_signed_matches "$in" "$out"
}

# Whether a signed exe is the unsigned one plus its signature: the same bytes except
# the header's checksum and certificate-table entry, then zeros up to the 8-byte
# boundary, then the certificate table, and nothing after it. This is how anyone who
# rebuilt the unsigned program checks a signed release against it.
r47_signed_matches() { # unsigned signed
  local unsigned=$1 signed=$2
  u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
  local pe checksum table
  pe=$(u32 "$unsigned" 60)
  checksum=$((pe + 24 + 64))  # PE32 optional header: CheckSum
  table=$((pe + 24 + 128))    # PE32 data directory 4: the certificate table
  local at a b
  while read -r at a b; do
    at=$((at - 1))
    if ! { [ "$at" -ge "$checksum" ] && [ "$at" -lt $((checksum + 4)) ]; } &&
       ! { [ "$at" -ge "$table" ] && [ "$at" -lt $((table + 8)) ]; }; then
      echo "$signed differs from $unsigned at byte $at, outside the checksum and the certificate entry" >&2
      return 1
    fi
  done < <(cmp -l "$unsigned" "$signed" 2>/dev/null)
  local ulen slen start size
  ulen=$(stat -c %s "$unsigned")
  slen=$(stat -c %s "$signed")
  start=$(u32 "$signed" "$table")
  size=$(u32 "$signed" $((table + 4)))
  if [ "$start" -lt "$ulen" ] || [ $((start - ulen)) -ge 8 ] || [ "$slen" -ne $((start + size)) ] ||
     [ "$size" -eq 0 ]; then
    echo "$signed is not $unsigned with a certificate table appended (program $ulen bytes," \
         "table at $start, $size bytes, file $slen bytes)" >&2
    return 1
  fi
  if [ "$start" -gt "$ulen" ] && ! cmp -s -n $((start - ulen)) <(tail -c +$((ulen + 1)) "$signed") /dev/zero; then
    echo "$signed has other bytes than padding before its certificate table" >&2
    return 1
  fi
}
