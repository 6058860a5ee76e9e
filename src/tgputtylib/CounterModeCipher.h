#pragma once

#include <openssl/types.h>

namespace tgputty {

// A faster AES counter mode (aes128-ctr, aes192-ctr, aes256-ctr) for libssh2.
//
// libssh2 encrypts each packet one 16-byte block per call into OpenSSL. Each such call into
// OpenSSL's own counter mode costs several times the block's AES, and on a fast line that is
// what limits an upload. This counter mode encrypts 256 counter blocks at a time and answers
// each call from that key stream, so a block costs an XOR.
//
// Returns the cipher for a key of 16, 24 or 32 bytes, or null if OpenSSL could not make it.
// libssh2 is built into this library with its requests for OpenSSL's counter-mode ciphers
// sent here; everything else in the process keeps OpenSSL's own.
const EVP_CIPHER* bulkCounterMode(int keyLength);

} // namespace tgputty
