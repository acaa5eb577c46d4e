"""A private CA and server certificates, made fresh for each run.

The CA is kept in its folder so that a restarted stand-in still matches the ca.pem the
daemons were given. A second, "foreign" CA signs a certificate that no client trusts.
"""

import datetime
import ipaddress
import os

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

CA_CERT = "ca.pem"
CA_KEY = "ca.key"
SERVER_CERT = "server.pem"
SERVER_KEY = "server.key"
FOREIGN_CA_CERT = "foreign-ca.pem"
FOREIGN_CERT = "foreign.pem"
FOREIGN_KEY = "foreign.key"
MISNAMED_CERT = "misnamed.pem"
MISNAMED_KEY = "misnamed.key"
MISNAMED_NAME = "another-host.invalid"


def _name(common_name):
    return x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Gateway test cloud"),
                      x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


def _validity(builder, days):
    now = datetime.datetime.now(datetime.timezone.utc)
    return builder.not_valid_before(now - datetime.timedelta(hours=1)).not_valid_after(
        now + datetime.timedelta(days=days))


def make_ca(common_name):
    """Returns (certificate, key) of a self-signed CA."""
    key = ec.generate_private_key(ec.SECP256R1())
    ski = x509.SubjectKeyIdentifier.from_public_key(key.public_key())
    builder = x509.CertificateBuilder().subject_name(_name(common_name)).issuer_name(
        _name(common_name)).public_key(key.public_key()).serial_number(x509.random_serial_number())
    builder = _validity(builder, 3650)
    builder = builder.add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
    builder = builder.add_extension(
        x509.KeyUsage(digital_signature=False, content_commitment=False, key_encipherment=False,
                      data_encipherment=False, key_agreement=False, key_cert_sign=True,
                      crl_sign=True, encipher_only=False, decipher_only=False), critical=True)
    builder = builder.add_extension(ski, critical=False)
    builder = builder.add_extension(
        x509.AuthorityKeyIdentifier.from_issuer_subject_key_identifier(ski), critical=False)
    return builder.sign(key, hashes.SHA256()), key


def make_server_cert(ca_cert, ca_key, ip, dns_names):
    """Returns (certificate, key) for a server reached as `ip` or any of `dns_names`."""
    key = ec.generate_private_key(ec.SECP256R1())
    alt = [x509.IPAddress(ipaddress.ip_address(ip))] if ip else []
    alt += [x509.DNSName(n) for n in dns_names]
    builder = x509.CertificateBuilder().subject_name(_name(dns_names[0] if dns_names else ip))
    builder = builder.issuer_name(ca_cert.subject).public_key(key.public_key())
    builder = _validity(builder.serial_number(x509.random_serial_number()), 365)
    builder = builder.add_extension(x509.BasicConstraints(ca=False, path_length=None),
                                    critical=True)
    builder = builder.add_extension(
        x509.KeyUsage(digital_signature=True, content_commitment=False, key_encipherment=False,
                      data_encipherment=False, key_agreement=False, key_cert_sign=False,
                      crl_sign=False, encipher_only=False, decipher_only=False), critical=True)
    builder = builder.add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]),
                                    critical=False)
    builder = builder.add_extension(x509.SubjectAlternativeName(alt), critical=False)
    builder = builder.add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()),
                                    critical=False)
    builder = builder.add_extension(
        x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key()), critical=False)
    return builder.sign(ca_key, hashes.SHA256()), key


def _write(path, data, private=False):
    tmp = path + ".tmp"
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600 if private else 0o644)
    with os.fdopen(fd, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def _cert_pem(cert):
    return cert.public_bytes(serialization.Encoding.PEM)


def _key_pem(key):
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def _load_ca(folder):
    cert_path, key_path = os.path.join(folder, CA_CERT), os.path.join(folder, CA_KEY)
    if not (os.path.exists(cert_path) and os.path.exists(key_path)):
        return None
    try:
        with open(cert_path, "rb") as f:
            cert = x509.load_pem_x509_certificate(f.read())
        with open(key_path, "rb") as f:
            key = serialization.load_pem_private_key(f.read(), None)
    except (ValueError, TypeError):
        return None
    if cert.public_key().public_numbers() != key.public_key().public_numbers():
        return None
    return cert, key


class CertSet:
    """File paths of the trusted and the foreign server certificates in one folder."""

    def __init__(self, folder):
        self.folder = folder
        self.ca_file = os.path.join(folder, CA_CERT)
        self.cert_file = os.path.join(folder, SERVER_CERT)
        self.key_file = os.path.join(folder, SERVER_KEY)
        self.foreign_ca_file = os.path.join(folder, FOREIGN_CA_CERT)
        self.foreign_cert_file = os.path.join(folder, FOREIGN_CERT)
        self.foreign_key_file = os.path.join(folder, FOREIGN_KEY)
        self.misnamed_cert_file = os.path.join(folder, MISNAMED_CERT)
        self.misnamed_key_file = os.path.join(folder, MISNAMED_KEY)


def prepare(folder, ip, dns_names=("localhost",)):
    """Writes the certificates into `folder` (reusing its CA if there is one); returns a CertSet."""
    os.makedirs(folder, exist_ok=True)
    dns_names = list(dns_names)
    files = CertSet(folder)
    loaded = _load_ca(folder)
    if loaded:
        ca_cert, ca_key = loaded
    else:
        ca_cert, ca_key = make_ca("Gateway test cloud CA")
        _write(os.path.join(folder, CA_KEY), _key_pem(ca_key), private=True)
        _write(files.ca_file, _cert_pem(ca_cert))
    cert, key = make_server_cert(ca_cert, ca_key, ip, dns_names)
    _write(files.key_file, _key_pem(key), private=True)
    _write(files.cert_file, _cert_pem(cert))

    # Same names, different issuer: a client can only reject it for the issuer.
    foreign_ca, foreign_ca_key = make_ca("Unknown CA")
    cert, key = make_server_cert(foreign_ca, foreign_ca_key, ip, dns_names)
    _write(files.foreign_ca_file, _cert_pem(foreign_ca))
    _write(files.foreign_key_file, _key_pem(key), private=True)
    _write(files.foreign_cert_file, _cert_pem(cert))

    # Trusted issuer, another name: a client can only reject it for the name.
    cert, key = make_server_cert(ca_cert, ca_key, None, [MISNAMED_NAME])
    _write(files.misnamed_key_file, _key_pem(key), private=True)
    _write(files.misnamed_cert_file, _cert_pem(cert))
    return files
