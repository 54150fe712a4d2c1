"""The registry's read and listing resources through lighttpd, with curl and
http.client: byte ranges of a blob, manifests of any size, tag pages of a
repository with 1,000 tags and catalog pages followed by their Link
headers, and the upload session's Range reporting."""

import json
import os
import re
import unittest

import regtest
from regtest import digest_of

OCI_MANIFEST = "application/vnd.oci.image.manifest.v1+json"
LINK = re.compile(r'^<(/v2/[^>]+)>; rel="next"$')


class RegistryApi(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.reg = regtest.Registry().__enter__()
        # One blob of several 64 KiB pieces, and a manifest naming it.
        cls.blob = os.urandom(200003)
        cls.digest = cls.push_blob(cls.blob)
        cls.config = b'{"architecture":"amd64","os":"linux"}'
        cls.push_blob(cls.config)

    @classmethod
    def tearDownClass(cls):
        cls.reg.__exit__(None, None, None)

    def tearDown(self):
        self.assertEqual(self.reg.sanitizer_reports(), [])

    @classmethod
    def push_blob(cls, data):
        d = digest_of(data)
        r = cls.reg.request("POST", "/v2/team/app/blobs/uploads/?digest=" + d, data)
        assert r.status == 201, r
        return d

    def manifest(self, note=""):
        return json.dumps({
            "schemaVersion": 2, "mediaType": OCI_MANIFEST,
            "config": {"mediaType": "application/vnd.oci.image.config.v1+json",
                       "digest": digest_of(self.config), "size": len(self.config)},
            "layers": [{"mediaType": "application/vnd.oci.image.layer.v1.tar+gzip",
                        "digest": self.digest, "size": len(self.blob)}],
            "annotations": {"note": note}}).encode()

    def put_manifest(self, repo, ref, body):
        r = self.reg.request("PUT", "/v2/%s/manifests/%s" % (repo, ref), body,
                             {"Content-Type": OCI_MANIFEST})
        self.assertEqual(r.status, 201, r)
        return r.header("Docker-Content-Digest")

    # -- blobs ------------------------------------------------------------------

    def test_blob_ranges_with_curl(self):
        path = "/v2/team/app/blobs/" + self.digest
        size = len(self.blob)
        cases = [
            # (curl range, status, first, last)
            (None, 200, 0, size - 1),
            ("0-0", 206, 0, 0),
            ("65530-131080", 206, 65530, 131080),
            ("199999-", 206, 199999, size - 1),
            ("-10", 206, size - 10, size - 1),
            ("100-999999999", 206, 100, size - 1),
            # Several ranges: served whole by the program, not cut by the server.
            ("0-1,4-5", 200, 0, size - 1),
        ]
        for rng, status, first, last in cases:
            with self.subTest(range=rng):
                args = ["-r", rng] if rng else []
                got, headers, body = self.reg.curl(*args, path)
                self.assertEqual(got, status)
                self.assertTrue(body == self.blob[first:last + 1], "%d bytes" % len(body))
                self.assertEqual(headers["content-length"], str(last - first + 1))
                self.assertEqual(headers["docker-content-digest"], self.digest)
                self.assertEqual(headers["content-type"], "application/octet-stream")
                self.assertEqual(headers["docker-distribution-api-version"], "registry/2.0")
                if status == 206:
                    self.assertEqual(headers["content-range"],
                                     "bytes %d-%d/%d" % (first, last, size))
                else:
                    self.assertNotIn("content-range", headers)

        got, headers, body = self.reg.curl("-r", "%d-" % size, path)
        self.assertEqual(got, 416)
        self.assertEqual(headers["content-range"], "bytes */%d" % size)
        self.assertEqual(json.loads(body)["errors"][0]["code"], "SIZE_INVALID")

        got, headers, body = self.reg.curl("-I", path)
        self.assertEqual(got, 200)
        self.assertEqual(headers["content-length"], str(size))
        self.assertEqual(body, b"")

        got, _, body = self.reg.curl("/v2/team/app/blobs/" + digest_of(b"absent"))
        self.assertEqual(got, 404)
        self.assertEqual(json.loads(body)["errors"][0]["code"], "BLOB_UNKNOWN")

    def test_blob_delete_then_unknown(self):
        d = self.push_blob(b"short-lived blob")
        r = self.reg.request("DELETE", "/v2/other/repo/blobs/" + d)
        self.assertEqual(r.status, 202, r)
        self.assertEqual(self.reg.request("HEAD", "/v2/team/app/blobs/" + d).status, 404)
        r = self.reg.request("DELETE", "/v2/team/app/blobs/" + d)
        self.assertEqual(r.status, 404, r)

    # -- manifests ----------------------------------------------------------------

    def test_manifest_larger_than_one_mib_comes_back_whole(self):
        body = self.manifest("x" * (3 << 19))
        d = self.put_manifest("team/big", "v1", body)
        self.assertEqual(d, digest_of(body))
        for ref in ("v1", d):
            r = self.reg.request("GET", "/v2/team/big/manifests/" + ref)
            self.assertEqual(r.status, 200, r)
            self.assertTrue(r.body == body, "%d bytes of %d" % (len(r.body), len(body)))
            self.assertEqual(r.header("Content-Type"), OCI_MANIFEST)
            self.assertEqual(r.header("Docker-Content-Digest"), d)
        r = self.reg.request("HEAD", "/v2/team/big/manifests/v1")
        self.assertEqual((r.status, r.header("Content-Length"), r.body), (200, str(len(body)), b""))

    def test_manifest_naming_an_unstored_blob_is_refused(self):
        body = self.manifest().replace(self.digest.encode(), digest_of(b"missing").encode())
        r = self.reg.request("PUT", "/v2/team/app/manifests/broken", body,
                             {"Content-Type": OCI_MANIFEST})
        self.assertEqual(r.status, 400, r)
        self.assertEqual(json.loads(r.body)["errors"][0]["code"], "MANIFEST_BLOB_UNKNOWN")
        self.assertEqual(self.reg.request("GET", "/v2/team/app/manifests/broken").status, 404)

    # -- pages ----------------------------------------------------------------------

    def follow(self, first_path):
        """GETs the page and every page its Link headers lead to; the pages'
        documents in order."""
        docs, path = [], first_path
        for _ in range(100):
            r = self.reg.request("GET", path)
            self.assertEqual(r.status, 200, r)
            self.assertEqual(r.header("Content-Type"), "application/json; charset=utf-8")
            docs.append(json.loads(r.body))
            link = r.header("Link")
            if link is None:
                return docs
            m = LINK.match(link)
            self.assertIsNotNone(m, link)
            path = m.group(1)
        self.fail("Link headers did not end")

    def test_thousand_tags_are_paged_by_link_headers(self):
        d = self.put_manifest("team/many", "t0000", self.manifest("many"))
        # The other 999 tag links written raw, as the store writes them.
        tags_dir = os.path.join(self.reg.storage, "repositories", "team", "many", "_manifests",
                                "tags")
        for i in range(1, 1000):
            cur = os.path.join(tags_dir, "t%04d" % i, "current")
            os.makedirs(cur)
            with open(os.path.join(cur, "link"), "w") as f:
                f.write(d)
        want = ["t%04d" % i for i in range(1000)]

        docs = self.follow("/v2/team/many/tags/list?n=300")
        self.assertEqual([len(doc["tags"]) for doc in docs], [300, 300, 300, 100])
        self.assertEqual([t for doc in docs for t in doc["tags"]], want)
        self.assertTrue(all(doc["name"] == "team/many" for doc in docs))

        # Without n, a page holds up to 1000: all of them, and no Link.
        docs = self.follow("/v2/team/many/tags/list")
        self.assertEqual(len(docs), 1)
        self.assertEqual(docs[0]["tags"], want)

        # The same through curl, whose Link header names the next page.
        status, headers, body = self.reg.curl("/v2/team/many/tags/list?n=999")
        self.assertEqual(status, 200)
        self.assertEqual(headers["link"], '</v2/team/many/tags/list?n=999&last=t0998>; rel="next"')
        self.assertEqual(json.loads(body)["tags"], want[:999])

        r = self.reg.request("GET", "/v2/team/none/tags/list")
        self.assertEqual(r.status, 404, r)
        self.assertEqual(json.loads(r.body)["errors"][0]["code"], "NAME_UNKNOWN")

    def test_catalog_pages_list_full_names(self):
        for repo in ("cat/a", "cat/b/c", "cat/d"):
            self.put_manifest(repo, "v1", self.manifest(repo))
        docs = self.follow("/v2/_catalog?n=2")
        names = [n for doc in docs for n in doc["repositories"]]
        self.assertEqual(names, sorted(names))
        for repo in ("cat/a", "cat/b/c", "cat/d"):
            self.assertIn(repo, names)
        self.assertTrue(all(len(doc["repositories"]) <= 2 for doc in docs))

    # -- uploads --------------------------------------------------------------------

    def test_upload_reports_its_range_and_refuses_chunks_out_of_order(self):
        r = self.reg.request("POST", "/v2/team/app/blobs/uploads/")
        self.assertEqual(r.status, 202, r)
        loc = r.header("Location")
        chunks = [os.urandom(70000), os.urandom(1000)]
        r = self.reg.request("PATCH", loc, chunks[0], {"Content-Range": "0-69999"})
        self.assertEqual((r.status, r.header("Range")), (202, "0-69999"), r)
        # A repeat of the same chunk would corrupt the blob: refused.
        r = self.reg.request("PATCH", loc, chunks[0], {"Content-Range": "0-69999"})
        self.assertEqual((r.status, r.header("Range")), (416, "0-69999"), r)
        r = self.reg.request("GET", loc)
        self.assertEqual((r.status, r.header("Range")), (204, "0-69999"), r)
        r = self.reg.request("PATCH", loc, chunks[1], {"Content-Range": "70000-70999"})
        self.assertEqual((r.status, r.header("Range")), (202, "0-70999"), r)
        whole = b"".join(chunks)
        r = self.reg.request("PUT", loc + "?digest=" + digest_of(whole))
        self.assertEqual(r.status, 201, r)
        self.assertEqual(self.reg.request("GET", "/v2/team/app/blobs/" + digest_of(whole)).body,
                         whole)

    def test_mount_of_a_stored_blob_needs_no_upload(self):
        before = self.reg.session_files()
        r = self.reg.request("POST", "/v2/elsewhere/app/blobs/uploads/?mount=%s&from=team/app"
                             % self.digest)
        self.assertEqual(r.status, 201, r)
        self.assertEqual(r.header("Location"), "/v2/elsewhere/app/blobs/" + self.digest)
        self.assertEqual(r.header("Docker-Content-Digest"), self.digest)
        self.assertEqual(self.reg.session_files(), before)
        r = self.reg.request("POST", "/v2/elsewhere/app/blobs/uploads/?mount=%s&from=team/app"
                             % digest_of(b"never stored"))
        self.assertEqual(r.status, 202, r)


if __name__ == "__main__":
    regtest.main()
