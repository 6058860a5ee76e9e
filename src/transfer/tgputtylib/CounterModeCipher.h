#pragma once

namespace tgputty {

// Puts a faster AES counter mode (aes128-ctr, aes192-ctr, aes256-ctr) under libssh2.
//
// libssh2 encrypts each packet one 16-byte block per call into OpenSSL. Each such call into
// OpenSSL's own counter mode costs several times the block's AES, and on a fast line that is
// what limits an upload. This counter mode encrypts 256 counter blocks at a time and answers
// each call from that key stream, so a block costs an XOR.
//
// It is installed once per process as the implementation of OpenSSL's AES counter-mode
// ciphers (as they are named by EVP_aes_128_ctr() and its siblings); everything else keeps
// OpenSSL's own. Returns whether it is in place; where this OpenSSL offers no way to install
// it, OpenSSL's own counter mode serves, only slower.
bool installBulkCounterMode();

} // namespace tgputty
