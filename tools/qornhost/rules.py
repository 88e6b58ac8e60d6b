"""The rules the launcher applies to what an update host publishes.

A site that breaks one of them is refused whole by every launcher, so the host
tool checks them before it writes anything.
"""

import ipaddress
import re
import urllib.parse

MAX_PATH_UNITS = 230
MAX_FILES = 200_000
MAX_MANIFEST_BYTES = 64 * 1024 * 1024
MAX_TOTAL_SIZE = 2**63 - 1
MAX_LAUNCHER_SIZE = 64 * 1024 * 1024
MAX_LAUNCHERS = 2
LAUNCHER_RUNTIMES = ("win-x64", "win-x86")

_FORBIDDEN_CHARS = frozenset('\\:<>"|?*')
_DEVICE_STEMS = frozenset({"CON", "NUL", "PRN", "AUX"})
_DEVICE_DIGITS = frozenset("0123456789\u00b9\u00b2\u00b3")
_LAUNCHER_NAMES = frozenset({".QORN-LAUNCHER", "UPDATER.EXE", "QORNUPDATETOOL.EXE"})
_RELEASE_ID = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,79}")
_DIGEST = re.compile(r"[0-9a-f]{64}")
_PREFIX_SEGMENT = re.compile(r"[A-Za-z0-9._~-]+")
LOOPBACK_HOSTS = frozenset({"LOCALHOST", "127.0.0.1", "::1", "[::1]"})


class RuleError(ValueError):
    """Input that a launcher would refuse, or that the host tool cannot use."""


def shown(text):
    """A path or name as it appears in messages: control characters and bytes
    that are not UTF-8 are written as escapes."""
    out = []
    for ch in text:
        code = ord(ch)
        if 0xDC80 <= code <= 0xDCFF:  # a raw byte kept by the file-system decoder
            out.append("\\x%02x" % (code - 0xDC00))
        elif code < 0x20 or code == 0x7F:
            out.append("\\x%02x" % code)
        else:
            out.append(ch)
    return "'" + "".join(out) + "'"


def utf16_units(text):
    return len(text.encode("utf-16-le", "surrogatepass")) // 2


def case_key(text):
    """The launcher's key for case-insensitive comparison of names.

    Each UTF-16 code unit is upper-cased on its own and the key keeps the
    length of the text: a character whose upper case is not exactly one
    code unit (German sharp s, ligatures) stays as it is, and so do the two
    halves of a character outside the basic plane.
    """
    out = []
    for ch in text:
        if ord(ch) <= 0xFFFF:
            upper = ch.upper()
            if len(upper) == 1 and ord(upper) <= 0xFFFF:
                out.append(upper)
                continue
        out.append(ch)
    return "".join(out)


def _is_device_name(segment):
    stem = case_key(segment.split(".", 1)[0])
    if stem in _DEVICE_STEMS:
        return True
    return len(stem) == 4 and stem[:3] in ("COM", "LPT") and stem[3] in _DEVICE_DIGITS


def check_client_path(path):
    """Refuse a relative client path (with "/" separators) that the launcher
    would not write into a client folder."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        raise RuleError("%s: the name is not valid UTF-8" % shown(path)) from None
    units = utf16_units(path)
    if not 1 <= units <= MAX_PATH_UNITS:
        raise RuleError("%s: a path must be 1 to %d UTF-16 code units long (this one has %d)"
                        % (shown(path), MAX_PATH_UNITS, units))
    segments = path.split("/")
    for index, segment in enumerate(segments):
        if segment in ("", ".", "..") or segment.endswith((".", " ")):
            raise RuleError("%s: unsafe path segment %s (empty, '.', '..', or ending in '.' or a blank)"
                            % (shown(path), shown(segment)))
        bad = [ch for ch in segment if ch in _FORBIDDEN_CHARS or ord(ch) < 0x20]
        if bad:
            raise RuleError("%s: character %s is not allowed in Windows file names"
                            % (shown(path), shown(bad[0])))
        if _is_device_name(segment):
            raise RuleError("%s: %s is a reserved Windows device name"
                            % (shown(path), shown(segment)))
        if index == 0 and case_key(segment) in _LAUNCHER_NAMES:
            raise RuleError("%s: the top-level name %s belongs to the launcher"
                            % (shown(path), shown(segment)))


def check_release_id(release_id):
    data = release_id.encode("utf-8", "surrogateescape")
    if len(data) > 80 or ".." in release_id or not _RELEASE_ID.fullmatch(release_id):
        raise RuleError("release id %s is not valid: 1 to 80 characters, the first an ASCII "
                        "letter or digit, the others letters, digits, '-', '.' or '_', and no '..'"
                        % shown(release_id))


def check_digest(text):
    if not _DIGEST.fullmatch(text):
        raise RuleError("%s is not a SHA-256 digest in lower-case hexadecimal" % shown(text))


def parse_launcher_version(text):
    """The 64-bit value of a four-part launcher version a.b.c.d."""
    parts = text.split(".")
    if len(parts) != 4:
        raise RuleError("launcher version %s must have four parts a.b.c.d" % shown(text))
    value = 0
    for part in parts:
        if not part or not part.isascii() or not part.isdigit() or int(part) > 65535:
            raise RuleError("launcher version %s: each part must be a number from 0 to 65535"
                            % shown(text))
        value = (value << 16) | int(part)
    return value


def format_launcher_version(value):
    return ".".join(str((value >> shift) & 0xFFFF) for shift in (48, 32, 16, 0))


def is_loopback_host(host):
    return case_key(host) in LOOPBACK_HOSTS


def check_base_url(url):
    """The site's base URL: scheme, host (and port) and an optional path prefix
    that every published URL starts with. Returns it without a trailing "/"."""
    if "#" in url:
        raise RuleError("base URL %s must not contain a fragment ('#')" % shown(url))
    parts = urllib.parse.urlsplit(url)
    scheme = parts.scheme.lower()
    if scheme not in ("http", "https") or not parts.netloc:
        raise RuleError("base URL %s must be an absolute http:// or https:// URL" % shown(url))
    if "@" in parts.netloc:
        raise RuleError("base URL %s must not carry a user name or password" % shown(url))
    if "?" in url:
        raise RuleError("base URL %s must not carry a query ('?'): the launcher asks for "
                        "the manifest at <base URL>/api/manifest" % shown(url))
    path = parts.path.rstrip("/")
    if any(not _PREFIX_SEGMENT.fullmatch(s) or s in (".", "..") for s in path.split("/")[1:]):
        raise RuleError("base URL %s: each folder of the path must be ASCII letters, digits, "
                        "'-', '.', '_' or '~' (no empty, '.' or '..' folder, no %%-escapes)"
                        % shown(url))
    try:
        port = parts.port
        host = parts.hostname
    except ValueError:
        raise RuleError("base URL %s has a bad port or host" % shown(url)) from None
    if not host or port == 0 or any(ch.isspace() or ord(ch) < 0x20 for ch in url):
        raise RuleError("base URL %s has a bad port or host" % shown(url))
    if scheme == "http" and not is_loopback_host(host):
        raise RuleError("base URL %s: the launcher talks HTTPS only; plain http is accepted "
                        "for loopback hosts (127.0.0.1, localhost, ::1) alone" % shown(url))
    return "%s://%s%s" % (parts.scheme, parts.netloc, path)


def loopback_bind_address(host):
    """The address `serve` binds to: a loopback address only."""
    if case_key(host) == "LOCALHOST":
        return "127.0.0.1"
    bare = host[1:-1] if host.startswith("[") and host.endswith("]") else host
    try:
        address = ipaddress.ip_address(bare)
    except ValueError:
        raise RuleError("%s is not an IP address; the server binds to loopback addresses only "
                        "(127.0.0.1, ::1 or localhost)" % shown(host)) from None
    if not address.is_loopback:
        raise RuleError("refusing to listen on %s: the server binds to loopback addresses only"
                        % address)
    return str(address)


# -- launcher executables ----------------------------------------------------

_PE_KINDS = {(0x8664, 0x20B): "win-x64", (0x14C, 0x10B): "win-x86"}
_FIXED_INFO_SIGNATURE = b"\xbd\x04\xef\xfe"


def inspect_launcher(data):
    """(runtime, version) of a launcher executable, read the way the launcher
    reads a downloaded build: PE header and the fixed file-version block."""
    if len(data) < 64 or data[:2] != b"MZ":
        raise RuleError("not a Windows executable (no MZ header)")
    pe = int.from_bytes(data[60:64], "little")
    if not 64 <= pe <= 1048576:
        raise RuleError("bad PE header offset")
    header = data[pe:pe + 26]
    if len(header) < 26 or header[:4] != b"PE\0\0":
        raise RuleError("no PE header")
    machine = int.from_bytes(header[4:6], "little")
    characteristics = int.from_bytes(header[22:24], "little")
    magic = int.from_bytes(header[24:26], "little")
    if characteristics & 0x2000:
        raise RuleError("a DLL, not an executable")
    runtime = _PE_KINDS.get((machine, magic))
    if runtime is None:
        raise RuleError("unsupported architecture (machine 0x%04x); the launcher runs as "
                        "win-x64 or win-x86 only" % machine)
    start = data.find(_FIXED_INFO_SIGNATURE)
    while start >= 0:
        block = data[start:start + 52]
        if (start % 4 == 0 and len(block) == 52
                and int.from_bytes(block[36:40], "little") == 1):  # file type: application
            high = int.from_bytes(block[8:12], "little")
            low = int.from_bytes(block[12:16], "little")
            return runtime, (high << 32) | low
        start = data.find(_FIXED_INFO_SIGNATURE, start + 1)
    raise RuleError("no version information (the launcher reads the file version of its builds)")
