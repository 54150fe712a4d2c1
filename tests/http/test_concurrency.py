"""Many clients uploading at the same time through lighttpd: each request is
its own process, and they meet only in the storage tree."""

import os
import threading
import unittest

import regtest
from regtest import digest_of

DISTINCT_CLIENTS = 50
SAME_BLOB_CLIENTS = 20


def upload(reg, name, blob, barrier, results, index):
    """POST, PATCH with the body, PUT with the digest; records the replies."""
    try:
        barrier.wait(timeout=60)
        uploads = "/v2/%s/blobs/uploads/" % name
        r = reg.request("POST", uploads)
        if r.status != 202:
            results[index] = ("POST", r)
            return
        location = r.header("Location")
        r = reg.request("PATCH", location, blob)
        if r.status != 202:
            results[index] = ("PATCH", r)
            return
        r = reg.request("PUT", location + "?digest=" + digest_of(blob))
        results[index] = ("PUT", r)
    except Exception as e:  # reported by the test thread
        results[index] = ("exception", e)


def run_clients(reg, jobs):
    """jobs: list of (repository name, blob); all start together."""
    barrier = threading.Barrier(len(jobs))
    results = [None] * len(jobs)
    threads = [threading.Thread(target=upload, args=(reg, name, blob, barrier, results, i))
               for i, (name, blob) in enumerate(jobs)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    return results


class ConcurrentUploads(unittest.TestCase):
    def check(self, reg, jobs, results):
        for (name, blob), result in zip(jobs, results):
            self.assertIsNotNone(result, "client did not finish")
            step, reply = result
            self.assertEqual(step, "PUT", reply)
            self.assertEqual(reply.status, 201, reply)
            digest = digest_of(blob)
            self.assertEqual(reply.header("Docker-Content-Digest"), digest)
            self.assertEqual(reply.header("Location"), "/v2/%s/blobs/%s" % (name, digest))
            with open(reg.blob_path(digest), "rb") as f:
                self.assertEqual(f.read(), blob)
        self.assertEqual(reg.session_files(), [])
        self.assertEqual(reg.sanitizer_reports(), [])

    def test_distinct_blobs_at_once(self):
        # Sizes on both sides of the 64 KiB above which lighttpd hands the
        # body over as a spooled file.
        jobs = [("team%d/app" % i, os.urandom(1000 + i * 3000)) for i in range(DISTINCT_CLIENTS)]
        with regtest.Registry() as reg:
            results = run_clients(reg, jobs)
            self.check(reg, jobs, results)
            blobs = [f for f in reg.files() if f.startswith("blobs/")]
            self.assertEqual(len(blobs), DISTINCT_CLIENTS)

    def test_same_blob_at_once(self):
        blob = os.urandom(300000)
        jobs = [("team%d/app" % i, blob) for i in range(SAME_BLOB_CLIENTS)]
        with regtest.Registry() as reg:
            results = run_clients(reg, jobs)
            self.check(reg, jobs, results)
            blobs = [f for f in reg.files() if f.startswith("blobs/")]
            self.assertEqual(len(blobs), 1)


if __name__ == "__main__":
    regtest.main()
