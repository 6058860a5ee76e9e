#pragma once

namespace tgputty {

// The algorithms this library negotiates: what OpenSSH's client offers by default, of what
// libssh2 supports. No DSA host keys, no RSA signatures over SHA-1, no SHA-1 Diffie-Hellman
// groups, no block-chaining or 3DES ciphers. The counter-mode ciphers come shortest key first:
// on a fast line the encryption is what limits an upload.
namespace algorithms {

constexpr const char* KeyExchange =
    "curve25519-sha256,curve25519-sha256@libssh.org,ecdh-sha2-nistp256,ecdh-sha2-nistp384,"
    "ecdh-sha2-nistp521,diffie-hellman-group-exchange-sha256,diffie-hellman-group16-sha512,"
    "diffie-hellman-group18-sha512,diffie-hellman-group14-sha256";

constexpr const char* HostKeys = "ssh-ed25519,ecdsa-sha2-nistp256,ecdsa-sha2-nistp384,"
                                 "ecdsa-sha2-nistp521,rsa-sha2-512,rsa-sha2-256";

constexpr const char* Ciphers = "aes128-ctr,aes192-ctr,aes256-ctr";

constexpr const char* Macs = "hmac-sha2-256,hmac-sha2-512,hmac-sha1";

} // namespace algorithms

} // namespace tgputty
