"""Renewing the signed statement of a site's current release: the same manifest,
a new expiry time and the next sequence; nothing else of the site changes."""

import hashlib
import json
import os

from . import signing
from .publish import RECORD, SERVED, PublishError, read_site, site_lock, write_record


def resign(site, key_path, expires_text):
    """Signs the current release again; returns (release id, sequence, expires,
    key fingerprint). Raises PublishError."""
    site = os.path.abspath(site)
    try:
        point = signing.key_point(key_path)
        expires = signing.expiry(expires_text)
    except signing.SigningError as error:
        raise PublishError([str(error)])
    if not os.path.isfile(os.path.join(site, RECORD)):
        raise PublishError(["%s has no release record (%s); publish into it with this tool "
                            "first" % (site, RECORD)])
    with site_lock(site):
        served, record = read_site(site)
        api = os.path.join(served, "api")
        try:
            with open(os.path.join(api, "manifest"), "rb") as src:
                text = src.read()
            release_id = json.loads(text)["releaseId"]
        except (OSError, ValueError, KeyError, TypeError) as error:
            raise PublishError(["cannot read the current manifest (%s)" % error])
        sequence = record.get("statementSequence", 0) + 1
        # The record first: a statement that an interruption leaves unwritten only
        # skips a number, and no number is ever signed twice.
        write_record(site, record["baseUrl"], record["keep"], record["releases"], sequence)
        signing.write_statement(api, key_path, release_id, hashlib.sha256(text).hexdigest(),
                                sequence, expires)
    return release_id, sequence, expires, signing.fingerprint(point)
