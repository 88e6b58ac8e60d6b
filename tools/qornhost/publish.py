"""Turning a client folder into a release site, and pruning old releases.

Site layout (every body under a content-addressed name):

    public/                    the served tree, the root of nginx and `serve`
      api/manifest             the manifest, exactly the bytes that are served
      files/<sha256>           file bodies; identical contents are stored once
      packages/<sha256>.zip    ZIP packages for a first installation
      launchers/<sha256>.exe   launcher builds offered for self-update
      api/release.json         the signed release statement (signing.py), when signed
    releases.json              the record: base URL, retention setting, the
                               releases whose bodies the site holds, newest first,
                               and the sequence of the last statement signed
    releases/<sha256>.json     the manifest of each release held (what it needs)
    nginx.conf                 an nginx server block serving public/

The site is built in a folder beside SITE and swapped in only when complete.
Publishing keeps every body of the previous site, so that players who are
still updating to an earlier release can finish; `prune` removes the bodies
that no release among the newest few needs.
"""

import contextlib
import ctypes
import errno
import fcntl
import hashlib
import json
import os
import re
import shutil
import stat
import time
import zipfile
from dataclasses import dataclass, field

from . import nginx, signing
from .rules import (LAUNCHER_RUNTIMES, MAX_FILES, MAX_LAUNCHER_SIZE, MAX_LAUNCHERS,
                    MAX_MANIFEST_BYTES, MAX_TOTAL_SIZE, RuleError, case_key, check_base_url,
                    check_client_path, check_release_id, format_launcher_version,
                    inspect_launcher, parse_launcher_version, shown)

CHUNK = 1024 * 1024
ZIP_TIME = (1980, 1, 1, 0, 0, 0)
SERVED = "public"
RECORD = "releases.json"
MANIFESTS = "releases"
DEFAULT_KEEP = 3
# The served kinds of body and their names; manifests of the releases held.
BODIES = {"files": re.compile(r"[0-9a-f]{64}"), "packages": re.compile(r"[0-9a-f]{64}\.zip"),
          "launchers": re.compile(r"[0-9a-f]{64}\.exe")}
MANIFEST_NAME = re.compile(r"[0-9a-f]{64}\.json")


class PublishError(Exception):
    """Publishing refused; `problems` lists every reason found."""

    def __init__(self, problems):
        self.problems = list(problems)
        super().__init__("\n".join(self.problems))


@dataclass
class LauncherSpec:
    runtime: str
    exe: str
    version: str = None  # read from the executable when not given


@dataclass
class PublishOptions:
    base_url: str
    release_id: str
    packages: int = 0
    compression: int = zipfile.ZIP_DEFLATED
    launchers: list = field(default_factory=list)
    keep: int = None  # the site's retention setting; None: as before (DEFAULT_KEEP at first)
    nginx_listen: str = None  # None: from the base URL (nginx.default_listen)
    nginx_server_name: str = "_"
    nginx_tls_cert: str = None
    nginx_tls_key: str = None
    nginx_access_log: str = None
    sign_key: str = None  # private key that signs api/release.json
    expires: str = None  # --expires as given; required with sign_key
    unsigned: bool = False  # publish a site that was signed without a statement


@dataclass
class ClientFile:
    path: str
    source: str
    size: int = 0
    sha256: str = ""


def parse_launcher_arg(text):
    """RUNTIME=PATH[:VERSION] from the command line."""
    runtime, sep, rest = text.partition("=")
    if not sep or not rest:
        raise RuleError("--launcher %s: expected RUNTIME=PATH_TO_EXE[:VERSION]" % shown(text))
    exe, version = rest, None
    head, colon, tail = rest.rpartition(":")
    if colon and head and "." in tail and tail.replace(".", "").isdigit():
        exe, version = head, tail
    return LauncherSpec(runtime, exe, version)


# -- reading the client folder ------------------------------------------------

def scan_source(root):
    """(files, empty folders, problems) of a client folder. Paths use "/".
    Links, and anything that is neither a file nor a folder, are refused."""
    files, empty_dirs, problems = [], [], []
    pending = [("", root)]
    while pending:
        rel, folder = pending.pop()
        try:
            entries = sorted(os.scandir(folder), key=lambda e: e.name)
        except OSError as error:
            problems.append("cannot list %s: %s" % (shown(rel or "."), error.strerror))
            continue
        if not entries and rel:
            empty_dirs.append(rel)
        for entry in entries:
            path = rel + "/" + entry.name if rel else entry.name
            if entry.is_symlink():
                kind = "folder link" if entry.is_dir() else "link"
                problems.append("%s: is a %s; links are refused (copy the real content "
                                "into the client folder instead)" % (shown(path), kind))
            elif entry.is_dir(follow_symlinks=False):
                pending.append((path, entry.path))
            elif entry.is_file(follow_symlinks=False):
                files.append(ClientFile(path, entry.path))
            else:
                problems.append("%s: is neither a regular file nor a folder" % shown(path))
    files.sort(key=lambda f: f.path)
    empty_dirs.sort()
    return files, empty_dirs, problems


def _keyed_paths(paths, problems):
    """(path, case key) of each path the launcher accepts; the refusals of the
    others go to `problems`."""
    for path in paths:
        try:
            check_client_path(path)
        except RuleError as error:
            problems.append(str(error))
            continue
        yield path, case_key(path)


def release_problems(paths, dirs, release_id):
    """Every reason a launcher would refuse a release with these file paths
    and folder paths."""
    problems = []
    try:
        check_release_id(release_id)
    except RuleError as error:
        problems.append(str(error))
    if not 1 <= len(paths) <= MAX_FILES:
        problems.append("a release must have 1 to %d files (this one has %d)"
                        % (MAX_FILES, len(paths)))
    file_keys = {}
    for path, key in _keyed_paths(paths, problems):
        if key in file_keys:
            problems.append("%s and %s differ only in letter case; Windows would make them "
                            "one file" % (shown(file_keys[key]), shown(path)))
        else:
            file_keys[key] = path
    if "MAIN.EXE" not in file_keys:
        problems.append("the release has no Main.exe at the top of the client folder")
    dir_keys = {}
    for path, key in _keyed_paths(dirs, problems):
        other = dir_keys.get(key) or file_keys.get(key)
        if other is not None:
            problems.append("folder %s collides with %s (names differ only in letter case)"
                            % (shown(path), shown(other)))
        else:
            dir_keys[key] = path
    for key, path in list(file_keys.items()) + list(dir_keys.items()):
        position = key.find("/")
        while position >= 0:
            above = file_keys.get(key[:position])
            if above is not None:
                problems.append("%s uses the file %s as a folder (names differ only in "
                                "letter case)" % (shown(path), shown(above)))
                break
            position = key.find("/", position + 1)
    return problems


# -- writing bodies -----------------------------------------------------------

def _copy_hashed(read_fd, target):
    """Copy an open file into `target`, returning (size, sha256)."""
    digest = hashlib.sha256()
    size = 0
    with open(read_fd, "rb", closefd=False) as src, open(target, "wb") as out:
        while True:
            chunk = src.read(CHUNK)
            if not chunk:
                break
            digest.update(chunk)
            out.write(chunk)
            size += len(chunk)
    return size, digest.hexdigest()


def _store(folder, temp_name, final_name_of, read_fd):
    """Copy into folder under a content-addressed name; identical bodies are
    stored once. Returns (size, sha256)."""
    temp = os.path.join(folder, temp_name)
    size, sha = _copy_hashed(read_fd, temp)
    final = os.path.join(folder, final_name_of(sha))
    if os.path.exists(final):
        os.unlink(temp)
    else:
        os.replace(temp, final)
    return size, sha


def _open_regular(path, what):
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0))
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise PublishError(["%s %s became a link; links are refused" % (what, shown(path))])
        raise PublishError(["cannot read %s %s: %s" % (what, shown(path), error.strerror)])
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise PublishError(["%s %s is not a regular file" % (what, shown(path))])
    return fd


def store_files(files, files_dir):
    total = 0
    for index, item in enumerate(files):
        fd = _open_regular(item.source, "file")
        try:
            item.size, item.sha256 = _store(files_dir, ".incoming-%d" % index, lambda s: s, fd)
        finally:
            os.close(fd)
        total += item.size
    if total > MAX_TOTAL_SIZE:
        raise PublishError(["the files add up to %d bytes; the launcher accepts less than 2^63"
                            % total])
    return total


def split_packages(files, count):
    """Cut the files (in path order) into `count` runs of about equal size;
    every run has at least one file."""
    count = min(count, len(files))
    groups, start = [], 0
    remaining = sum(f.size for f in files)
    for number in range(count):
        left = count - number
        if left == 1:
            groups.append(files[start:])
            break
        target = remaining / left
        end, size = start + 1, files[start].size
        while len(files) - end > left - 1 and size + files[end].size <= target:
            size += files[end].size
            end += 1
        groups.append(files[start:end])
        remaining -= size
        start = end
    return groups


def write_package(path, group, files_dir, compression):
    with zipfile.ZipFile(path, "w", compression=compression, allowZip64=True) as archive:
        for item in group:
            info = zipfile.ZipInfo(item.path, ZIP_TIME)
            info.compress_type = compression
            info.external_attr = (stat.S_IFREG | 0o644) << 16
            info.file_size = item.size
            with open(os.path.join(files_dir, item.sha256), "rb") as src, \
                    archive.open(info, "w") as out:
                shutil.copyfileobj(src, out, CHUNK)


def build_launchers(specs, launchers_dir, base):
    if len(specs) > MAX_LAUNCHERS:
        raise PublishError(["at most %d launcher builds can be offered" % MAX_LAUNCHERS])
    entries, problems, seen = [], [], set()
    for index, spec in enumerate(specs):
        label = "launcher %s" % shown(spec.exe)
        if spec.runtime not in LAUNCHER_RUNTIMES:
            problems.append("%s: runtime %s must be win-x64 or win-x86"
                            % (label, shown(spec.runtime)))
            continue
        if spec.runtime in seen:
            problems.append("%s: a build for %s is offered twice" % (label, spec.runtime))
            continue
        seen.add(spec.runtime)
        try:
            wanted = None if spec.version is None else parse_launcher_version(spec.version)
            fd = _open_regular(spec.exe, "launcher")
            try:
                with open(fd, "rb", closefd=False) as src:
                    data = src.read(MAX_LAUNCHER_SIZE + 1)
                if not 1 <= len(data) <= MAX_LAUNCHER_SIZE:
                    raise RuleError("size must be 1 to %d bytes" % MAX_LAUNCHER_SIZE)
                runtime, version = inspect_launcher(data)
                if runtime != spec.runtime:
                    raise RuleError("the executable is %s, not %s" % (runtime, spec.runtime))
                if wanted is not None and wanted != version:
                    raise RuleError("its file version is %s, not %s"
                                    % (format_launcher_version(version), spec.version))
                os.lseek(fd, 0, os.SEEK_SET)
                size, sha = _store(launchers_dir, ".incoming-%d" % index,
                                   lambda s: s + ".exe", fd)
            finally:
                os.close(fd)
        except RuleError as error:
            problems.append("%s: %s" % (label, error))
            continue
        except PublishError as error:
            problems.extend(error.problems)
            continue
        entries.append({"runtime": runtime, "version": format_launcher_version(version),
                        "size": size, "sha256": sha,
                        "url": "%s/launchers/%s.exe" % (base, sha)})
    if problems:
        raise PublishError(problems)
    return entries


def manifest_text(document):
    """Compact UTF-8 JSON that names its schema and release first, so that a
    launcher reading only the start of it finds the release; the other keys,
    and those of every inner object, in ascending order."""
    first = ("schemaVersion", "releaseId")
    order = list(first) + sorted(k for k in document if k not in first)
    return ("{%s}" % ",".join(
        "%s:%s" % (json.dumps(key), json.dumps(document[key], sort_keys=True,
                                               separators=(",", ":"), ensure_ascii=False))
        for key in order)).encode("utf-8")


def manifest_needs(text):
    """The bodies a release needs, as paths below the served tree."""
    document = json.loads(text)
    return ({"files/" + f["sha256"] for f in document["files"]}
            | {"packages/%s.zip" % p["sha256"] for p in document.get("packages", [])}
            | {"launchers/%s.exe" % e["sha256"] for e in document.get("launchers", [])})


# -- the site folder ----------------------------------------------------------

def _is_within(inner, outer):
    return os.path.commonpath([inner, outer]) == outer


def _is_site(site):
    return any(os.path.isfile(os.path.join(site, *parts)) for parts in (
        (RECORD,), (SERVED, "api", "manifest"), ("api", "manifest")))


def _check_places(source, site):
    if not os.path.isdir(source):
        raise PublishError(["source folder %s does not exist" % shown(source)])
    if os.path.lexists(site):
        if os.path.islink(site) or not os.path.isdir(site):
            raise PublishError(["%s exists and is not a folder" % shown(site)])
        if os.listdir(site) and not _is_site(site):
            raise PublishError(["%s is not empty and is not a release site; refusing to "
                                "replace it" % shown(site)])
    real_source, real_site = os.path.realpath(source), os.path.realpath(site)
    if _is_within(real_site, real_source) or _is_within(real_source, real_site):
        raise PublishError(["the site folder and the source folder must not contain "
                            "each other"])


def read_site(site):
    """(served tree or None, record) of a site folder. A site written before
    the site kept a record (its tree at the top, no releases.json) counts as
    holding its current release."""
    record_path = os.path.join(site, RECORD)
    if os.path.isfile(record_path):
        try:
            with open(record_path, "rb") as src:
                record = json.loads(src.read())
            sequence = record.get("statementSequence", 0)
            if not (isinstance(record.get("keep"), int) and record["keep"] >= 1
                    and isinstance(sequence, int) and sequence >= 0
                    and isinstance(record.get("baseUrl"), str) and record["releases"] and all(
                    isinstance(r["releaseId"], str) and isinstance(r["manifestSha256"], str)
                    for r in record["releases"])):
                raise ValueError("unexpected content")
        except (OSError, ValueError, TypeError, KeyError, AttributeError) as error:
            raise PublishError(["the release record %s cannot be used (%s); restore it, or "
                                "publish into a new site folder" % (shown(record_path), error)])
        return os.path.join(site, SERVED), record
    record = {"keep": DEFAULT_KEEP, "releases": []}
    old_manifest = os.path.join(site, "api", "manifest")
    if not os.path.isfile(old_manifest):
        return None, record
    with open(old_manifest, "rb") as src:
        text = src.read()
    try:
        release = str(json.loads(text).get("releaseId"))
    except (ValueError, AttributeError):
        release = "?"
    record["releases"].append({"releaseId": release, "publishedAt": None,
                               "manifestSha256": hashlib.sha256(text).hexdigest()})
    return site, record


@contextlib.contextmanager
def site_lock(site):
    """Keeps publishes and prunes of one site apart, through a lock file
    beside it that is removed again afterwards."""
    parent, name = os.path.split(site)
    os.makedirs(parent, exist_ok=True)
    path = os.path.join(parent, ".%s.lock" % name)
    while True:
        fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            if os.fstat(fd).st_ino == os.stat(path).st_ino:
                break  # not a file that its last holder removed in the meantime
        except BlockingIOError:
            os.close(fd)
            raise PublishError(["another publish or prune of %s is running" % shown(site)])
        except FileNotFoundError:
            pass
        os.close(fd)
    try:
        yield
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)
        os.close(fd)


def _exchange(first, second):
    """Swaps two folders in one step where Linux can (renameat2 with
    RENAME_EXCHANGE); False where it cannot."""
    try:
        call = ctypes.CDLL(None, use_errno=True).renameat2
    except (OSError, AttributeError):
        return False
    call.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                     ctypes.c_uint]
    if call(-100, os.fsencode(first), -100, os.fsencode(second), 2) == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.ENOSYS, errno.EINVAL, errno.EOPNOTSUPP):
        return False
    raise OSError(code, os.strerror(code), second)


def _swap_in(built, site, parent, name):
    """Puts the built folder in the site's place; requests never find the
    site missing where the swap is one step."""
    if os.path.lexists(site) and _exchange(built, site):
        shutil.rmtree(built, ignore_errors=True)  # the previous site now lies there
        return
    previous = None
    if os.path.lexists(site):
        previous = os.path.join(parent, ".%s.previous-%d" % (name, os.getpid()))
        os.rename(site, previous)
    try:
        os.rename(built, site)
    except BaseException:
        if previous is not None:
            os.rename(previous, site)
        raise
    if previous is not None:
        shutil.rmtree(previous, ignore_errors=True)


def _link_missing(old_folder, new_folder, pattern):
    """Hard-links (or copies) into new_folder every entry of old_folder whose
    name fits the pattern and that new_folder lacks."""
    try:
        names = os.listdir(old_folder)
    except FileNotFoundError:
        return
    os.makedirs(new_folder, exist_ok=True)
    for name in names:
        target = os.path.join(new_folder, name)
        if pattern.fullmatch(name) and not os.path.lexists(target):
            try:
                os.link(os.path.join(old_folder, name), target)
            except OSError:
                shutil.copyfile(os.path.join(old_folder, name), target)


def publish(source, site, options):
    """Build the site; returns a summary dict. Raises PublishError."""
    problems = []
    try:
        base = check_base_url(options.base_url)
    except RuleError as error:
        problems.append(str(error))
        base = None
    if options.packages < 0:
        problems.append("--packages must not be negative")
    if options.keep is not None and options.keep < 1:
        problems.append("--keep must be at least 1 (the current release is always kept)")
    source, site = os.path.abspath(source), os.path.abspath(site)
    _check_places(source, site)
    if base is not None:
        try:
            _server_block(site, base, "0" * 64, "r", options)
        except RuleError as error:
            problems.append(str(error))
    expires, key_name = _signing_problems(options, problems)
    for tls_file in (options.nginx_tls_cert, options.nginx_tls_key):
        if tls_file is not None and not os.path.isfile(tls_file):
            problems.append("TLS file %s does not exist" % shown(tls_file))
    files, dirs, scan_problems = scan_source(source)
    problems += scan_problems
    problems += release_problems([f.path for f in files], dirs, options.release_id)
    if problems:
        raise PublishError(problems)

    parent, name = os.path.split(site)
    with site_lock(site):
        previous = read_site(site)
        signed = previous[1].get("statementSequence")
        if signed is not None and options.sign_key is None and not options.unsigned:
            raise PublishError(["the site's releases are signed (last statement %d): give "
                                "--sign-key and --expires, or --unsigned to publish without a "
                                "statement, which launchers built with release keys refuse"
                                % signed])
        for leftover in os.listdir(parent):
            if leftover.startswith((".%s.building-" % name, ".%s.previous-" % name)):
                shutil.rmtree(os.path.join(parent, leftover), ignore_errors=True)
        built = os.path.join(parent, ".%s.building-%d" % (name, os.getpid()))
        os.mkdir(built)
        try:
            summary = _build(built, site, files, dirs, base, options, previous,
                             (expires, key_name))
            _swap_in(built, site, parent, name)
        except BaseException:
            shutil.rmtree(built, ignore_errors=True)
            raise
    return summary


def _signing_problems(options, problems):
    """(expiry time, key fingerprint) of a signed publish, Nones otherwise; what
    is wrong with the signing options goes to `problems`."""
    expires = key_name = None
    if options.sign_key is None:
        if options.expires is not None:
            problems.append("--expires needs --sign-key")
        return expires, key_name
    if options.unsigned:
        problems.append("--unsigned and --sign-key exclude each other")
    try:
        key_name = signing.fingerprint(signing.key_point(options.sign_key))
    except signing.SigningError as error:
        problems.append("--sign-key: %s" % error)
    if options.expires is None:
        problems.append("--sign-key needs --expires (how long the statement holds)")
        return expires, key_name
    try:
        expires = signing.expiry(options.expires)
    except signing.SigningError as error:
        problems.append(str(error))
    return expires, key_name


def _server_block(site, base, digest, release_id, options):
    return nginx.server_block(
        os.path.join(site, SERVED), base, digest, release_id, options.nginx_listen,
        options.nginx_server_name, options.nginx_tls_cert, options.nginx_tls_key,
        options.nginx_access_log)


def _build(built, site, files, dirs, base, options, previous, signature):
    served = os.path.join(built, SERVED)
    folders = {kind: os.path.join(served, kind) for kind in ("api", *BODIES)}
    for folder in (served, *folders.values()):
        os.mkdir(folder)
    total = store_files(files, folders["files"])
    document = {
        "schemaVersion": 1,
        "releaseId": options.release_id,
        "files": [{"path": f.path, "size": f.size, "sha256": f.sha256,
                   "url": "%s/files/%s" % (base, f.sha256)} for f in files],
        "directories": dirs,
    }
    packages = []
    for index, group in enumerate(split_packages(files, options.packages)):
        temp = os.path.join(folders["packages"], ".incoming-%d.zip" % index)
        write_package(temp, group, folders["files"], options.compression)
        size, sha = _file_digest(temp)
        os.replace(temp, os.path.join(folders["packages"], sha + ".zip"))
        packages.append({"url": "%s/packages/%s.zip" % (base, sha), "size": size,
                         "sha256": sha, "files": [f.path for f in group]})
    if packages:
        document["packages"] = packages
    launchers = build_launchers(options.launchers, folders["launchers"], base)
    if launchers:
        document["launchers"] = launchers
    text = manifest_text(document)
    if len(text) > MAX_MANIFEST_BYTES:
        raise PublishError(["the manifest would be %d bytes; the launcher accepts at most %d"
                            % (len(text), MAX_MANIFEST_BYTES)])
    digest = hashlib.sha256(text).hexdigest()
    _write(os.path.join(folders["api"], "manifest"), text)

    # What the previous site held stays: its bodies and its releases' manifests.
    old_served, record = previous
    manifests = os.path.join(built, MANIFESTS)
    _write(os.path.join(_made(manifests), digest + ".json"), text)
    if old_served is not None:
        for kind, pattern in BODIES.items():
            _link_missing(os.path.join(old_served, kind), folders[kind], pattern)
        _link_missing(os.path.join(site, MANIFESTS), manifests, MANIFEST_NAME)
        current = os.path.join(manifests, record["releases"][0]["manifestSha256"] + ".json")
        if not os.path.exists(current):  # a site from before the record
            shutil.copyfile(os.path.join(old_served, "api", "manifest"), current)
    releases = [{"releaseId": options.release_id, "manifestSha256": digest,
                 "publishedAt": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())}]
    releases += [r for r in record["releases"] if r["manifestSha256"] != digest]
    keep = options.keep or record["keep"]
    sequence = record.get("statementSequence")
    if options.sign_key is not None:
        sequence = (sequence or 0) + 1
        signing.write_statement(folders["api"], options.sign_key, options.release_id, digest,
                                sequence, signature[0])
    write_record(built, base, keep, releases, sequence)
    _write(os.path.join(built, "nginx.conf"),
           _server_block(site, base, digest, options.release_id, options).encode("utf-8"))
    return {"releaseId": options.release_id, "manifestSha256": digest, "files": len(files),
            "bytes": total, "directories": len(dirs), "packages": len(packages),
            "launchers": [(e["runtime"], e["version"]) for e in launchers], "site": site,
            "keep": keep, "held": [r["releaseId"] for r in releases],
            "statement": options.sign_key and (sequence, *signature)}


def write_record(site, base, keep, releases, sequence=None):
    """The record; `sequence` is the last statement signed (None: never signed)."""
    record = {"baseUrl": base, "keep": keep, "releases": releases}
    if sequence is not None:
        record["statementSequence"] = sequence
    text = json.dumps(record, indent=2, sort_keys=True) + "\n"
    temp = os.path.join(site, RECORD + ".new")
    _write(temp, text.encode("utf-8"))
    os.replace(temp, os.path.join(site, RECORD))


# -- pruning ------------------------------------------------------------------

def prune(site, keep=None, dry_run=False):
    """Forgets the releases after the newest `keep` (the site's setting when
    None) and removes every body that none of the kept ones needs. The
    current release always counts among the kept ones. Returns a summary."""
    site = os.path.abspath(site)
    if keep is not None and keep < 1:
        raise PublishError(["--keep must be at least 1 (the current release is always kept)"])
    if not os.path.isfile(os.path.join(site, RECORD)):
        raise PublishError(["%s has no release record (%s); publish into it with this tool "
                            "first" % (shown(site), RECORD)])
    with site_lock(site):
        served, record = read_site(site)
        keep = keep or record["keep"]
        kept, dropped = record["releases"][:keep], record["releases"][keep:]
        needed = set()
        for text_path in [os.path.join(served, "api", "manifest")] + [
                os.path.join(site, MANIFESTS, r["manifestSha256"] + ".json") for r in kept]:
            try:
                with open(text_path, "rb") as src:
                    needed |= manifest_needs(src.read())
            except (OSError, ValueError, KeyError, TypeError) as error:
                raise PublishError(["cannot tell what a kept release needs from %s (%s); "
                                    "nothing was removed" % (shown(text_path), error)])
        removable = []
        for kind, pattern in BODIES.items():
            for name in sorted(os.listdir(os.path.join(served, kind))):
                if pattern.fullmatch(name) and kind + "/" + name not in needed:
                    removable.append(os.path.join(served, kind, name))
        summary = {"kept": [r["releaseId"] for r in kept], "keep": keep,
                   "dropped": [r["releaseId"] for r in dropped], "bodies": len(removable),
                   "bytes": sum(os.lstat(path).st_size for path in removable)}
        if dry_run:
            return summary
        # The record first: bodies that an interruption leaves behind are
        # needed by no release it names, so the next prune removes them.
        write_record(site, record["baseUrl"], record["keep"], kept,
                     record.get("statementSequence"))
        for path in removable + [os.path.join(site, MANIFESTS, r["manifestSha256"] + ".json")
                                 for r in dropped]:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)
    return summary


def _made(folder):
    os.makedirs(folder, exist_ok=True)
    return folder


def _file_digest(path):
    digest = hashlib.sha256()
    size = 0
    with open(path, "rb") as src:
        for chunk in iter(lambda: src.read(CHUNK), b""):
            digest.update(chunk)
            size += len(chunk)
    return size, digest.hexdigest()


def _write(path, data):
    with open(path, "wb") as out:
        out.write(data)
        out.flush()
        os.fsync(out.fileno())
