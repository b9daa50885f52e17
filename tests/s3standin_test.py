"""tools/s3-standin checked against an independent signer: botocore's own S3
client (which also validates x-amz-checksum-sha256 when asked to) and
botocore's SigV4 signer on hand-made requests. The daemon's client
(src/S3Client.cpp, signed by libcurl) is checked against the stand-in in
tests/s3client_test.cpp."""

import base64
import hashlib
import json
import os
import shutil
import subprocess
import tempfile
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

HERE = os.path.dirname(os.path.abspath(__file__))
STANDIN = os.path.join(HERE, os.pardir, "tools", "s3-standin")
REGION = "ap-southeast-2"
BUCKET = "fw-bucket"
ACCESS_KEY = "AKIDSTANDINTEST00001"
SECRET_KEY = "standin/test+secret/K7MDENG/bPxRfiCYTEST"
EMPTY_SHA256 = hashlib.sha256(b"").hexdigest()


class StandinTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="s3standin-test-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.root = os.path.join(self.dir, "root")
        os.makedirs(os.path.join(self.root, BUCKET))
        self.log = os.path.join(self.dir, "requests.log")
        port_file = os.path.join(self.dir, "port")
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", STANDIN, "--root", self.root, "--port", "0",
             "--port-file", port_file, "--request-log", self.log,
             "--access-key", ACCESS_KEY, "--secret-key", SECRET_KEY],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE)
        self.addCleanup(self._stop)
        line = self.proc.stdout.readline().decode()
        self.assertRegex(line, r"^listening on 127\.0\.0\.1:\d+\n$")
        with open(port_file) as f:
            self.port = int(f.read())
        self.assertEqual(line.strip().rsplit(":", 1)[1], str(self.port))
        self.endpoint = "http://127.0.0.1:%d" % self.port

    def _stop(self):
        self.proc.terminate()
        self.assertEqual(self.proc.wait(10), 0)
        self.proc.stdout.close()
        self.proc.stderr.close()

    def put(self, key, data):
        path = os.path.join(self.root, BUCKET, key)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def set_faults(self, faults):
        with open(os.path.join(self.root, ".faults.json"), "w") as f:
            json.dump(faults, f)

    def requests(self):
        with open(self.log) as f:
            return [line.split(" ") for line in f.read().splitlines()]

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
        self.put("dir/a b+c~d\u00fc.hex", data)
        reply = self.client().get_object(Bucket=BUCKET,
                                         Key="dir/a b+c~d\u00fc.hex",
                                         ChecksumMode="ENABLED")
        self.assertEqual(reply["Body"].read(), data)
        self.assertEqual(reply["ContentLength"], len(data))
        self.assertIn("ChecksumSHA256", reply)

    def test_botocore_client_with_wrong_secret_is_refused(self):
        self.put("update.txt", b"1.0.9\n")
        with self.assertRaises(botocore.exceptions.ClientError) as cm:
            self.client(secret=SECRET_KEY[:-1] + "X").get_object(
                Bucket=BUCKET, Key="update.txt")
        self.assertEqual(cm.exception.response["Error"]["Code"],
                         "SignatureDoesNotMatch")
        self.assertEqual(self.requests(),
                         [["GET", "/%s/update.txt" % BUCKET, "403"]])

    def test_botocore_client_sees_bad_checksum(self):
        self.put("update.txt", b"1.0.9\n")
        self.set_faults({BUCKET + "/update.txt": {"mode": "bad-checksum"}})
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
        self.put("update.txt", b"1.0.9\n")
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
        self.put("update.txt", b"1.0.9\n")
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
        with open(os.path.join(self.root, "secret"), "wb") as f:
            f.write(b"outside")
        for path in ("/%s/../secret", "/%s/a/../../secret"):
            status, _, body = self.signed_get(path % BUCKET)
            self.assertEqual(status, 400, body)

    def test_fault_times_and_change_while_running(self):
        self.put("update.txt", b"1.0.9\n")
        path = "/%s/update.txt" % BUCKET
        self.set_faults({BUCKET + "/update.txt": {"status": 500, "times": 2}})
        statuses = [self.signed_get(path)[0] for _ in range(3)]
        self.assertEqual(statuses, [500, 500, 200])
        self.set_faults({BUCKET + "/update.txt": {"status": 503, "times": 1}})
        statuses = [self.signed_get(path)[0] for _ in range(2)]
        self.assertEqual(statuses, [503, 200])
        self.assertEqual([r[2] for r in self.requests()],
                         ["500", "500", "200", "503", "200"])

    def test_slow_body_takes_its_time(self):
        self.put("big", b"z" * 4096)
        self.set_faults({BUCKET + "/big": {"mode": "slow", "chunk": 1024,
                                           "delay": 0.2}})
        start = time.monotonic()
        status, _, body = self.signed_get("/%s/big" % BUCKET)
        self.assertEqual((status, body), (200, b"z" * 4096))
        self.assertGreaterEqual(time.monotonic() - start, 0.7)


if __name__ == "__main__":
    unittest.main()
