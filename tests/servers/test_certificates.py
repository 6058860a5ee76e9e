"""A certificate authority of the tests' own and a server certificate it signs, for the test
servers that speak TLS. Clients verify the server against <folder>/ca.crt."""

import datetime
import ipaddress
import os

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID


def make_key():
    return ec.generate_private_key(ec.SECP256R1())


def make_name(text):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, text)])


def make_certificates(folder, untrusted=False, only_name=None):
    """Writes the authority to ca.crt and returns the server's certificate and key files.

    untrusted: the server's certificate is signed by itself, not by the authority.
    only_name: the certificate names only this host, not 127.0.0.1 or localhost."""
    now = datetime.datetime.now(datetime.timezone.utc)
    start, end = now - datetime.timedelta(days=1), now + datetime.timedelta(days=2)

    ca_key = make_key()
    ca_cert = (
        x509.CertificateBuilder()
        .subject_name(make_name("Orvel Test CA"))
        .issuer_name(make_name("Orvel Test CA"))
        .public_key(ca_key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(start)
        .not_valid_after(end)
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        .add_extension(
            x509.KeyUsage(
                digital_signature=True, content_commitment=False, key_encipherment=False,
                data_encipherment=False, key_agreement=False, key_cert_sign=True,
                crl_sign=True, encipher_only=False, decipher_only=False),
            critical=True)
        .sign(ca_key, hashes.SHA256())
    )
    with open(os.path.join(folder, "ca.crt"), "wb") as f:
        f.write(ca_cert.public_bytes(serialization.Encoding.PEM))

    key = make_key()
    builder = (
        x509.CertificateBuilder()
        .subject_name(make_name("localhost"))
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(start)
        .not_valid_after(end)
        .add_extension(
            x509.SubjectAlternativeName(
                [x509.DNSName(only_name)] if only_name else [
                    x509.DNSName("localhost"),
                    x509.IPAddress(ipaddress.ip_address("127.0.0.1")),
                ]),
            critical=False)
    )
    if untrusted:
        # Signed by itself: the test authority never saw it.
        cert = builder.issuer_name(make_name("localhost")).sign(key, hashes.SHA256())
    else:
        cert = builder.issuer_name(ca_cert.subject).sign(ca_key, hashes.SHA256())

    cert_file = os.path.join(folder, "server.crt")
    key_file = os.path.join(folder, "server.key")
    with open(cert_file, "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    with open(key_file, "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM,
                                  serialization.PrivateFormat.TraditionalOpenSSL,
                                  serialization.NoEncryption()))
    return cert_file, key_file
