"""A real container tool against the registry through lighttpd: skopeo
copies images in from OCI layout directories built here, inspects them, lists
their tags, copies them back out (every blob compared byte for byte) and
deletes them; once for an image with two layers, once for a two-platform
image index copied with --all."""

import gzip
import io
import json
import os
import shutil
import subprocess
import tarfile
import tempfile
import unittest

import regtest
from regtest import digest_of

OCI_MANIFEST = "application/vnd.oci.image.manifest.v1+json"
OCI_INDEX = "application/vnd.oci.image.index.v1+json"
OCI_CONFIG = "application/vnd.oci.image.config.v1+json"
OCI_LAYER = "application/vnd.oci.image.layer.v1.tar+gzip"
REF_NAME = "org.opencontainers.image.ref.name"


def tar_gz(files):
    """A gzip-compressed tar of {name: bytes}, the same bytes every run."""
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as tar:
        for name, data in sorted(files.items()):
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mtime = 0
            info.mode = 0o644
            tar.addfile(info, io.BytesIO(data))
    return gzip.compress(raw.getvalue(), mtime=0), raw.getvalue()


class Layout:
    """An OCI image layout directory written from scratch."""

    def __init__(self, path):
        self.path = path
        os.makedirs(os.path.join(path, "blobs", "sha256"))
        with open(os.path.join(path, "oci-layout"), "w") as f:
            json.dump({"imageLayoutVersion": "1.0.0"}, f)
        self.refs = []

    def blob(self, data):
        d = digest_of(data)
        with open(os.path.join(self.path, "blobs", "sha256", d[7:]), "wb") as f:
            f.write(data)
        return {"digest": d, "size": len(data)}

    def image(self, arch, layer_files):
        """Writes config, layers and manifest; returns the manifest's
        descriptor."""
        layers, diff_ids = [], []
        for files in layer_files:
            gz, raw = tar_gz(files)
            layers.append(dict(mediaType=OCI_LAYER, **self.blob(gz)))
            diff_ids.append(digest_of(raw))
        config = json.dumps({"architecture": arch, "os": "linux", "config": {},
                             "rootfs": {"type": "layers", "diff_ids": diff_ids}},
                            sort_keys=True).encode()
        manifest = json.dumps({"schemaVersion": 2, "mediaType": OCI_MANIFEST,
                               "config": dict(mediaType=OCI_CONFIG, **self.blob(config)),
                               "layers": layers}, indent=2).encode()
        return dict(mediaType=OCI_MANIFEST, **self.blob(manifest))

    def index(self, platforms):
        """An image index of (descriptor, arch) pairs; its descriptor."""
        body = json.dumps({"schemaVersion": 2, "mediaType": OCI_INDEX, "manifests": [
            dict(platform={"architecture": arch, "os": "linux"}, **desc)
            for desc, arch in platforms]}).encode()
        return dict(mediaType=OCI_INDEX, **self.blob(body))

    def tag(self, desc, name):
        self.refs.append(dict(annotations={REF_NAME: name}, **desc))
        with open(os.path.join(self.path, "index.json"), "w") as f:
            json.dump({"schemaVersion": 2, "manifests": self.refs}, f)

    def blobs(self):
        """{digest: bytes} of every blob in the layout."""
        d = os.path.join(self.path, "blobs", "sha256")
        out = {}
        for name in os.listdir(d):
            with open(os.path.join(d, name), "rb") as f:
                out["sha256:" + name] = f.read()
        return out


class Skopeo(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if shutil.which("skopeo") is None:
            raise unittest.SkipTest("skopeo is not installed (scripts/setup.sh installs it)")
        cls.reg = regtest.Registry().__enter__()
        cls.home = tempfile.mkdtemp(prefix="regtest-skopeo-")
        cls.policy = os.path.join(cls.home, "policy.json")
        with open(cls.policy, "w") as f:
            json.dump({"default": [{"type": "insecureAcceptAnything"}]}, f)
        registries = os.path.join(cls.home, "registries.conf")
        with open(registries, "w") as f:
            f.write("")
        cls.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": cls.home,
            "XDG_CONFIG_HOME": os.path.join(cls.home, "config"),
            "XDG_DATA_HOME": os.path.join(cls.home, "data"),
            "XDG_CACHE_HOME": os.path.join(cls.home, "cache"),
            "XDG_RUNTIME_DIR": os.path.join(cls.home, "run"),
            "CONTAINERS_REGISTRIES_CONF": registries,
            "TMPDIR": os.path.join(cls.home, "tmp"),
        }
        for k in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR", "TMPDIR"):
            os.makedirs(cls.env[k], mode=0o700)

    @classmethod
    def tearDownClass(cls):
        cls.reg.__exit__(None, None, None)
        shutil.rmtree(cls.home, ignore_errors=True)

    def tearDown(self):
        self.assertEqual(self.reg.sanitizer_reports(), [])

    def skopeo(self, *args, ok=True):
        cmd = ["skopeo", "--policy", self.policy, "--tmpdir", self.env["TMPDIR"], *args]
        r = subprocess.run(cmd, env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=300)
        if ok:
            self.assertEqual(r.returncode, 0, "%s\n%s\n%s" % (" ".join(args),
                                                               r.stderr.decode(errors="replace"),
                                                               self.reg.log()[-3000:]))
        return r

    def docker(self, ref):
        return "docker://127.0.0.1:%d/%s" % (self.reg.port, ref)

    def copy_in(self, src, ref, *extra):
        self.skopeo("copy", "--dest-tls-verify=false", *extra, src, self.docker(ref))

    def inspect(self, ref, *extra):
        out = self.skopeo("inspect", "--tls-verify=false", *extra, self.docker(ref)).stdout
        return json.loads(out)

    def assert_gone(self, repo, digest):
        r = self.reg.request("GET", "/v2/%s/manifests/%s" % (repo, digest))
        self.assertEqual(r.status, 404, r)
        self.assertEqual(json.loads(r.body)["errors"][0]["code"], "MANIFEST_UNKNOWN")

    def test_image_with_two_layers_goes_in_and_out_unchanged(self):
        work = tempfile.mkdtemp(dir=self.home)
        src = Layout(os.path.join(work, "in"))
        desc = src.image("amd64", [{"etc/hello": b"hello\n" * 1000},
                                   {"bin/tool": os.urandom(300000), "etc/conf": b"x=1\n"}])
        src.tag(desc, "v1")
        self.copy_in("oci:%s:v1" % src.path, "team/app:v1")
        self.copy_in("oci:%s:v1" % src.path, "team/app:stable")

        info = self.inspect("team/app:v1")
        self.assertEqual(info["Digest"], desc["digest"])
        self.assertEqual(sorted(info["RepoTags"]), ["stable", "v1"])
        manifest = json.loads(src.blobs()[desc["digest"]])
        self.assertEqual(info["Layers"], [l["digest"] for l in manifest["layers"]])
        raw = self.skopeo("inspect", "--tls-verify=false", "--raw", self.docker("team/app:v1")).stdout
        self.assertEqual(raw, src.blobs()[desc["digest"]])

        tags = json.loads(self.skopeo("list-tags", "--tls-verify=false",
                                      self.docker("team/app")).stdout)
        self.assertEqual(sorted(tags["Tags"]), ["stable", "v1"])

        # Out again, to a layout of its own: every blob byte for byte.
        out = os.path.join(work, "out")
        self.skopeo("copy", "--src-tls-verify=false", self.docker("team/app:v1"), "oci:%s:v1" % out)
        got = Layout.__new__(Layout)
        got.path = out
        self.assertEqual(sorted(got.blobs()), sorted(src.blobs()))
        for d, data in src.blobs().items():
            self.assertTrue(got.blobs()[d] == data, d)

        # A copy to another repository of the same registry.
        self.skopeo("copy", "--src-tls-verify=false", "--dest-tls-verify=false",
                    self.docker("team/app:v1"), self.docker("mirror/app:v1"))
        self.assertEqual(self.inspect("mirror/app:v1")["Digest"], desc["digest"])
        stats = json.loads(self.reg.request("GET", "/v2/_stats").body)
        self.assertEqual(stats["active_uploads"], 0)

        # Deleting by tag through the tool removes the manifest and every tag.
        self.skopeo("delete", "--tls-verify=false", self.docker("team/app:v1"))
        self.assert_gone("team/app", desc["digest"])
        for tag in ("v1", "stable"):
            r = self.reg.request("GET", "/v2/team/app/manifests/" + tag)
            self.assertEqual(r.status, 404, r)
        self.assertNotEqual(self.skopeo("inspect", "--tls-verify=false",
                                        self.docker("team/app:v1"), ok=False).returncode, 0)
        # The other repository keeps its own.
        self.assertEqual(self.inspect("mirror/app:v1")["Digest"], desc["digest"])
        shutil.rmtree(work)

    def test_two_platform_index_goes_in_and_out_with_all(self):
        work = tempfile.mkdtemp(dir=self.home)
        src = Layout(os.path.join(work, "in"))
        amd = src.image("amd64", [{"a": b"amd64 layer one\n"}, {"b": os.urandom(70000)}])
        arm = src.image("arm64", [{"a": b"arm64 layer one\n"}, {"b": os.urandom(90000)}])
        idx = src.index([(amd, "amd64"), (arm, "arm64")])
        src.tag(idx, "multi")
        self.copy_in("oci:%s:multi" % src.path, "team/multi:v1", "--all")

        raw = self.skopeo("inspect", "--tls-verify=false", "--raw",
                          self.docker("team/multi:v1")).stdout
        self.assertEqual(raw, src.blobs()[idx["digest"]])
        r = self.reg.request("HEAD", "/v2/team/multi/manifests/v1")
        self.assertEqual(r.header("Content-Type"), OCI_INDEX)
        self.assertEqual(r.header("Docker-Content-Digest"), idx["digest"])
        # Each platform resolves through the index to its own manifest.
        for desc, arch in ((amd, "amd64"), (arm, "arm64")):
            info = self.inspect("team/multi:v1", "--override-arch", arch, "--override-os", "linux")
            self.assertEqual(info["Digest"], idx["digest"])
            self.assertEqual(info["Architecture"], arch)
            manifest = json.loads(src.blobs()[desc["digest"]])
            self.assertEqual(info["Layers"], [l["digest"] for l in manifest["layers"]])

        out = os.path.join(work, "out")
        self.skopeo("copy", "--all", "--src-tls-verify=false", self.docker("team/multi:v1"),
                    "oci:%s:multi" % out)
        got = Layout.__new__(Layout)
        got.path = out
        self.assertEqual(sorted(got.blobs()), sorted(src.blobs()))
        for d, data in src.blobs().items():
            self.assertTrue(got.blobs()[d] == data, d)

        self.skopeo("delete", "--tls-verify=false", self.docker("team/multi:v1"))
        self.assert_gone("team/multi", idx["digest"])
        r = self.reg.request("GET", "/v2/team/multi/tags/list")
        self.assertEqual(json.loads(r.body)["tags"], [])
        shutil.rmtree(work)


if __name__ == "__main__":
    regtest.main()
