#!/usr/bin/python3
"""A client of the cluster's REST API, written from the API's description alone, against a clustersim
process: every route it serves, the shapes and types of its answers, as a client of a real cluster
would read them (standard library only, verification on, trusting the emulator's CA).

Usage: api_client_test.py CLUSTERSIM_BINARY
"""

import http.client
import json
import os
import random
import re
import shutil
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

RFC3339 = re.compile(r"^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.\d{1,9})?Z$")
FILE_TYPES = {"FS_FILE_TYPE_FILE", "FS_FILE_TYPE_DIRECTORY", "FS_FILE_TYPE_SYMLINK", "FS_FILE_TYPE_UNIX_PIPE",
              "FS_FILE_TYPE_UNIX_CHARACTER_DEVICE", "FS_FILE_TYPE_UNIX_BLOCK_DEVICE", "FS_FILE_TYPE_UNIX_SOCKET"}
USER, PASSWORD = "admin", "api-client-pw"
CLUSTER = {}  # filled by setUpModule: process, root, connection details


def disk(path):
    """The emulator's disk path of a cluster path given as bytes or text."""
    if isinstance(path, str):
        path = path.encode("utf-8", "surrogateescape")
    return os.path.join(CLUSTER["root"].encode(), path.lstrip(b"/"))


def encode_ref(path):
    """A path as the one URL component the attributes route takes ("/" as %2F)."""
    return urllib.parse.quote(path.encode("utf-8", "surrogateescape") if isinstance(path, str) else path, safe="")


class Client:
    def __init__(self):
        context = ssl.create_default_context(cafile=CLUSTER["ca"])
        self.connection = http.client.HTTPSConnection(CLUSTER["address"], 8000, context=context, timeout=30)
        self.token = None

    def call(self, method, target, body=None):
        headers = {}
        if body is not None:
            body = json.dumps(body).encode("ascii")
            headers["Content-Type"] = "application/json"
        if self.token:
            headers["Authorization"] = "Bearer " + self.token
        self.connection.request(method, target, body=body, headers=headers)
        response = self.connection.getresponse()
        data = response.read()
        # Strict UTF-8: a name that is not UTF-8 must arrive as escapes, never as raw bytes.
        text = data.decode("utf-8")
        return response.status, (json.loads(text) if text else None)

    def login(self):
        status, body = self.call("POST", "/v1/session/login", {"username": USER, "password": PASSWORD})
        assert status == 200 and list(body) == ["bearer_token"] and isinstance(body["bearer_token"], str), (status, body)
        self.token = body["bearer_token"]
        return body


def setUpModule():
    temp = tempfile.mkdtemp(prefix="api-client-")
    root = os.path.join(temp, "root")
    os.makedirs(os.path.join(root, "fs", "projects"))
    os.makedirs(os.path.join(root, "fs", "other"))
    with open(os.path.join(temp, "password"), "w", encoding="utf-8") as handle:
        handle.write(PASSWORD + "\n")
    # Its own loopback address, so that parallel tests can all use port 8000 (another again if taken).
    for _ in range(10):
        address = "127.%d.%d.%d" % (random.randint(1, 254), random.randint(0, 255), random.randint(2, 254))
        process = subprocess.Popen([sys.argv[1], "--root", root, "--bind", address, "--user", USER,
                                    "--password-file", os.path.join(temp, "password"),
                                    "--export", "/projects=/fs/projects", "--export", "/=/",
                                    "--export", "2:/projects=/fs/other", "--test-hooks"],
                                   stdout=subprocess.PIPE, text=True)
        line = process.stdout.readline().rstrip("\n")
        if line:
            break
        process.wait()
    match = re.match(r"^listening on https://([0-9.]+):8000 ca=(.+) pin=(sha256//[A-Za-z0-9+/]{43}=)$", line)
    if not match:
        process.terminate()
        raise RuntimeError("unexpected listening line: " + line)
    CLUSTER.update(process=process, temp=temp, root=root, address=match.group(1), ca=match.group(2))


def tearDownModule():
    CLUSTER["process"].terminate()
    CLUSTER["process"].wait(timeout=30)
    shutil.rmtree(CLUSTER["temp"], ignore_errors=True)


class ApiTest(unittest.TestCase):
    def setUp(self):
        self.client = Client()
        self.client.login()

    def assertError(self, answer, status, error_class):
        got_status, body = answer
        self.assertEqual(got_status, status, body)
        self.assertEqual(set(body), {"module", "error_class", "description", "stack", "user_visible"})
        self.assertEqual(body["error_class"], error_class)
        self.assertIsInstance(body["module"], str)
        self.assertIsInstance(body["description"], str)
        self.assertEqual(body["stack"], [])
        self.assertIsInstance(body["user_visible"], bool)

    def get(self, target):
        status, body = self.client.call("GET", target)
        self.assertEqual(status, 200, body)
        return body

    def attributes(self, path):
        return self.get("/v1/files/%s/info/attributes" % encode_ref(path))

    def snapshot(self, path, name, version=2):
        source = self.attributes(path)["id"]
        key = "name" if version == 2 else "name_suffix"
        status, body = self.client.call("POST", "/v%d/snapshots/" % version,
                                        {key: name, "expiration": "", "source_file_id": source})
        self.assertEqual(status, 200, body)
        return body

    def changes(self, newer, older, limit=1000):
        """Every entry, following paging.next as it stands; also the number of pages."""
        entries, pages = [], 0
        target = "/v2/snapshots/%d/changes-since/%d?limit=%d" % (newer, older, limit)
        while target:
            body = self.get(target)
            pages += 1
            self.assertEqual(set(body), {"entries", "paging"})
            self.assertLessEqual(len(body["entries"]), limit)
            for entry in body["entries"]:
                self.assertEqual(set(entry), {"op", "path"})
                self.assertIn(entry["op"], {"CREATE", "MODIFY", "DELETE"})
                entries.append((entry["op"], entry["path"]))
            target = (body.get("paging") or {}).get("next")
            if target:
                self.assertTrue(target.startswith("/v2/snapshots/%d/changes-since/%d?" % (newer, older)), target)
        return entries, pages

    def test_file_attributes(self):
        os.makedirs(disk("/fs/projects/attr/sub"), exist_ok=True)
        with open(disk("/fs/projects/attr/file.txt"), "wb") as handle:
            handle.write(b"12345")
        os.chmod(disk("/fs/projects/attr/file.txt"), 0o640)
        os.symlink("file.txt", disk("/fs/projects/attr/link"))
        os.mkfifo(disk("/fs/projects/attr/pipe"))

        directory = self.attributes("/fs/projects/attr")
        number_fields = {"num_links", "child_count"}
        string_fields = {"id", "file_number", "path", "name", "type", "size", "owner", "group", "mode",
                         "access_time", "modification_time", "change_time", "creation_time"}
        for field in number_fields:
            self.assertIsInstance(directory[field], int, field)
        for field in string_fields:
            self.assertIsInstance(directory[field], str, field)
        self.assertTrue(directory["id"].isdigit())
        self.assertEqual(directory["id"], directory["file_number"])
        self.assertEqual(directory["path"], "/fs/projects/attr/")
        self.assertEqual(directory["name"], "attr")
        self.assertEqual(directory["type"], "FS_FILE_TYPE_DIRECTORY")
        self.assertEqual(directory["child_count"], 4)
        for field in ("access_time", "modification_time", "change_time", "creation_time"):
            self.assertRegex(directory[field], RFC3339)
        # The same file by its id.
        self.assertEqual(self.get("/v1/files/%s/info/attributes" % directory["id"])["path"], "/fs/projects/attr/")

        stat = os.lstat(disk("/fs/projects/attr/file.txt"))
        regular = self.attributes("/fs/projects/attr/file.txt")
        self.assertEqual(regular["type"], "FS_FILE_TYPE_FILE")
        self.assertEqual(regular["path"], "/fs/projects/attr/file.txt")
        self.assertEqual(regular["size"], "5")
        self.assertEqual(int(regular["mode"], 8), 0o640)
        self.assertEqual((regular["owner"], regular["group"]), (str(stat.st_uid), str(stat.st_gid)))
        self.assertEqual(regular["num_links"], 1)
        seconds = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(stat.st_mtime_ns // 10**9))
        self.assertEqual(regular["modification_time"], "%s.%09dZ" % (seconds, stat.st_mtime_ns % 10**9))
        self.assertEqual(self.attributes("/fs/projects/attr/link")["type"], "FS_FILE_TYPE_SYMLINK")
        self.assertEqual(self.attributes("/fs/projects/attr/pipe")["type"], "FS_FILE_TYPE_UNIX_PIPE")
        self.assertIn(self.attributes("/")["type"], FILE_TYPES)

        self.assertError(self.client.call("GET", "/v1/files/%s/info/attributes" % encode_ref("/fs/projects/none")),
                         404, "fs_no_such_entry_error")

    def test_nfs_exports(self):
        for target in ("/v2/nfs/exports/", "/v2/nfs/exports"):
            exports = self.get(target)
            self.assertIsInstance(exports, list)
            # In configuration order, the root export and an export path repeated in another tenant included.
            self.assertEqual([(e["export_path"], e["fs_path"], e["tenant_id"]) for e in exports],
                             [("/projects", "/fs/projects", 1), ("/", "/", 1), ("/projects", "/fs/other", 2)])
            for export in exports:
                self.assertIsInstance(export["id"], str)
                self.assertIsInstance(export["description"], str)
                self.assertIsInstance(export["restrictions"], list)
                self.assertIsInstance(export["fields_to_present_as_32_bit"], list)
        entries = self.get("/v3/nfs/exports/")["entries"]
        self.assertEqual([(e["fs_path"], e["tenant_id"]) for e in entries], [("/fs/projects", 1), ("/", 1), ("/fs/other", 2)])

    def test_snapshots_v2_and_v3(self):
        os.makedirs(disk("/fs/projects/snaps"), exist_ok=True)
        v2 = self.snapshot("/fs/projects/snaps", "v2_made")
        self.assertEqual(set(v2), {"id", "name", "timestamp", "directory_name", "source_file_id",
                                   "created_by_policy", "expiration", "in_delete"})
        self.assertIsInstance(v2["id"], int)
        self.assertEqual(v2["name"], "v2_made")
        self.assertRegex(v2["timestamp"], RFC3339)
        self.assertEqual(v2["source_file_id"], self.attributes("/fs/projects/snaps")["id"])
        self.assertEqual((v2["created_by_policy"], v2["expiration"], v2["in_delete"]), (False, "", False))
        # The directory name is what appears under .snapshot/, taken verbatim.
        self.assertTrue(os.path.isdir(disk("/fs/projects/snaps/.snapshot/" + v2["directory_name"])))

        v3 = self.snapshot("/fs/projects/snaps", "suffix", version=3)
        self.assertEqual(set(v3), {"id", "name", "timestamp", "source_file_id", "policy_id", "expiration",
                                   "in_delete"})
        self.assertEqual(v3["name"], "%d_suffix" % v3["id"])
        self.assertEqual((v3["policy_id"], v3["expiration"], v3["in_delete"]), (None, None, False))
        self.assertTrue(os.path.isdir(disk("/fs/projects/snaps/.snapshot/" + v3["name"])))
        status, on_demand = self.client.call("POST", "/v3/snapshots/", {"source_file_id": v2["source_file_id"]})
        self.assertEqual((status, on_demand["name"]), (200, "%d_OnDemand" % on_demand["id"]))

        self.assertEqual(self.get("/v2/snapshots/%d" % v3["id"])["directory_name"], v3["name"])
        self.assertEqual(self.get("/v3/snapshots/%d" % v2["id"])["name"], v2["directory_name"])
        self.assertError(self.client.call("GET", "/v2/snapshots/999999"), 404, "snapshot_not_found_error")
        self.assertError(self.client.call("DELETE", "/v3/snapshots/999999"), 404, "snapshot_not_found_error")

        # Deletion is asynchronous: listed as in_delete for a while.
        self.assertEqual(self.client.call("DELETE", "/v2/snapshots/%d" % v2["id"])[0], 200)
        self.assertEqual(self.client.call("DELETE", "/v3/snapshots/%d" % v3["id"])[0], 202)
        deleting = {v2["id"], v3["id"]}
        v2_ids = {s["id"] for s in self.get("/v2/snapshots/")["entries"]}
        self.assertFalse(v2_ids & deleting)
        listed = {s["id"]: s["in_delete"] for s in self.get("/v3/snapshots/")["entries"]}
        self.assertEqual({i for i, flag in listed.items() if flag}, deleting)
        self.assertEqual({s["id"] for s in self.get("/v3/snapshots/?filter=only_in_delete")["entries"]}, deleting)
        self.assertFalse({s["id"] for s in self.get("/v3/snapshots/?filter=exclude_in_delete")["entries"]}
                         & deleting)
        self.assertEqual({s["id"] for s in self.get("/v2/snapshots/?include-in-delete=true")["entries"]
                          if s["in_delete"]}, deleting)
        # Their going is the server test's; a snapshot whose expiration passes goes the same way.
        expires = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 1))
        status, expiring = self.client.call("POST", "/v3/snapshots/", {"name_suffix": "brief", "expiration": expires,
                                                                       "source_file_id": v2["source_file_id"]})
        self.assertEqual((status, expiring["expiration"]), (200, expires))
        self.assertError(self.client.call("POST", "/v2/snapshots/", {"name": "n", "expiration": "tomorrow",
                                                                     "source_file_id": v2["source_file_id"]}),
                         400, "api_bad_request_error")
        deadline = time.monotonic() + 20
        while expiring["id"] in {s["id"] for s in self.get("/v3/snapshots/")["entries"]}:
            self.assertLess(time.monotonic(), deadline, "the expired snapshot never went")
            time.sleep(0.05)

    def test_changes_since(self):
        """A created or deleted directory once, a rename as DELETE plus CREATE, pages linked by paging.next."""
        base = "/fs/projects/diff"
        for directory in ("renamed_from/inner", "doomed/deep"):
            os.makedirs(disk(base + "/" + directory))
        for name in ("keep.txt", "doomed/deep/file.txt", "renamed_from/inner/x"):
            with open(disk(base + "/" + name), "w", encoding="utf-8") as handle:
                handle.write("old")
        older = self.snapshot(base, "older")
        os.makedirs(disk(base + "/created/a"))
        with open(disk(base + "/created/a/new.txt"), "w", encoding="utf-8") as handle:
            handle.write("new")
        os.rename(disk(base + "/renamed_from"), disk(base + "/renamed_to"))
        shutil.rmtree(disk(base + "/doomed"))
        with open(disk(base + "/keep.txt"), "a", encoding="utf-8") as handle:
            handle.write(" and more")
        newer = self.snapshot(base, "newer")

        expected = [("MODIFY", base + "/"), ("CREATE", base + "/created/"), ("DELETE", base + "/doomed/"),
                    ("MODIFY", base + "/keep.txt"), ("DELETE", base + "/renamed_from/"),
                    ("CREATE", base + "/renamed_to/")]
        self.assertEqual(self.changes(newer["id"], older["id"]), (expected, 1))
        self.assertEqual(self.changes(newer["id"], older["id"], limit=2), (expected, 3))
        other = self.snapshot("/fs/other", "elsewhere")
        self.assertError(self.client.call("GET", "/v2/snapshots/%d/changes-since/%d" % (other["id"], older["id"])),
                         400, "snapshot_source_mismatch_error")

    def test_names_that_are_not_utf8(self):
        base = "/fs/projects/names"
        os.makedirs(disk(base))
        older = self.snapshot(base, "before")
        names = [b"plain", b"latin1-\xe9t\xe9", b"cut-\xe2\x82", b"\xff\xfe", b"\xf4\x8f\xbf\xbd-max",
                 b"\xed\xb2\x80-surrogate", b"\\udcff-lookalike"]
        for name in names:
            with open(disk(base.encode() + b"/" + name), "wb") as handle:
                handle.write(b"x")
        newer = self.snapshot(base, "after")
        entries, _ = self.changes(newer["id"], older["id"])
        prefix = base + "/"
        created = sorted(path[len(prefix):].encode("utf-8", "surrogateescape")
                         for op, path in entries if op == "CREATE")
        self.assertEqual(created, sorted(names))
        # The same bytes back as a request's path and as a snapshot's name.
        odd = base + "/" + b"cut-\xe2\x82".decode("utf-8", "surrogateescape")
        self.assertEqual(self.attributes(odd)["name"].encode("utf-8", "surrogateescape"), b"cut-\xe2\x82")
        named = self.snapshot(base, b"snap-\x80\xff".decode("utf-8", "surrogateescape"))
        directory = named["directory_name"].encode("utf-8", "surrogateescape")
        self.assertEqual(directory, b"%d_snap-\x80\xff" % named["id"])
        self.assertTrue(os.path.isdir(disk(base.encode() + b"/.snapshot/" + directory)))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
