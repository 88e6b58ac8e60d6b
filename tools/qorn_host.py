#!/usr/bin/env python3
"""Update-host tool for the QORN launcher: publish a client folder as a release
site, sign its releases, prune the bodies of old releases from it, and serve a
site on loopback for tests."""

import argparse
import os
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from qornhost.publish import (DEFAULT_KEEP, PublishError, PublishOptions,  # noqa: E402
                              parse_launcher_arg, prune, publish)
from qornhost.resign import resign  # noqa: E402
from qornhost.rules import RuleError  # noqa: E402
from qornhost.signing import SigningError, keygen, public_point, fingerprint  # noqa: E402

PUBLISH_HELP = """\
Turn a client folder into a release site that the launcher can update from.

The site folder holds public/, the tree that is served: the manifest at
api/manifest (compact JSON that names schemaVersion and releaseId first, the
other keys in ascending order), every file body once under files/<sha256>,
optional ZIP packages for a first installation under packages/<sha256>.zip and
optional launcher builds under launchers/<sha256>.exe. Beside public/ lie
nginx.conf, an nginx server block that serves it, and the release record
(releases.json, releases/) that 'prune' reads.

Everything is checked first, and nothing is written when the launcher would
refuse the release: every path must be a safe Windows name (no device names
such as CON or COM1, no \\ : < > " | ? * or control characters, no segment
that is empty, '.', '..' or ends in '.' or a blank, at most 230 UTF-16 code
units), no two paths may differ only in letter case, no file may be used as a
folder, Main.exe must be at the top, the top-level names .qorn-launcher,
Updater.exe and QornUpdateTool.exe are the launcher's own, and links are
refused. The site is built beside SITE and swapped in only when complete;
reload nginx afterwards (nginx -s reload), since nginx.conf carries the
release's ETag and release id.

Publishing removes nothing: the bodies of earlier releases stay, so that
players who are in the middle of an update can finish it. Remove those of
releases older than the newest --keep with 'qorn_host.py prune SITE'.
"""

PUBLISH_EPILOG = """\
example:
  qorn_host.py publish client/ /srv/qorn/site --base-url https://cdn.example.net/games/qorn \\
      --release-id 2024.06.1 --packages 4 --launcher win-x64=build/Updater.exe:2.0.8.0 \\
      --nginx-tls-cert /etc/ssl/qorn/fullchain.pem --nginx-tls-key /etc/ssl/qorn/key.pem
"""

PRUNE_HELP = """\
Remove from a site the bodies (files, packages, launcher builds) that none of
its newest releases needs. The site's record lists the releases it holds,
newest first; the current release is always among the kept ones, and so is
every body it needs. Bodies that a kept release shares with a removed one
stay. Run it once players have had time to finish updating to the releases it
removes: their remaining downloads fail afterwards.
"""

SIGNING_HELP = """\
Launchers built with release keys (CMake QORN_RELEASE_KEYS) install a release
only when api/release.json beside the manifest is a statement signed with one
of those keys that names the manifest, has not expired, and has a sequence no
lower than the last one the launcher accepted. Keep private keys offline, never
on the update host.
"""

KEYGEN_HELP = SIGNING_HELP + """
Make a release key: OUT.key (the private key, mode 0600) and OUT.pub (the
public key for QORN_RELEASE_KEYS), with Debian's openssl. Existing files are
never overwritten.
"""

RESIGN_HELP = SIGNING_HELP + """
Sign the site's current release again with a new expiry time and the next
sequence, before the statement it serves expires. Nothing else of the site
changes, and nginx needs no reload.
"""

EXPIRES_HELP = ("when the statement stops counting: a duration from now (30d, 36h), a day "
                "(2024-07-01, its start in UTC) or a UTC time (2024-07-01T12:00:00Z)")

SERVE_HELP = """\
Serve the public/ tree of a published site over HTTP/1.1 on a loopback
address, under the path of the site's base URL, answering what the launcher
relies on: GET and HEAD of <path>/api/manifest with ETag (the quoted SHA-256
of the manifest) and X-QORN-Release, 304 for a matching If-None-Match, byte
ranges (206 with Content-Range, 416 past the end), 404 elsewhere. The site is
read for every request, so publishing again or pruning needs no restart.

Faults for tests come from a JSON file (--faults), re-read whenever it
changes; every change resets the request counts. It maps URL paths (the whole
path, base URL path included, or "*") to rules:
  times K           apply the rule to the first K matching requests only
  delayMs N         wait N ms (at most 10000) before answering
  status N          answer status N
  headStatus N      answer HEAD requests with status N (e.g. 405)
  ignoreRange true  answer 200 and the whole body even when a Range was asked
  contentRange S    send Content-Range S on 206 answers
  contentLength S   send Content-Length S, then close the connection
  cutAfter N        send N body bytes, then close the connection
  corruptOffset N   flip the byte at offset N of the file
  headers {..}      set response headers (a null value removes one)
Example: {"/files/<sha256>": {"cutAfter": 1000, "times": 2}}
Write the file atomically (write a new file, then rename it over the old one).

The request log (--log) gets one JSON object per request, flushed at once:
method, path, range, ifNoneMatch, status, bytes (body bytes sent), faults.
"""


def _compression(text):
    kinds = {"deflated": zipfile.ZIP_DEFLATED, "stored": zipfile.ZIP_STORED}
    if text not in kinds:
        raise argparse.ArgumentTypeError("choose deflated or stored")
    return kinds[text]


def _launcher(text):
    try:
        return parse_launcher_arg(text)
    except RuleError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def build_parser():
    parser = argparse.ArgumentParser(
        prog="qorn_host.py", description=__doc__,
        epilog="Run 'qorn_host.py COMMAND --help' for the options of a command.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    pub = commands.add_parser("publish", help="turn a client folder into a release site",
                              description=PUBLISH_HELP, epilog=PUBLISH_EPILOG,
                              formatter_class=argparse.RawDescriptionHelpFormatter)
    pub.add_argument("source", metavar="SOURCE_FOLDER", help="the client folder to publish")
    pub.add_argument("site", metavar="SITE_FOLDER",
                     help="the site folder to create or replace (a previous site or empty)")
    pub.add_argument("--base-url", required=True, metavar="URL",
                     help="where players reach the site: scheme, host and an optional path, "
                          "e.g. https://update.example.net or https://cdn.example.net/games/qorn "
                          "(the manifest is at URL/api/manifest; plain http only for "
                          "127.0.0.1, localhost or [::1])")
    pub.add_argument("--release-id", required=True, metavar="ID",
                     help="release id: 1-80 characters, first an ASCII letter or digit, then "
                          "letters, digits, '-', '.', '_'; no '..'")
    pub.add_argument("--packages", type=int, default=0, metavar="N",
                     help="also pack the files into N ZIP packages of about equal size for "
                          "first installations (default 0: none)")
    pub.add_argument("--package-compression", type=_compression, default="deflated",
                     metavar="{deflated,stored}", help="ZIP method of packages (default deflated)")
    pub.add_argument("--launcher", type=_launcher, action="append", default=[],
                     metavar="RUNTIME=EXE[:VERSION]",
                     help="offer a launcher build; RUNTIME is win-x64 or win-x86, VERSION is "
                          "a.b.c.d and must equal the file version of EXE (read from EXE "
                          "when left out). At most one per runtime, two in all")
    pub.add_argument("--keep", type=int, metavar="N",
                     help="the site's retention setting: 'prune' keeps the bodies of the "
                          "newest N releases, this one included (default: the site's "
                          "setting, %d for a new site)" % DEFAULT_KEEP)
    pub.add_argument("--sign-key", metavar="KEY",
                     help="sign the release: write api/release.json with this private key "
                          "(see 'keygen'); needs --expires")
    pub.add_argument("--expires", metavar="WHEN", help=EXPIRES_HELP)
    pub.add_argument("--unsigned", action="store_true",
                     help="publish a site whose releases were signed without a statement "
                          "(launchers built with release keys refuse it)")
    pub.add_argument("--nginx-listen", metavar="ADDRESS",
                     help="listen address of the nginx server block (default: the port of "
                          "the base URL for https, its address and port for plain http)")
    pub.add_argument("--nginx-server-name", default="_", metavar="NAME",
                     help="server_name of the nginx server block (default _)")
    pub.add_argument("--nginx-tls-cert", metavar="FILE",
                     help="serve TLS with this certificate chain (with --nginx-tls-key); "
                          "required for an https:// base URL")
    pub.add_argument("--nginx-tls-key", metavar="FILE", help="private key of the certificate")
    pub.add_argument("--nginx-access-log", metavar="FILE|off",
                     help="access log of the server block (default: the one of nginx's "
                          "http block)")

    key = commands.add_parser("keygen", help="make a release signing key pair",
                              description=KEYGEN_HELP,
                              formatter_class=argparse.RawDescriptionHelpFormatter)
    key.add_argument("out", metavar="OUT", help="writes OUT.key and OUT.pub")

    res = commands.add_parser("resign", help="renew the statement of the current release",
                              description=RESIGN_HELP,
                              formatter_class=argparse.RawDescriptionHelpFormatter)
    res.add_argument("site", metavar="SITE_FOLDER", help="a site made by publish")
    res.add_argument("--sign-key", required=True, metavar="KEY", help="the private key")
    res.add_argument("--expires", required=True, metavar="WHEN", help=EXPIRES_HELP)

    prn = commands.add_parser("prune", help="remove the bodies of old releases from a site",
                              description=PRUNE_HELP,
                              formatter_class=argparse.RawDescriptionHelpFormatter)
    prn.add_argument("site", metavar="SITE_FOLDER", help="a site made by publish")
    prn.add_argument("--keep", type=int, metavar="N",
                     help="keep the newest N releases, the current one included (default: "
                          "the site's setting from publish --keep, %d unless set)" % DEFAULT_KEEP)
    prn.add_argument("--dry-run", action="store_true",
                     help="only tell what would be removed")

    srv = commands.add_parser("serve", help="serve a site on loopback (tests, local checks)",
                              description=SERVE_HELP,
                              formatter_class=argparse.RawDescriptionHelpFormatter)
    srv.add_argument("site", metavar="SITE_FOLDER",
                     help="a site made by publish (its public/ tree is served, under the "
                          "path of its base URL)")
    srv.add_argument("--host", default="127.0.0.1",
                     help="loopback address to bind: 127.0.0.1 (default), ::1 or localhost")
    srv.add_argument("--port", type=int, default=0,
                     help="port to listen on; 0 (default) picks a free one")
    srv.add_argument("--port-file", metavar="FILE",
                     help="write the port here once listening")
    srv.add_argument("--log", metavar="FILE", help="append a JSON line per request here")
    srv.add_argument("--faults", metavar="FILE", help="JSON file of faults to inject")
    srv.add_argument("--stop-after", type=float, metavar="SECONDS",
                     help="stop by itself after this many seconds")
    srv.add_argument("--verbose", action="store_true", help="print every request")
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    if args.command == "publish":
        return _publish(args)
    if args.command == "prune":
        return _prune(args)
    if args.command == "keygen":
        return _keygen(args)
    if args.command == "resign":
        return _resign(args)
    return _serve(args)


def _counted(count, word, plural=None):
    return "%d %s" % (count, word if count == 1 else plural or word + "s")


def _refused(what, error):
    problems = error.problems
    print("%s refused (%s):" % (what, _counted(len(problems), "problem")), file=sys.stderr)
    for problem in problems[:50]:
        print("  " + problem, file=sys.stderr)
    if len(problems) > 50:
        print("  ... and %d more" % (len(problems) - 50), file=sys.stderr)
    return 1


def _publish(args):
    options = PublishOptions(
        base_url=args.base_url, release_id=args.release_id, packages=args.packages,
        compression=args.package_compression, launchers=args.launcher, keep=args.keep,
        nginx_listen=args.nginx_listen, nginx_server_name=args.nginx_server_name,
        nginx_tls_cert=args.nginx_tls_cert and os.path.abspath(args.nginx_tls_cert),
        nginx_tls_key=args.nginx_tls_key and os.path.abspath(args.nginx_tls_key),
        nginx_access_log=args.nginx_access_log and (
            args.nginx_access_log if args.nginx_access_log == "off"
            else os.path.abspath(args.nginx_access_log)),
        sign_key=args.sign_key, expires=args.expires, unsigned=args.unsigned)
    try:
        summary = publish(args.source, args.site, options)
    except PublishError as error:
        return _refused("publish", error)
    except OSError as error:
        print("publish failed: %s" % error, file=sys.stderr)
        return 1
    print("published release %s into %s" % (summary["releaseId"], summary["site"]))
    print("  %d files, %d bytes, %d empty folders, %d packages"
          % (summary["files"], summary["bytes"], summary["directories"], summary["packages"]))
    for runtime, version in summary["launchers"]:
        print("  launcher %s %s" % (runtime, version))
    print("  manifest SHA-256 %s" % summary["manifestSha256"])
    if summary["statement"]:
        print("  signed statement %d, expires %s, key %s" % summary["statement"])
    held = summary["held"]
    print("  the site holds the bodies of %s: %s" % (_counted(len(held), "release"),
                                                      " ".join(held)))
    if len(held) > summary["keep"]:
        print("  %s: older than the newest %d; remove them with 'qorn_host.py prune %s' once "
              "players have had time to finish updating"
              % (" ".join(held[summary["keep"]:]), summary["keep"], args.site))
    print("reload nginx to serve it with nginx.conf (nginx -s reload)")
    return 0


def _prune(args):
    try:
        summary = prune(args.site, args.keep, args.dry_run)
    except PublishError as error:
        return _refused("prune", error)
    except OSError as error:
        print("prune failed: %s" % error, file=sys.stderr)
        return 1
    print("%s %s (the newest %d): %s" % (
        "would keep" if args.dry_run else "kept", _counted(len(summary["kept"]), "release"),
        summary["keep"], " ".join(summary["kept"])))
    print("%s %s; %s %s (%s) that no kept release needs" % (
        "would forget" if args.dry_run else "forgot",
        " ".join(summary["dropped"]) or "no release",
        "would remove" if args.dry_run else "removed",
        _counted(summary["bodies"], "body", "bodies"), _counted(summary["bytes"], "byte")))
    return 0


def _keygen(args):
    try:
        public = keygen(args.out)
    except (SigningError, OSError) as error:
        print("keygen failed: %s" % error, file=sys.stderr)
        return 1
    print(public, end="")
    print("key %s: keep %s.key offline; build launchers with %s.pub (QORN_RELEASE_KEYS)"
          % (fingerprint(public_point(public.encode("ascii"))), args.out, args.out))
    return 0


def _resign(args):
    try:
        release, sequence, expires, key = resign(args.site, args.sign_key, args.expires)
    except PublishError as error:
        return _refused("resign", error)
    except (SigningError, OSError) as error:
        print("resign failed: %s" % error, file=sys.stderr)
        return 1
    print("signed release %s again: statement %d, expires %s, key %s"
          % (release, sequence, expires, key))
    return 0


def _serve(args):
    from qornhost import server
    try:
        return server.run(args.site, args.host, args.port, args.port_file, args.faults,
                          args.log, args.stop_after, args.verbose)
    except RuleError as error:
        print("serve refused: %s" % error, file=sys.stderr)
        return 1
    except OSError as error:
        print("serve failed: %s" % error, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
