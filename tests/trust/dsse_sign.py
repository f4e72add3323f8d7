"""An independent signer: writes root.json and release.json into the folder
given, with PyNaCl and its own encoding, so that the updater is checked
against the format rather than against its own code."""
import base64, datetime, hashlib, json, sys
from nacl.signing import SigningKey


def b64(data):
    return base64.b64encode(data).decode()


def envelope(kind, body, keys):
    payload = json.dumps(body).encode()
    kind = "application/vnd.vaderoru.%s+json" % kind
    pae = b"DSSEv1 %d %s %d %s" % (len(kind), kind.encode(), len(payload), payload)
    return {"payloadType": kind, "payload": b64(payload), "signatures": [
        {"keyid": hashlib.sha256(bytes(k.verify_key)).hexdigest(),
         "sig": b64(k.sign(pae).signature)} for k in keys]}


folder = sys.argv[1]
expires = (datetime.datetime.utcnow() + datetime.timedelta(days=1)).strftime("%Y-%m-%dT%H:%M:%SZ")
root_key, release_key = SigningKey.generate(), SigningKey.generate()
root = {"version": 1, "expires": expires, "rootKeys": [b64(bytes(root_key.verify_key))],
        "releaseKeys": [b64(bytes(release_key.verify_key))]}
package = b"package bytes"
release = {"softwareRoot": "PyApp", "versionType": "general", "version": "2.0.0", "serial": 1,
           "expires": expires, "mandatory": True, "package": {
               "name": "p.zip", "length": len(package), "sha256": hashlib.sha256(package).hexdigest()}}
for name, document in (("root", envelope("root", root, [root_key])),
                       ("release", envelope("release", release, [release_key]))):
    with open("%s/%s.json" % (folder, name), "w") as out:
        json.dump(document, out)
