"""Signed release statements: release keys, signatures and api/release.json.

A statement is compact JSON, keys ascending:

    {"expires":"2024-07-01T00:00:00Z","manifestSha256":"<sha256>","releaseId":"<id>","sequence":N}

signed with ECDSA P-256 over SHA-256 by Debian's openssl, and published beside
the manifest as one JSON envelope holding the statement's exact bytes and the
signature, both in base64, the signature as raw r||s (64 bytes):

    {"signature":"<base64>","statement":"<base64>"}

Launchers built with the matching public key (CMake QORN_RELEASE_KEYS) install
only a manifest that such a statement names, refuse a statement whose sequence
is below the one they accepted last, and refuse an expired one.
"""

import base64
import datetime
import hashlib
import json
import os
import re
import subprocess

# DER of a P-256 public key: this prefix (id-ecPublicKey, prime256v1, an
# uncompressed point), then X and Y.
P256_PREFIX = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d03010703420004")
STATEMENT = "release.json"
_DURATION = re.compile(r"([1-9][0-9]{0,4})([dh])")
_DATE = re.compile(r"\d{4}-\d{2}-\d{2}")
_TIME = re.compile(r"\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z")


class SigningError(Exception):
    """A key, a time or openssl refused."""


def _openssl(args, data=None):
    try:
        done = subprocess.run(["openssl", *args], input=data, capture_output=True, timeout=60)
    except FileNotFoundError:
        raise SigningError("openssl is not installed (Debian: apt-get install openssl)") from None
    if done.returncode != 0:
        lines = done.stderr.decode("utf-8", "replace").strip().splitlines()
        raise SigningError("openssl %s failed: %s" % (args[0], lines[-1] if lines else "no message"))
    return done.stdout


def public_point(pem):
    """X||Y (64 bytes) of a P-256 public key in PEM."""
    body = b"".join(line for line in pem.strip().splitlines()
                    if not line.startswith(b"-----"))
    try:
        der = base64.b64decode(body, validate=True)
    except ValueError:
        der = b""
    if len(der) != len(P256_PREFIX) + 64 or not der.startswith(P256_PREFIX):
        raise SigningError("not a P-256 (prime256v1) public key")
    return der[len(P256_PREFIX):]


def fingerprint(point):
    """A short name of a public key for people to compare: SHA-256 of X||Y, 16 hex digits."""
    return hashlib.sha256(point).hexdigest()[:16]


def key_point(key_path):
    """X||Y of the public half of a private key file; refuses any other kind of key."""
    if not os.path.isfile(key_path):
        raise SigningError("signing key %s does not exist" % key_path)
    return public_point(_openssl(["pkey", "-in", key_path, "-pubout"]))


def keygen(out):
    """Writes OUT.key (the private key, mode 0600) and OUT.pub; returns the
    public key's PEM. Existing files are never overwritten."""
    for path in (out + ".key", out + ".pub"):
        if os.path.lexists(path):
            raise SigningError("%s exists; refusing to overwrite a key" % path)
    private = _openssl(["genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"])
    public = _openssl(["pkey", "-pubout"], private)
    public_point(public)
    for path, data, mode in ((out + ".key", private, 0o600), (out + ".pub", public, 0o644)):
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
        with open(fd, "wb") as target:
            target.write(data)
    return public.decode("ascii")


def _der_item(der, at, tag):
    """(content, next offset) of the DER item of `tag` at `at` (short or one-
    or two-byte long lengths, all that a P-256 signature needs)."""
    if at + 2 > len(der) or der[at] != tag:
        raise SigningError("openssl wrote no ECDSA signature")
    length, at = der[at + 1], at + 2
    if length & 0x80:
        count = length & 0x7F
        if count not in (1, 2) or at + count > len(der):
            raise SigningError("openssl wrote no ECDSA signature")
        length, at = int.from_bytes(der[at:at + count], "big"), at + count
    if at + length > len(der):
        raise SigningError("openssl wrote no ECDSA signature")
    return der[at:at + length], at + length


def der_to_raw(der):
    """r||s, 32 bytes each, of a DER ECDSA-Sig-Value (SEQUENCE of two INTEGERs)."""
    body, end = _der_item(der, 0, 0x30)
    if end != len(der):
        raise SigningError("openssl wrote no ECDSA signature")
    r, at = _der_item(body, 0, 0x02)
    s, at = _der_item(body, at, 0x02)
    if at != len(body):
        raise SigningError("openssl wrote no ECDSA signature")
    parts = []
    for number in (r, s):
        number = number.lstrip(b"\x00")  # the sign byte before a high first bit
        if len(number) > 32:
            raise SigningError("openssl wrote no P-256 signature")
        parts.append(number.rjust(32, b"\x00"))
    return b"".join(parts)


def sign(key_path, data):
    return der_to_raw(_openssl(["dgst", "-sha256", "-sign", key_path], data))


def expiry(text, now=None):
    """The expiry time of --expires: a duration from now (30d, 36h), a day
    (2024-07-01, its start in UTC) or a UTC time (2024-07-01T12:00:00Z), as
    YYYY-MM-DDTHH:MM:SSZ; it must lie in the future."""
    now = (now or datetime.datetime.now(datetime.timezone.utc)).replace(microsecond=0)
    duration, when = _DURATION.fullmatch(text), None
    try:
        if duration:
            count, unit = int(duration.group(1)), duration.group(2)
            when = now + datetime.timedelta(days=count if unit == "d" else 0,
                                            hours=count if unit == "h" else 0)
        elif _DATE.fullmatch(text):
            when = datetime.datetime.strptime(text, "%Y-%m-%d")
        elif _TIME.fullmatch(text):
            when = datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ")
    except (ValueError, OverflowError):
        when = None
    if when is None:
        raise SigningError("--expires %r: give a duration (30d, 36h), a day (2024-07-01) or a "
                           "UTC time (2024-07-01T12:00:00Z)" % text)
    when = when.replace(tzinfo=datetime.timezone.utc)
    if when <= now:
        raise SigningError("--expires %r lies in the past" % text)
    return when.strftime("%Y-%m-%dT%H:%M:%SZ")


def statement_text(release_id, manifest_sha256, sequence, expires):
    return json.dumps({"expires": expires, "manifestSha256": manifest_sha256,
                       "releaseId": release_id, "sequence": sequence},
                      sort_keys=True, separators=(",", ":")).encode("ascii")


def envelope(statement, signature):
    return json.dumps({"signature": base64.b64encode(signature).decode("ascii"),
                       "statement": base64.b64encode(statement).decode("ascii")},
                      sort_keys=True, separators=(",", ":")).encode("ascii")


def write_statement(api_folder, key_path, release_id, manifest_sha256, sequence, expires):
    """Signs and writes api/release.json, replacing it in one step."""
    text = statement_text(release_id, manifest_sha256, sequence, expires)
    temp = os.path.join(api_folder, "." + STATEMENT + ".new")
    with open(temp, "wb") as target:
        target.write(envelope(text, sign(key_path, text)))
        target.flush()
        os.fsync(target.fileno())
    os.replace(temp, os.path.join(api_folder, STATEMENT))
