#!/usr/bin/python3
"""Certificates for the TLS tests, made fresh in OUT_DIR.

ca.pem            a test CA (the tests make it the CA store)
good.pem/.key     for localhost and 127.0.0.1, issued by the CA
wrongname.pem/.key  for ftp.example.test only, issued by the CA
expired.pem/.key  for localhost and 127.0.0.1, issued by the CA, expired
selfsigned.pem/.key  for localhost and 127.0.0.1, its own issuer
other.pem/.key    self-signed like selfsigned, another key (a changed certificate)
fingerprints.txt  "NAME AB:CD:..." (SHA-256) per server certificate
"""
import datetime
import ipaddress
import os
import sys

from fixture_modules import require

require("cryptography")

from cryptography import x509  # noqa: E402
from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec  # noqa: E402
from cryptography.x509.oid import NameOID  # noqa: E402


def name(cn):
    return x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Tarvo Tests"),
                      x509.NameAttribute(NameOID.COMMON_NAME, cn)])


def build(subject, key, issuer, issuer_key, sans, start, end, ca=False):
    b = (x509.CertificateBuilder()
         .subject_name(subject).issuer_name(issuer)
         .public_key(key.public_key())
         .serial_number(x509.random_serial_number())
         .not_valid_before(start).not_valid_after(end)
         .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
    if sans:
        b = b.add_extension(x509.SubjectAlternativeName(sans), critical=False)
    if ca:
        b = b.add_extension(x509.KeyUsage(True, False, False, False, False, True, True, False, False),
                            critical=True)
    return b.sign(issuer_key, hashes.SHA256())


def write(out, stem, cert, key):
    with open(os.path.join(out, stem + ".pem"), "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    if key is not None:
        with open(os.path.join(out, stem + ".key"), "wb") as f:
            f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    now = datetime.datetime.now(datetime.timezone.utc)
    year = datetime.timedelta(days=365)
    local = [x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]

    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca = build(name("Tarvo Test CA"), ca_key, name("Tarvo Test CA"), ca_key, None, now - year, now + year, ca=True)
    write(out, "ca", ca, None)

    prints = []
    variants = [
        ("good", local, now - year, now + year, False),
        ("wrongname", [x509.DNSName("ftp.example.test")], now - year, now + year, False),
        ("expired", local, now - 2 * year, now - datetime.timedelta(days=1), False),
        ("selfsigned", local, now - year, now + year, True),
        ("other", local, now - year, now + year, True),
    ]
    for stem, sans, start, end, own in variants:
        key = ec.generate_private_key(ec.SECP256R1())
        subject = name("localhost" if stem != "wrongname" else "ftp.example.test")
        cert = build(subject, key, subject if own else ca.subject, key if own else ca_key, sans, start, end)
        write(out, stem, cert, key)
        digest = cert.fingerprint(hashes.SHA256()).hex().upper()
        prints.append("%s %s" % (stem, ":".join(digest[i:i + 2] for i in range(0, len(digest), 2))))
    with open(os.path.join(out, "fingerprints.txt"), "w") as f:
        f.write("\n".join(prints) + "\n")


if __name__ == "__main__":
    main()
