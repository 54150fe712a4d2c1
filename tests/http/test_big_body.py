"""A layer larger than 2 GiB sent in one PATCH, through lighttpd: appended
whole, finished against its digest, and in constant memory."""

import os
import sys
import time
import unittest

import regtest

# Past 2^31, so that a length kept in a signed 32-bit number shows. (Past 2^32
# the test would take four times as long: spool and session file outgrow the
# page cache's dirty limit and every byte waits for the disk.)
SIZE = (1 << 31) + 10
PEAK_LIMIT_KIB = 16 * 1024
# Offsets that get non-zero bytes in the otherwise sparse body: its ends, the
# 1 MiB piece boundaries nearby, and the 2^31 boundary.
MARKS = [0, (1 << 20) - 1, 1 << 20, (1 << 31) - 1, 1 << 31, SIZE - 1]


def make_sparse_body(path):
    with open(path, "wb") as f:
        f.truncate(SIZE)
        for i, off in enumerate(MARKS):
            f.seek(off)
            f.write(bytes([0x41 + i]))


class BigBody(unittest.TestCase):
    def test_body_over_2_gib_in_one_patch_is_stored_whole_in_constant_memory(self):
        program = os.path.join(regtest.BIN_DIR, "v2_upload")
        asan = regtest.built_with_asan(program)
        with regtest.Registry(measure_memory=True) as reg:
            body = os.path.join(reg.base, "layer.bin")
            make_sparse_body(body)
            t0 = time.monotonic()
            digest = regtest.sha256_file(body)

            r = reg.request("POST", "/v2/big/layer/blobs/uploads/")
            self.assertEqual(r.status, 202, r)
            upload_id = r.header("Docker-Upload-UUID")
            location = "/v2/big/layer/blobs/uploads/" + upload_id

            status, headers, _ = reg.curl("-X", "PATCH", "-T", body,
                                          "-H", "Content-Type: application/octet-stream",
                                          location)
            self.assertEqual(status, 202)
            self.assertEqual(headers["docker-upload-uuid"], upload_id)
            self.assertEqual(os.path.getsize(reg.session_path(upload_id)), SIZE)
            # The spooled copy is gone once the request is over.
            self.assertEqual(os.listdir(os.path.join(reg.run_dir, "spool")), [])

            r = reg.request("PUT", location + "?digest=" + digest, timeout=600)
            self.assertEqual(r.status, 201, r)
            self.assertEqual(r.header("Docker-Content-Digest"), digest)
            blob = reg.blob_path(digest)
            self.assertEqual(os.path.getsize(blob), SIZE)
            self.assertEqual(regtest.sha256_file(blob), digest)
            self.assertEqual(reg.session_files(), [])

            peaks = reg.peak_rss_kib()
            print("\npeak resident size of the three programs (KiB): %s%s; %.1f s"
                  % (peaks, " (AddressSanitizer build: not checked)" if asan else "",
                     time.monotonic() - t0), file=sys.stderr)
            self.assertEqual(len(peaks), 3)
            if not asan:
                self.assertLess(max(peaks), PEAK_LIMIT_KIB)
            self.assertEqual(reg.sanitizer_reports(), [])


if __name__ == "__main__":
    regtest.main()
