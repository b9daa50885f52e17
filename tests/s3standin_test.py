"""tools/s3-standin checked against an independent signer: botocore's own S3
client (which also validates x-amz-checksum-sha256 when asked to) and
botocore's SigV4 signer on hand-made requests. The daemon's client
(src/S3Client.cpp, signed by libcurl) is checked against the stand-in in
tests/s3client_test.cpp."""

import base64
import hashlib
import http.client
import os
import time
import unittest
import urllib.error
import urllib.request

import botocore.config
import botocore.exceptions
import botocore.session
from botocore.auth import S3SigV4Auth
from botocore.awsrequest import AWSRequest
from botocore.credentials import Credentials

from processes import wait_until
from standins import S3Standin

REGION = "ap-southeast-2"
BUCKET = "fw-bucket"
ACCESS_KEY = "AKIDSTANDINTEST00001"
SECRET_KEY = "standin/test+secret/K7MDENG/bPxRfiCYTEST"
EMPTY_SHA256 = hashlib.sha256(b"").hexdigest()


class StandinTest(unittest.TestCase):
    def setUp(self):
        self.s3 = S3Standin(access_key=ACCESS_KEY, secret_key=SECRET_KEY,
                            bucket=BUCKET)
        self.addCleanup(self._stop)
        line = wait_until("its first line", lambda: self.s3.output(), 10)
        self.assertRegex(line, r"^listening on 127\.0\.0\.1:\d+\n$")
        self.assertEqual(line.strip().rsplit(":", 1)[1], str(self.s3.port))
        self.endpoint = self.s3.url

    def _stop(self):
        self.assertEqual(self.s3.stop(), 0)

    def client(self, secret=SECRET_KEY):
        session = botocore.session.Session()
        return session.create_client(
            "s3", region_name=REGION, endpoint_url=self.endpoint,
            aws_access_key_id=ACCESS_KEY, aws_secret_access_key=secret,
            config=botocore.config.Config(
                s3={"addressing_style": "path"},
                retries={"max_attempts": 1, "mode": "standard"}))

    def signed_get(self, path, secret=SECRET_KEY, headers=None, drop=()):
        request = AWSRequest(method="GET", url=self.endpoint + path,
                             headers=dict(headers or {}))
        request.headers["x-amz-content-sha256"] = EMPTY_SHA256
        S3SigV4Auth(Credentials(ACCESS_KEY, secret), "s3", REGION).add_auth(
            request)
        for name in drop:
            del request.headers[name]
        prepared = urllib.request.Request(self.endpoint + path,
                                          headers=dict(request.headers.items()))
        try:
            with urllib.request.urlopen(prepared, timeout=10) as reply:
                return reply.status, dict(reply.headers), reply.read()
        except urllib.error.HTTPError as e:
            return e.code, dict(e.headers), e.read()

    # -- botocore's S3 client as the signer ---------------------------------

    def test_botocore_client_gets_object_and_validates_checksum(self):
        data = bytes(range(256)) * 100
        self.s3.put("dir/a b+c~d\u00fc.hex", data)
        reply = self.client().get_object(Bucket=BUCKET,
                                         Key="dir/a b+c~d\u00fc.hex",
                                         ChecksumMode="ENABLED")
        self.assertEqual(reply["Body"].read(), data)
        self.assertEqual(reply["ContentLength"], len(data))
        self.assertIn("ChecksumSHA256", reply)

    def test_botocore_client_with_wrong_secret_is_refused(self):
        self.s3.put("update.txt", b"1.0.9\n")
        with self.assertRaises(botocore.exceptions.ClientError) as cm:
            self.client(secret=SECRET_KEY[:-1] + "X").get_object(
                Bucket=BUCKET, Key="update.txt")
        self.assertEqual(cm.exception.response["Error"]["Code"],
                         "SignatureDoesNotMatch")
        self.assertEqual(self.s3.requests(), [("GET", "update.txt", 403)])

    def test_botocore_client_sees_bad_checksum(self):
        self.s3.put("update.txt", b"1.0.9\n")
        self.s3.set_faults({"update.txt": {"mode": "bad-checksum"}})
        with self.assertRaises(botocore.exceptions.FlexibleChecksumError):
            self.client().get_object(Bucket=BUCKET, Key="update.txt",
                                     ChecksumMode="ENABLED")["Body"].read()

    def test_missing_key_and_bucket(self):
        with self.assertRaises(botocore.exceptions.ClientError) as cm:
            self.client().get_object(Bucket=BUCKET, Key="nope")
        self.assertEqual(cm.exception.response["Error"]["Code"], "NoSuchKey")
        with self.assertRaises(botocore.exceptions.ClientError) as cm:
            self.client().get_object(Bucket="other-bucket", Key="nope")
        self.assertEqual(cm.exception.response["Error"]["Code"],
                         "NoSuchBucket")

    # -- hand-made requests --------------------------------------------------

    def test_signed_request_and_checksum_header(self):
        self.s3.put("update.txt", b"1.0.9\n")
        status, headers, body = self.signed_get(
            "/%s/update.txt" % BUCKET,
            headers={"x-amz-checksum-mode": "ENABLED"})
        self.assertEqual((status, body), (200, b"1.0.9\n"))
        self.assertEqual(headers["Content-Length"], "6")
        self.assertEqual(headers["x-amz-checksum-sha256"],
                         base64.b64encode(hashlib.sha256(b"1.0.9\n").digest())
                         .decode())
        status, headers, body = self.signed_get("/%s/update.txt" % BUCKET)
        self.assertEqual((status, body), (200, b"1.0.9\n"))
        self.assertNotIn("x-amz-checksum-sha256", headers)

    def test_wrong_secret_unsigned_header_and_missing_payload_hash(self):
        self.s3.put("update.txt", b"1.0.9\n")
        path = "/%s/update.txt" % BUCKET
        status, _, body = self.signed_get(path, secret="wrong")
        self.assertEqual(status, 403)
        self.assertIn(b"<Code>SignatureDoesNotMatch</Code>", body)
        # An x-amz-* header added after signing.
        request = AWSRequest(method="GET", url=self.endpoint + path)
        request.headers["x-amz-content-sha256"] = EMPTY_SHA256
        S3SigV4Auth(Credentials(ACCESS_KEY, SECRET_KEY), "s3",
                    REGION).add_auth(request)
        headers = dict(request.headers.items())
        headers["x-amz-checksum-mode"] = "ENABLED"
        with self.assertRaises(urllib.error.HTTPError) as cm:
            urllib.request.urlopen(urllib.request.Request(
                self.endpoint + path, headers=headers), timeout=10)
        self.assertEqual(cm.exception.code, 403)
        self.assertIn(b"not signed", cm.exception.read())
        status, _, body = self.signed_get(
            path, drop=("x-amz-content-sha256",))
        self.assertEqual(status, 400)
        # Anonymous.
        with self.assertRaises(urllib.error.HTTPError) as cm:
            urllib.request.urlopen(self.endpoint + path, timeout=10)
        self.assertEqual(cm.exception.code, 403)

    def test_key_escaping_the_bucket_is_refused(self):
        with open(os.path.join(self.s3.root, "secret"), "wb") as f:
            f.write(b"outside")
        for path in ("/%s/../secret", "/%s/a/../../secret"):
            status, _, body = self.signed_get(path % BUCKET)
            self.assertEqual(status, 400, body)

    def test_fault_times_and_change_while_running(self):
        self.s3.put("update.txt", b"1.0.9\n")
        path = "/%s/update.txt" % BUCKET
        self.s3.set_faults({"update.txt": {"status": 500, "times": 2}})
        statuses = [self.signed_get(path)[0] for _ in range(3)]
        self.assertEqual(statuses, [500, 500, 200])
        self.s3.set_faults({"update.txt": {"status": 503, "times": 1}})
        statuses = [self.signed_get(path)[0] for _ in range(2)]
        self.assertEqual(statuses, [503, 200])
        self.assertEqual([r[2] for r in self.s3.requests()],
                         [500, 500, 200, 503, 200])

    def test_slow_body_takes_its_time(self):
        self.s3.put("big", b"z" * 4096)
        self.s3.set_faults({"big": {"mode": "slow", "chunk": 1024, "delay": 0.2}})
        start = time.monotonic()
        status, _, body = self.signed_get("/%s/big" % BUCKET)
        self.assertEqual((status, body), (200, b"z" * 4096))
        self.assertGreaterEqual(time.monotonic() - start, 0.7)

    def test_range_and_if_match_are_answered_as_s3_does(self):
        data = bytes(range(256)) * 4
        self.s3.put("Version_1.0.9.hex", data)
        etag = '"%s"' % hashlib.md5(data).hexdigest()
        cases = [
            # (headers, status, body or error code, Content-Range)
            ({}, 200, data, None),
            ({"Range": "bytes=1000-"}, 206, data[1000:], "bytes 1000-1023/1024"),
            ({"Range": "bytes=1000-", "If-Match": etag}, 206, data[1000:],
             "bytes 1000-1023/1024"),
            ({"Range": "bytes=2-4"}, 206, data[2:5], "bytes 2-4/1024"),
            ({"Range": "bytes=-4"}, 206, data[-4:], "bytes 1020-1023/1024"),
            ({"If-Match": etag}, 200, data, None),
            # The object changed since the first part came.
            ({"Range": "bytes=1000-", "If-Match": '"0123456789abcdef0123456789abcdef"'},
             412, b"<Code>PreconditionFailed</Code>", None),
            ({"Range": "bytes=1024-"}, 416, b"<Code>InvalidRange</Code>", None),
            ({"Range": "bytes=5-2"}, 200, data, None),   # ignored, as by S3
            ({"Range": "lines=1-"}, 200, data, None),
        ]
        for headers, status, body, content_range in cases:
            with self.subTest(headers=headers):
                got_status, got_headers, got_body = self.signed_get(
                    "/%s/Version_1.0.9.hex" % BUCKET,
                    headers=dict(headers, **{"x-amz-checksum-mode": "ENABLED"}))
                self.assertEqual(got_status, status, got_body)
                if status in (200, 206):
                    self.assertEqual(got_body, body)
                    self.assertEqual(got_headers["ETag"], etag)
                    self.assertEqual(got_headers["Content-Length"], str(len(body)))
                else:
                    self.assertIn(body, got_body)
                self.assertEqual(got_headers.get("Content-Range"), content_range)
                # A part has no full-object checksum to check it against.
                self.assertEqual("x-amz-checksum-sha256" in got_headers, status == 200)

    def test_download_cut_after_n_bytes_resumes_to_the_whole(self):
        data = bytes(range(256)) * 16
        self.s3.put("Version_1.0.9.hex", data)
        self.s3.set_faults({"Version_1.0.9.hex": {"mode": "short", "bytes": 1000,
                                                  "times": 1}})
        path = "/%s/Version_1.0.9.hex" % BUCKET
        with self.assertRaises(http.client.IncompleteRead) as cm:
            self.signed_get(path)
        first = cm.exception.partial
        self.assertEqual(first, data[:1000])
        status, headers, rest = self.signed_get(path, headers={
            "Range": "bytes=%d-" % len(first),
            "If-Match": '"%s"' % hashlib.md5(data).hexdigest()})
        self.assertEqual((status, headers["Content-Range"]),
                         (206, "bytes 1000-%d/%d" % (len(data) - 1, len(data))))
        self.assertEqual(first + rest, data)
        self.assertEqual([r[2] for r in self.s3.requests()], [200, 206])


if __name__ == "__main__":
    unittest.main()
