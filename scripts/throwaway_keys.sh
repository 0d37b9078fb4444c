# throwaway_keys.sh - sourced: throwaway_keys DIR makes a code-signing certificate
# (self-signed, openssl) and an OpenPGP key (gpg, in DIR/gnupg) that live only in DIR,
# and exports what scripts/release.sh signs with (KQ_SIGN_PKCS12, KQ_SIGN_PASSWORD,
# KQ_GPG_KEY, GNUPGHOME) and KQ_TEST_CERT, the certificate to verify against.
# throwaway_keys_end stops the gpg-agent that signing started there.
throwaway_keys() {
  local dir=$1
  mkdir -p "$dir/gnupg"
  chmod 700 "$dir/gnupg"
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj "/CN=Throwaway Test Signer/O=KQ checks" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -keyout "$dir/key.pem" -out "$dir/cert.pem" 2>/dev/null || return 1
  openssl pkcs12 -export -inkey "$dir/key.pem" -in "$dir/cert.pem" -out "$dir/sign.p12" \
    -passout pass:kq-throwaway-pw-7f3a || return 1
  export GNUPGHOME=$dir/gnupg
  gpg --batch --quiet --passphrase '' --quick-gen-key "KQ throwaway <throwaway@example.invalid>" \
    ed25519 sign 1d 2>/dev/null || return 1
  KQ_GPG_KEY=$(gpg --batch --with-colons --list-secret-keys 2>/dev/null | awk -F: '/^fpr/ { print $10; exit }')
  export KQ_GPG_KEY KQ_SIGN_PKCS12=$dir/sign.p12 KQ_SIGN_PASSWORD=kq-throwaway-pw-7f3a KQ_TEST_CERT=$dir/cert.pem
  [ -n "$KQ_GPG_KEY" ]
}
throwaway_keys_end() {
  [ -n "${GNUPGHOME:-}" ] && gpgconf --kill gpg-agent 2>/dev/null
  return 0
}
