"""Blob uploads through lighttpd: the flows a container tool runs, with curl,
and the endpoint's replies as the server passes them on."""

import os
import tempfile
import unittest

import regtest
from regtest import digest_of

NAME = "library/app"
UPLOADS = "/v2/library/app/blobs/uploads/"


class UploadFlows(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.reg = regtest.Registry().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.reg.__exit__(None, None, None)

    def tearDown(self):
        self.assertEqual(self.reg.sanitizer_reports(), [])

    def assert_api_version(self, headers):
        self.assertEqual(headers.get("docker-distribution-api-version"), "registry/2.0")

    def curl_with_body(self, method, data, path, *headers):
        """curl sending `data` as the body (from a file, as a tool sends a
        layer), with extra header lines; returns what Registry.curl does."""
        with tempfile.NamedTemporaryFile() as f:
            f.write(data)
            f.flush()
            args = ["-X", method]
            for h in headers:
                args += ["-H", h]
            return self.reg.curl(*args, "--data-binary", "@" + f.name, path)

    def start_session(self):
        status, headers, body = self.reg.curl("-X", "POST", "-H", "Content-Length: 0", UPLOADS)
        self.assertEqual(status, 202)
        self.assertEqual(body, b"")
        upload_id = headers["docker-upload-uuid"]
        self.assertEqual(headers["location"], UPLOADS + upload_id)
        self.assertEqual(headers["range"], "bytes=0-0")
        self.assertNotIn("content-type", headers)
        self.assert_api_version(headers)
        return upload_id

    def test_chunked_upload_with_curl_stores_the_concatenation(self):
        chunks = [b"first chunk\n", bytes(range(256)) * 300, b"", b"\r\nlast\x00bytes"]
        blob = b"".join(chunks)
        digest = digest_of(blob)
        upload_id = self.start_session()

        held = 0
        for chunk in chunks[:2]:
            held += len(chunk)
            status, headers, body = self.curl_with_body(
                "PATCH", chunk, UPLOADS + upload_id, "Content-Type: application/octet-stream")
            self.assertEqual(status, 202)
            self.assertEqual(body, b"")
            self.assertEqual(headers["location"], UPLOADS + upload_id)
            self.assertEqual(headers["docker-upload-uuid"], upload_id)
            # What the session holds so far, as the offset of its last byte.
            self.assertEqual(headers["range"], "0-%d" % (held - 1))
        with open(self.reg.session_path(upload_id), "rb") as f:
            self.assertEqual(f.read(), b"".join(chunks[:2]))

        # An empty PATCH changes nothing; the PUT carries the final chunk.
        status, _, _ = self.reg.curl("-X", "PATCH", "--data-binary", "", UPLOADS + upload_id)
        self.assertEqual(status, 202)
        status, headers, body = self.curl_with_body(
            "PUT", chunks[3], UPLOADS + upload_id + "?digest=" + digest.replace(":", "%3A"))
        self.assertEqual(status, 201)
        self.assertEqual(body, b"")
        self.assertEqual(headers["location"], "/v2/%s/blobs/%s" % (NAME, digest))
        self.assertEqual(headers["docker-content-digest"], digest)
        self.assertNotIn("docker-upload-uuid", headers)
        self.assert_api_version(headers)

        with open(self.reg.blob_path(digest), "rb") as f:
            self.assertEqual(f.read(), blob)
        self.assertNotIn(upload_id + ".part", self.reg.session_files())

    def test_monolithic_post_with_curl_stores_the_blob(self):
        blob = os.urandom(200000)  # over 64 KiB: reaches the program as a spooled file
        digest = digest_of(blob)
        status, headers, body = self.curl_with_body(
            "POST", blob, UPLOADS + "?digest=" + digest, "Content-Type: application/octet-stream")
        self.assertEqual(status, 201)
        self.assertEqual(body, b"")
        self.assertEqual(headers["location"], "/v2/%s/blobs/%s" % (NAME, digest))
        self.assertEqual(headers["docker-content-digest"], digest)
        with open(self.reg.blob_path(digest), "rb") as f:
            self.assertEqual(f.read(), blob)

    def test_patch_with_chunked_transfer_coding_is_taken_whole(self):
        upload_id = self.start_session()
        blob = os.urandom(300000)
        status, headers, _ = self.curl_with_body(
            "PATCH", blob, UPLOADS + upload_id, "Transfer-Encoding: chunked")
        self.assertEqual(status, 202)
        self.assertEqual(headers["docker-upload-uuid"], upload_id)
        # The same through Python, in small chunks of its own framing.
        pieces = [blob[i:i + 7000] for i in range(0, 70000, 7000)]
        framed = b"".join(b"%x\r\n%s\r\n" % (len(p), p) for p in pieces) + b"0\r\n\r\n"
        reply = self.reg.request("PATCH", UPLOADS + upload_id, framed,
                                 {"Transfer-Encoding": "chunked"})
        self.assertEqual(reply.status, 202, reply)
        whole = blob + b"".join(pieces)
        reply = self.reg.request("PUT", UPLOADS + upload_id + "?digest=" + digest_of(whole))
        self.assertEqual(reply.status, 201, reply)
        with open(self.reg.blob_path(digest_of(whole)), "rb") as f:
            self.assertEqual(f.read(), whole)

    def test_replies_pass_through_the_server(self):
        """Statuses, reason phrases, headers and error bodies as a client
        sees them, for each method and the error cases."""
        upload_id = self.start_session()
        other = "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b"
        cases = [
            # method, path, body, status, reason, header checks, error code
            ("GET", UPLOADS + upload_id, None, 204, "No Content",
             {"Location": UPLOADS + upload_id, "Docker-Upload-UUID": upload_id,
              "Range": "0-0"}, None),
            ("GET", UPLOADS + "any-id", None, 204, "No Content",
             {"Docker-Upload-UUID": "any-id", "Range": None}, None),
            ("PATCH", UPLOADS + other, b"", 202, "Accepted",
             {"Docker-Upload-UUID": other, "Range": None}, None),
            ("DELETE", UPLOADS + "no-such-id", None, 202, "Accepted", {}, None),
            ("PATCH", UPLOADS, b"abc", 400, None, {}, "BLOB_UPLOAD_UNKNOWN"),
            ("PATCH", UPLOADS + "not-an-id", b"abc", 400, None, {}, "BLOB_UPLOAD_INVALID"),
            ("PUT", UPLOADS + upload_id, b"abc", 400, None, {}, "DIGEST_INVALID"),
            ("PUT", UPLOADS + upload_id + "?digest=", None, 400, None, {}, "DIGEST_INVALID"),
            ("POST", UPLOADS + "?digest=" + digest_of(b"x"), b"y", 400, None, {},
             "DIGEST_INVALID"),
            ("OPTIONS", UPLOADS + upload_id, None, 405, None, {}, "UNSUPPORTED"),
            ("GET", "/v2/library/app/unrouted", None, 404, None, {}, "NAME_UNKNOWN"),
            ("POST", "/v2/%s/blobs/uploads/" % ("a" * 256), None, 404, None, {},
             "NAME_UNKNOWN"),
        ]
        for method, path, body, status, reason, want, code in cases:
            with self.subTest(method=method, path=path[:80]):
                r = self.reg.request(method, path, body)
                self.assertEqual(r.status, status, r)
                self.assertEqual(r.header(regtest.API_VERSION[0]), regtest.API_VERSION[1])
                for k, v in want.items():
                    self.assertEqual(r.header(k), v)
                if code is None:
                    self.assertEqual(r.reason, reason)
                    self.assertEqual(r.body, b"")
                    self.assertIsNone(r.header("Content-Type"))
                else:
                    self.assertEqual(r.header("Content-Type"),
                                     "application/json; charset=utf-8")
                    self.assertIn(b'{"errors":[{"code":"%s","message":' % code.encode(), r.body)
        # The PUT without digest left its body unread and the session as it was.
        with open(self.reg.session_path(upload_id), "rb") as f:
            self.assertEqual(f.read(), b"")

    def test_paths_outside_the_routes_never_reach_the_store(self):
        """Dot segments, encoded slashes and control bytes are settled by the
        server before any program runs; the program itself is not reachable
        under its own URL."""
        before = self.reg.files()
        cases = [
            ("POST", "/cgi-bin/v2_upload/v2/library/app/blobs/uploads/", 404),
            ("POST", "/cgi-bin/v2_upload", 404),
            ("POST", "/v2/../blobs/uploads/", 404),
            ("POST", "/v2/a/..%2F..%2F..%2Fx/blobs/uploads/", 404),
            ("GET", "/v2/a/blobs/uploads/x%0d%0aSet-Cookie:%20a=b", 400),
            ("GET", "/v2/a/blobs/uploads/x%00y", 400),
        ]
        for method, path, status in cases:
            with self.subTest(path=path):
                r = self.reg.request(method, path)
                self.assertEqual(r.status, status, r)
                self.assertIsNone(r.header(regtest.API_VERSION[0]))
        self.assertEqual(self.reg.files(), before)

    def test_dot_segments_inside_v2_are_resolved_before_the_name_is_taken(self):
        r = self.reg.request("POST", "/v2/evil/../library/app/./blobs/uploads/")
        self.assertEqual(r.status, 202, r)
        self.assertTrue(r.header("Location").startswith(UPLOADS))


if __name__ == "__main__":
    regtest.main()
