"""Test material of the release statement tests, made at build time with the host
tool's own signing code and the test keys: KEYDIR/release-key{1,2,3}.key.

    make_signed_cases.py KEYDIR OUT.json

OUT.json: {"keys": {"1": "<hex X||Y>", ...}, "envelopes": {"<case>": "<release.json text>"}}.
"""

import hashlib
import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from qornhost import signing  # noqa: E402

GOOD = {"releaseId": "r1", "manifestSha256": hashlib.sha256(b"abc").hexdigest(), "sequence": 7,
        "expires": "2030-01-01T00:00:00Z"}
# Signed with key 1, each breaking one rule of the fields.
FIELDS = {"release-id": {"releaseId": "-r1"}, "digest": {"manifestSha256": "A" * 64},
          "expires": {"expires": "2030-02-29T00:00:00Z"}, "expires-form": {"expires": "2030-01-01"},
          "sequence-text": {"sequence": "7"}, "sequence-negative": {"sequence": -7}}


def main(folder, out):
    key = {n: os.path.join(folder, "release-key%s.key" % n) for n in "123"}
    text = json.dumps(GOOD, sort_keys=True, separators=(",", ":")).encode()
    envelopes = {"key" + n: signing.envelope(text, signing.sign(key[n], text)) for n in "123"}
    signature = signing.sign(key["1"], text)
    envelopes["tampered-statement"] = signing.envelope(text.replace(b":7", b":8"), signature)
    envelopes["tampered-signature"] = signing.envelope(text, signature[:-1] + bytes(
        [signature[-1] ^ 1]))
    for name, change in FIELDS.items():
        changed = json.dumps({**GOOD, **change}, sort_keys=True, separators=(",", ":")).encode()
        envelopes[name] = signing.envelope(changed, signing.sign(key["1"], changed))
    keys = {n: signing.key_point(key[n]).hex() for n in "123"}
    with open(out, "w") as target:
        json.dump({"keys": keys, "envelopes": {k: v.decode() for k, v in envelopes.items()}},
                  target, indent=1, sort_keys=True)


if __name__ == "__main__":
    main(*sys.argv[1:])
