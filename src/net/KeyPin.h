#pragma once

#include <QByteArray>

// The pin of a certificate's public key as ftps_known_hosts keeps it: "sha256//" and the
// base64 of the SHA-256 of its SubjectPublicKeyInfo (what curl and OpenSSL's command line make
// of it). `certificate` is an OpenSSL X509*; empty when the key cannot be read.
QByteArray publicKeyPin(void* certificate);
