"""The signed package and the reproducible build, read without installing.

A throwaway certificate authority and code-signing certificate are made
with openssl in the test's own folder (build/win64/msi-signing); the
package is built signed with them, from a PKCS#12 file, from a key on a
software token (PKCS#11), and with time stamps from a time stamp authority
of the test's own on the loopback address; osslsigncode checks every signature
against that authority: the package's, each file's inside it (extracted
with msiextract) and both stiscan.exe beside it, and one changed byte in
any of them fails. The unsigned package and its files are reported
unsigned, a signature that fails leaves nothing under the package's name,
and the sums beside the package are its files'.

The packaged binaries are built a second time, from a copy of the tree in
another folder under another date, and compared byte for byte with the
first build; the package made from them is compared with the first by its
tables, its files and its bytes."""

import filecmp
import hashlib
import http.server
import os
import shutil
import subprocess
import tempfile
import threading
import time

from harness import check, note, skip
from msi_package import msi_table


PUBLISHER = "stibridge test publisher"
AUTHORITY = "stibridge test authority"
PRODUCT_URL = "https://stibridge.example/"
PASSWORD = "throwaway-only"
PIN = "4711"
SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"

EXTENSIONS = """[req]
distinguished_name = name
[name]
[authority]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[signer]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[stamper]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
[tsa]
default_tsa = stamper_settings
[stamper_settings]
serial = tsa.serial
signer_cert = tsa.pem
signer_key = tsa.key
certs = ca.pem
signer_digest = sha256
default_policy = 1.3.6.1.4.1.0.1
digests = sha256
accuracy = secs:1
ess_cert_id_alg = sha256
"""

# The packaged files by their artefact names (run_msi.artefacts), as
# msiextract lays them out (msitools 0.101 names 64-bit Program Files
# nothing, the 32-bit one "Program Files" and the Windows folder nothing).
EXTRACTED = {"server": "stibridge/stibridge.exe",
             "proxy64": "stibridge/stibridgeps.dll",
             "proxy32": "Program Files/stibridge/stibridgeps.dll",
             "twain32": "twain_32/stibridge/stibridge.ds",
             "twain64": "twain_64/stibridge/stibridge.ds"}
PUBLISHED = ["stiscan-x86/stiscan.exe", "stiscan-x64/stiscan.exe"]


def run(*args, **kwargs):
    return subprocess.run(list(args), capture_output=True, text=True, errors="replace", **kwargs)


def make_authority(folder):
    """The authority's certificate (ca.pem), a code-signing certificate it
    issued (signer.pem, its key signer.key) and both in a PKCS#12 file
    (signer.p12, PASSWORD), all made anew in `folder`. None when openssl
    failed (with a FAIL row)."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    with open(os.path.join(folder, "extensions.cnf"), "w") as f:
        f.write(EXTENSIONS)
    steps = [
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
         "-out", "ca.pem", "-days", "30", "-subj", "/CN=" + AUTHORITY,
         "-config", "extensions.cnf", "-extensions", "authority"],
        ["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", "signer.key",
         "-out", "signer.csr", "-subj", "/CN=%s/O=stibridge tests" % PUBLISHER,
         "-config", "extensions.cnf"],
        ["openssl", "x509", "-req", "-in", "signer.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
         "-set_serial", "2", "-days", "30", "-out", "signer.pem", "-extfile", "extensions.cnf",
         "-extensions", "signer"],
        ["openssl", "pkcs12", "-export", "-in", "signer.pem", "-inkey", "signer.key",
         "-certfile", "ca.pem", "-out", "signer.p12", "-passout", "pass:" + PASSWORD],
        # A time stamp authority of its own.
        ["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", "tsa.key",
         "-out", "tsa.csr", "-subj", "/CN=stibridge test time stamps", "-config",
         "extensions.cnf"],
        ["openssl", "x509", "-req", "-in", "tsa.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
         "-set_serial", "3", "-days", "30", "-out", "tsa.pem", "-extfile", "extensions.cnf",
         "-extensions", "stamper"],
    ]
    with open(os.path.join(folder, "tsa.serial"), "w") as f:
        f.write("01\n")
    for step in steps:
        done = run(*step, cwd=folder)
        if done.returncode != 0:
            check(False, "msi-signing-authority-made", "%s: %s" % (step[:2], done.stderr[-400:]))
            return None
    return {name: os.path.join(folder, name)
            for name in ["ca.pem", "signer.pem", "signer.key", "signer.p12", "extensions.cnf"]}


def build_msi(root, out, *args, password=PASSWORD, env=None):
    """packaging/build-msi with its arguments, the key's password in the
    environment only."""
    environment = dict(os.environ if env is None else env)
    environment.pop("STIBRIDGE_SIGN_PASSWORD", None)
    if password is not None:
        environment["STIBRIDGE_SIGN_PASSWORD"] = password
    return run(os.path.join(root, "packaging", "build-msi"), *args, out, env=environment)


def verify(path, ca):
    """osslsigncode's verdict on the file's signature, against the
    authority alone: (verified, what it printed)."""
    done = run("osslsigncode", "verify", "-CAfile", ca, "-in", path)
    said = done.stdout + done.stderr
    return done.returncode == 0 and "Signature verification: ok" in said, said


def extract(package, folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    done = run("msiextract", "-C", folder, package)
    return done.returncode == 0, done.stderr[-300:]


def changed_copy(path, folder):
    """A copy of the file with one byte changed where the signature covers
    it: inside the string pool of a package (a text of its tables), in the
    middle of a program's image otherwise."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    text = b"A newer version of stibridge is already installed."
    at = data.find(text) + 2 if path.endswith(".msi") else len(data) // 2
    data[at] ^= 0x01
    copy = os.path.join(folder, "changed-" + os.path.basename(path))
    with open(copy, "wb") as f:
        f.write(data)
    return copy


def signed_package_rows(name, package, ca, folder, published=True):
    """The package's signature and every file's in it (and, when
    `published`, both stiscan.exe beside it) verify against the authority,
    naming the product and its web address; a copy of any of them with one
    byte changed does not verify."""
    ok, said = verify(package, ca)
    check(ok and "Text description: stibridge" in said and "URL description: " + PRODUCT_URL
          in said, name + "-package-verifies", said[-600:])
    files = os.path.join(folder, "extracted")
    extracted, why = extract(package, files)
    check(extracted, name + "-package-extracted", why)
    signed = [(artefact, os.path.join(files, path)) for artefact, path in EXTRACTED.items()]
    if published:
        signed += [(path.split("/")[0], os.path.join(os.path.dirname(package), path))
                   for path in PUBLISHED]
    for artefact, path in signed:
        ok, said = verify(path, ca)
        check(ok and "Text description: stibridge" in said and PUBLISHER in said,
              "%s-%s-verifies" % (name, artefact), said[-400:])
    changed = os.path.join(folder, "changed")
    shutil.rmtree(changed, ignore_errors=True)
    os.makedirs(changed)
    for artefact, path in [("package", package)] + signed:
        if not os.path.isfile(path):
            continue
        ok, said = verify(changed_copy(path, changed), ca)
        check(not ok, "%s-%s-one-byte-changed-fails" % (name, artefact), said[-300:])
    return {artefact: path for artefact, path in signed}


def unsigned(said):
    """Whether osslsigncode said that a file has no signature (2.5 and 2.9
    word it so for a program, both thus for a package)."""
    return "No signature found" in said or "MSI file has no signature" in said


def unsigned_rows(package, folder, ca):
    """The package built without signing, and every file in it, are
    reported unsigned."""
    ok, said = verify(package, ca)
    check(not ok and unsigned(said), "msi-unsigned-package-reported-unsigned", said[-300:])
    files = os.path.join(folder, "unsigned")
    extracted, why = extract(package, files)
    results = {artefact: verify(os.path.join(files, path), ca)
               for artefact, path in EXTRACTED.items()}
    check(extracted and all(not ok and unsigned(said) for ok, said in results.values()),
          "msi-unsigned-files-reported-unsigned",
          why + str({a: said[-120:] for a, (ok, said) in results.items()
                     if ok or not unsigned(said)}))


def sums_rows(name, package):
    """SHA256SUMS beside the package lists the package and both stiscan.exe
    with their digests, and sha256sum checks them."""
    folder = os.path.dirname(package)
    try:
        with open(os.path.join(folder, "SHA256SUMS"), encoding="utf-8") as f:
            listed = [line.split("  ", 1)[1].strip() for line in f if "  " in line]
    except OSError as error:
        listed = [str(error)]
    done = run("sha256sum", "--check", "--strict", "SHA256SUMS", cwd=folder)
    check(done.returncode == 0 and sorted(listed) == sorted([os.path.basename(package)]
                                                            + PUBLISHED),
          name + "-sums-beside-package", "%s %s" % (listed, done.stdout[-300:] + done.stderr))


def failed_signature_rows(root, authority, folder):
    """A signature that fails (the wrong password) stops the build: it says
    so, and nothing is left under the package's name, neither the package
    nor stiscan beside it nor a line in the sums; a package of an earlier
    build there is gone too. Nor does build-msi take a password on its
    command line."""
    out = os.path.join(folder, "stibridge.msi")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    with open(out, "w") as f:
        f.write("an earlier build's package")
    done = build_msi(root, out, "--sign", authority["signer.p12"], password="not the password")
    left = sorted(os.path.relpath(os.path.join(path, name), folder)
                  for path, _, names in os.walk(folder) for name in names)
    check(done.returncode != 0 and "signing" in done.stderr and not left,
          "msi-failed-signature-leaves-nothing",
          "exit %d, left %s: %s" % (done.returncode, left, done.stderr[-400:]))
    done = build_msi(root, out, "--sign", authority["signer.p12"], password=None)
    refused = run(os.path.join(root, "packaging", "build-msi"), "--sign",
                  authority["signer.p12"], "--pass", PASSWORD, out)
    check(done.returncode != 0 and "STIBRIDGE_SIGN_PASSWORD" in done.stderr
          and refused.returncode == 2 and not os.path.exists(out),
          "msi-sign-password-from-environment-only",
          "%d %r; %d %r" % (done.returncode, done.stderr[-200:], refused.returncode,
                            refused.stderr[-200:]))


def pkcs11_rows(root, authority, folder):
    """The package signed by the key on a software token (SoftHSM, through
    its PKCS#11 module), the PIN from the environment: it verifies."""
    if not os.path.exists(SOFTHSM) or not shutil.which("softhsm2-util"):
        skip("msi-pkcs11-package-verifies", "SoftHSM is not installed (scripts/setup installs it)")
        return
    tokens = os.path.join(folder, "tokens")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(tokens)
    conf = os.path.join(folder, "softhsm2.conf")
    with open(conf, "w") as f:
        f.write("directories.tokendir = %s\nobjectstore.backend = file\n" % tokens)
    env = dict(os.environ, SOFTHSM2_CONF=conf)
    key = os.path.join(folder, "signer.pk8")
    steps = [["openssl", "pkcs8", "-topk8", "-nocrypt", "-in", authority["signer.key"],
              "-out", key],
             ["softhsm2-util", "--init-token", "--free", "--label", "stibridge", "--pin", PIN,
              "--so-pin", "5678"],
             ["softhsm2-util", "--import", key, "--token", "stibridge", "--label", "signer",
              "--id", "01", "--pin", PIN]]
    for step in steps:
        done = run(*step, env=env)
        if done.returncode != 0:
            check(False, "msi-pkcs11-package-verifies", "%s: %s" % (step[:2], done.stderr[-300:]))
            return
    out = os.path.join(folder, "release", "stibridge.msi")
    done = build_msi(root, out, "--pkcs11-module", SOFTHSM, "--pkcs11-key",
                     "pkcs11:token=stibridge;object=signer;type=private", "--pkcs11-cert",
                     authority["signer.pem"], password=PIN, env=env)
    ok, said = verify(out, authority["ca.pem"]) if done.returncode == 0 else (False, "")
    check(done.returncode == 0 and ok and PUBLISHER in said, "msi-pkcs11-package-verifies",
          done.stderr[-500:] + said[-300:])


class TimeStamps(http.server.BaseHTTPRequestHandler):
    """An RFC 3161 time stamp authority on the loopback address: each
    request posted is answered by `openssl ts -reply` with the authority's
    time stamp certificate."""

    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        folder = os.path.dirname(self.server.settings)
        with tempfile.TemporaryDirectory() as scratch:
            with open(os.path.join(scratch, "query"), "wb") as f:
                f.write(query)
            done = run("openssl", "ts", "-reply", "-config", self.server.settings,
                       "-queryfile", os.path.join(scratch, "query"),
                       "-out", os.path.join(scratch, "reply"), cwd=folder)
            reply = b""
            if done.returncode == 0:
                with open(os.path.join(scratch, "reply"), "rb") as f:
                    reply = f.read()
        self.server.answered += 1 if reply else 0
        self.send_response(200 if reply else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


def timestamp_rows(root, authority, folder):
    """The package built with --timestamp, from the test's own time stamp
    authority on the loopback address: every signature gets a time stamp
    (one request per binary and one for the package), and the package's
    and a file's time stamps verify against the authority."""
    shutil.rmtree(folder, ignore_errors=True)
    server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamps)
    server.settings = authority["extensions.cnf"]
    server.answered = 0
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        out = os.path.join(folder, "stibridge.msi")
        done = build_msi(root, out, "--sign", authority["signer.p12"], "--timestamp",
                         "http://127.0.0.1:%d/" % server.server_address[1])
    finally:
        server.shutdown()
        server.server_close()
    said = ""
    for path in [out, os.path.join(folder, PUBLISHED[0])]:
        verified = run("osslsigncode", "verify", "-CAfile", authority["ca.pem"], "-TSA-CAfile",
                       authority["ca.pem"], "-in", path) if done.returncode == 0 else None
        said += verified.stdout + verified.stderr if verified else ""
    lines = [line.strip() for line in said.splitlines()]
    check(done.returncode == 0 and server.answered == 8
          and lines.count("Timestamp Server Signature verification: ok") == 2
          and lines.count("Signature verification: ok") == 2,
          "msi-timestamped-package-verifies",
          "%d time stamps; %s %s" % (server.answered, done.stderr[-300:], said[-400:]))


def signing(root, ctx):
    """Makes the authority and the signed package (ctx["signed"]: the
    package, ctx["signed_artefacts"]: its files as extracted), and runs the
    rows above. False when the signed package could not be made."""
    folder = os.path.join(ctx["builds"]["win64"], "msi-signing")
    started = time.monotonic()
    authority = make_authority(os.path.join(folder, "authority"))
    if authority is None:
        return False
    ctx["authority"] = authority
    ctx["publisher"] = PUBLISHER
    release = os.path.join(folder, "release")
    shutil.rmtree(release, ignore_errors=True)
    package = os.path.join(release, "stibridge.msi")
    built = build_msi(root, package, "--sign", authority["signer.p12"])
    print("signed package built in %.1f s" % (time.monotonic() - started), flush=True)
    check(built.returncode == 0 and os.path.isfile(package)
          and "signed the package and its 7 binaries" in built.stderr,
          "msi-rebuild-package-built", built.stderr[-500:])
    if built.returncode != 0:
        return False
    ctx["signed"] = package
    ctx["signed_artefacts"] = signed_package_rows("msi-signed", package, authority["ca.pem"],
                                                  os.path.join(folder, "check"))
    ctx["signed_stiscan"] = {"32": os.path.join(release, PUBLISHED[0]),
                             "64": os.path.join(release, PUBLISHED[1])}
    sums_rows("msi-signed", package)
    unsigned_rows(ctx["package"], os.path.join(folder, "check"), authority["ca.pem"])
    check("not signed" in ctx.get("unsigned_said", "not signed"),
          "msi-unsigned-build-says-so", ctx.get("unsigned_said", ""))
    # The signed files are the unsigned build's with a signature added: with
    # it removed again, each is the build's own file, but for the header's
    # checksum, which signing fills in, and the zeros that pad the file to
    # the 8 bytes the signature is aligned to. So a published signed file
    # can be held against a build of one's own.
    differing = []
    for artefact, path in ctx["signed_artefacts"].items():
        if artefact not in ctx["artefacts"]:
            continue
        stripped = os.path.join(folder, "check", "stripped-" + artefact)
        if os.path.exists(stripped):
            os.remove(stripped)
        run("osslsigncode", "remove-signature", "-in", path, "-out", stripped)
        if not same_but_checksum(stripped, ctx["artefacts"][artefact]):
            differing.append(artefact)
    check(not differing, "msi-signed-files-are-the-build-s-signed", differing)
    failed_signature_rows(root, authority, os.path.join(folder, "failed"))
    pkcs11_rows(root, authority, os.path.join(folder, "pkcs11"))
    timestamp_rows(root, authority, os.path.join(folder, "timestamped"))
    print("signing checks took %.1f s" % (time.monotonic() - started), flush=True)
    return True


def pe_checksum_at(data):
    """Where a PE file keeps its checksum (the optional header's, at 64)."""
    header = int.from_bytes(data[0x3C:0x40], "little")
    return header + 24 + 64


def same_but_checksum(stripped, built):
    """Whether a file whose signature was removed is the built one, but for
    the PE checksum and up to 7 zeros of padding at its end."""
    try:
        with open(stripped, "rb") as f:
            a = bytearray(f.read())
        with open(built, "rb") as f:
            b = bytearray(f.read())
    except OSError:
        return False
    padding = a[len(b):]
    if len(b) < 0x40 or not 0 <= len(padding) < 8 or padding.strip(b"\0"):
        return False
    a = a[:len(b)]
    at = pe_checksum_at(a)
    a[at:at + 4] = b[at:at + 4] = b"\0\0\0\0"
    return a == b


def tables(package):
    """{table: rows as msiinfo exports them} of every table of the package."""
    names = run("msiinfo", "tables", package).stdout.split()
    return {name: run("msiinfo", "export", package, name).stdout for name in sorted(names)}


def digests(folder):
    found = {}
    for path, _, names in os.walk(folder):
        for name in names:
            with open(os.path.join(path, name), "rb") as f:
                found[os.path.relpath(os.path.join(path, name), folder)] = \
                    hashlib.sha256(f.read()).hexdigest()
    return found


def reproducible(root, ctx):
    """The packaged binaries of both presets built again from a copy of the
    tree (another folder, so another source and build folder) under a date
    400 days on, compared byte for byte with the first build; then the
    package built from them (packaging/build-msi --version of the same
    version in the copy, which builds nothing more) compared with the first
    package: tables, files and bytes."""
    work = os.path.join(ctx["builds"]["win64"], "msi-repro")
    tree = os.path.join(work, "tree")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(tree)
    for entry in os.listdir(root):
        if entry in ("build", ".git"):
            continue
        source = os.path.join(root, entry)
        if os.path.isdir(source):
            shutil.copytree(source, os.path.join(tree, entry), symlinks=True)
        else:
            shutil.copy2(source, os.path.join(tree, entry))
    epoch = run("git", "-C", root, "log", "-1", "--format=%ct").stdout.strip()
    version = ctx["version"]
    started = time.monotonic()
    built = True
    for preset, targets in [("win64", ["stibridge", "stibridgeps", "stibridge_ds"]),
                            ("win32", ["stibridgeps", "stibridge_ds"])]:
        folder = os.path.join("build", preset, "version-" + version)
        for step in [["cmake", "--preset", preset, "-B", folder,
                      "-DSTIBRIDGE_VERSION_OVERRIDE=" + version],
                     ["cmake", "--build", folder, "--target", *targets]]:
            done = run("faketime", "-f", "+400d", *step, cwd=tree)
            if done.returncode != 0:
                built = False
                check(False, "msi-reproducible-build-" + preset, done.stdout[-400:]
                      + done.stderr[-400:])
                break
    seconds = time.monotonic() - started
    print("second build of the packaged binaries took %.1f s" % seconds, flush=True)
    note("the packaged binaries built a second time (both presets, 400 days on, another "
         "folder) in %.0f s" % seconds)
    if not built:
        return
    second = {"server": "build/win64/version-%s/src/stibridge.exe",
              "proxy64": "build/win64/version-%s/proxy/stibridgeps.dll",
              "proxy32": "build/win32/version-%s/proxy/stibridgeps.dll",
              "twain32": "build/win32/version-%s/twain/stibridge.ds",
              "twain64": "build/win64/version-%s/twain/stibridge.ds"}
    for artefact, path in second.items():
        again = os.path.join(tree, path % version)
        same = os.path.isfile(again) and filecmp.cmp(ctx["artefacts"][artefact], again,
                                                     shallow=False)
        check(same, "msi-reproducible-" + artefact, "%s differs from %s"
              % (again, ctx["artefacts"][artefact]))

    environment = dict(os.environ, SOURCE_DATE_EPOCH=epoch)
    package = os.path.join(work, "stibridge.msi")
    done = run(os.path.join(tree, "packaging", "build-msi"), "--version", version, package,
               env=environment)
    if done.returncode != 0:
        check(False, "msi-reproducible-package-built", done.stderr[-500:])
        return
    first, again = tables(ctx["package"]), tables(package)
    check(first == again and "File" in first, "msi-reproducible-package-tables",
          [name for name in set(first) | set(again) if first.get(name) != again.get(name)])
    extract(ctx["package"], os.path.join(work, "first"))
    extract(package, os.path.join(work, "again"))
    files = digests(os.path.join(work, "first")), digests(os.path.join(work, "again"))
    check(files[0] == files[1] and len(files[0]) == len(EXTRACTED),
          "msi-reproducible-package-files", "%s %s" % files)
    check(filecmp.cmp(ctx["package"], package, shallow=False), "msi-reproducible-package-bytes")
    codes = {row["Property"]: row["Value"] for row in msi_table(package, "Property")}
    note("the package built twice has product code %s both times"
         % codes.get("ProductCode", "?"))
