#!/usr/bin/python3
"""A client of the cluster's REST API, written from the API's description alone, against a clustersim
process: every route it serves, the shapes and types of its answers, as a client of a real cluster
would read them (standard library only, verification on, trusting the emulator's CA).

Usage: api_client_test.py CLUSTERSIM_BINARY
"""

import calendar
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


def write(path, content, mode="wb"):
    """Writes bytes (or, with mode "ab", appends them) to a cluster path on the emulator's disk."""
    with open(disk(path), mode) as handle:
        handle.write(content)


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

    def pages(self, target, key="entries"):
        """Every item of a paged route, following paging.next as it stands; also the number of pages."""
        items, pages = [], 0
        while target:
            body = self.get(target)
            pages += 1
            items += body[key]
            target = (body.get("paging") or {}).get("next")
        return items, pages

    def changes(self, newer, older, limit=1000):
        """Every entry as (op, path), following paging.next as it stands; also the number of pages."""
        entries, pages = self.pages("/v2/snapshots/%d/changes-since/%d?limit=%d" % (newer, older, limit))
        for entry in entries:
            self.assertEqual(set(entry), {"op", "path"})
            self.assertIn(entry["op"], {"CREATE", "MODIFY", "DELETE"})
        return [(entry["op"], entry["path"]) for entry in entries], pages

    def test_version_session_and_tokens(self):
        anonymous = Client()
        status, version = anonymous.call("GET", "/v1/version")
        self.assertEqual(status, 200)
        self.assertEqual(set(version), {"revision_id", "build_id", "flavor", "build_date"})
        self.assertTrue(all(isinstance(value, str) for value in version.values()))
        self.assertRegex(version["revision_id"], r"\b\d+\.\d+\.\d+\b")
        # The token is checked before the route: an unknown route tells nothing without one.
        for target in ("/v2/snapshots/", "/v1/session/who-am-i", "/v9/no/such/route"):
            self.assertError(anonymous.call("GET", target), 401, "http_unauthorized_error")
        anonymous.connection.close()
        self.assertError(self.client.call("GET", "/v9/no/such/route"), 404, "http_not_found_error")

        me = self.get("/v1/session/who-am-i")
        for field in ("id", "name", "primary_group", "sid", "uid", "home_directory"):
            self.assertIsInstance(me[field], str, field)
        self.assertEqual(me["name"], USER)
        self.assertIsInstance(me["can_change_password"], bool)
        self.assertLessEqual({"PRIVILEGE_SNAPSHOT_READ", "PRIVILEGE_SNAPSHOT_WRITE", "PRIVILEGE_SNAPSHOT_DIFFERENCE_READ",
                              "PRIVILEGE_NFS_EXPORT_READ"}, set(me["privileges"]))

    def test_file_attributes(self):
        os.makedirs(disk("/fs/projects/attr/sub"), exist_ok=True)
        write("/fs/projects/attr/file.txt", b"12345")
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
        self.assertError(self.client.call("GET", "/v1/files/12345/info/attributes"), 404, "fs_no_such_inode_error")

    def test_entries_and_attributes_as_in_a_snapshot(self):
        base = "/fs/projects/listed"
        os.makedirs(disk(base + "/sub"))
        for name, content in (("a", "1"), ("b", "22"), ("c", "333")):
            write(base + "/" + name, content.encode())
        gone_id = self.attributes(base + "/b")["id"]
        snapshot = self.snapshot(base, "listed")
        os.unlink(disk(base + "/b"))
        write(base + "/d", b"4444")
        write(base + "/a", b"changed")

        def listing(query):
            target = "/v1/files/%s/entries/?limit=2%s" % (encode_ref(base), query)
            head = self.get(target)
            self.assertEqual((head["path"], head["id"]), (base + "/", self.attributes(base)["id"]))
            self.assertIsInstance(head["child_count"], int)
            files, pages = self.pages(target, "files")
            return {f["name"]: (f["path"], f["size"], f["type"]) for f in files}, pages

        # Pages of at most two records, every entry once, "/" after a directory's path.
        live, pages = listing("")
        self.assertEqual(pages, 2)
        self.assertEqual(sorted(live), ["a", "c", "d", "sub"])
        self.assertEqual(live["sub"][::2], (base + "/sub/", "FS_FILE_TYPE_DIRECTORY"))
        then, _ = listing("&snapshot=%d" % snapshot["id"])
        self.assertEqual({name: size for name, (_, size, kind) in then.items() if kind == "FS_FILE_TYPE_FILE"},
                         {"a": "1", "b": "2", "c": "3"})
        self.assertIn("sub", then)

        # One object read from the image, by path and by the id it had; what did not exist then is 404.
        query = "?snapshot=%d" % snapshot["id"]
        self.assertEqual(self.get("/v1/files/%s/info/attributes%s" % (encode_ref(base + "/a"), query))["size"], "1")
        old = self.get("/v1/files/%s/info/attributes%s" % (gone_id, query))
        self.assertEqual((old["path"], old["size"], old["id"]), (base + "/b", "2", gone_id))
        self.assertError(self.client.call("GET", "/v1/files/%s/info/attributes%s" % (encode_ref(base + "/d"), query)),
                         404, "fs_no_such_entry_error")
        for target in ("/v1/files/%s/entries/?snapshot=999999", "/v1/files/%s/info/attributes?snapshot=999999"):
            self.assertError(self.client.call("GET", target % encode_ref(base)), 404, "snapshot_not_found_error")

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
        tenants = self.get("/v1/multitenancy/tenants/")["entries"]
        self.assertEqual([(t["id"], t["name"], t["nfs_enabled"]) for t in tenants],
                         [(1, "Tenant 1", True), (2, "Tenant 2", True)])
        self.assertTrue(all(isinstance(t["networks"], list) for t in tenants))
        self.assertEqual(self.get("/v1/multitenancy/tenants/2"), tenants[1])
        self.assertEqual(self.client.call("GET", "/v1/multitenancy/tenants/3")[0], 404)
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
        self.assertError(self.client.call("POST", "/v2/snapshots/", {"name": "n", "expiration": "tomorrow",
                                                                     "source_file_id": v2["source_file_id"]}),
                         400, "api_bad_request_error")

    def test_expirations_and_status(self):
        os.makedirs(disk("/fs/projects/expiring"), exist_ok=True)
        source = self.attributes("/fs/projects/expiring")["id"]

        def seconds_left(record):
            self.assertRegex(record["expiration"], RFC3339)
            return calendar.timegm(time.strptime(record["expiration"][:19], "%Y-%m-%dT%H:%M:%S")) - time.time()

        # v2 takes a lifetime and shows the time it ends; v3 and PATCH take the time itself.
        for ttl, seconds in (("5days", 5 * 86400), ("2hours", 7200), ("1weeks", 7 * 86400), ("999minutes", 59940),
                             ("never", None), ("0days", 400), ("1000days", 400), ("5fortnights", 400)):
            status, record = self.client.call("POST", "/v2/snapshots/?expiration-time-to-live=" + ttl,
                                              {"name": "ttl", "source_file_id": source})
            if seconds == 400:
                self.assertError((status, record), 400, "api_bad_request_error")
            elif seconds is None:
                self.assertEqual((status, record["expiration"]), (200, ""))
            else:
                self.assertEqual(status, 200, record)
                self.assertAlmostEqual(seconds_left(record), seconds, delta=60)
        for empty in (None, ""):
            status, record = self.client.call("POST", "/v3/snapshots/", {"expiration": empty, "source_file_id": source})
            self.assertEqual((status, record["expiration"]), (200, None))
        target = "/v3/snapshots/%d" % record["id"]
        tomorrow = time.strftime("%Y-%m-%dT%H:%M:%S+02:00", time.gmtime(time.time() + 86400 + 7200))
        status, patched = self.client.call("PATCH", target, {"expiration": tomorrow})
        self.assertEqual((status, patched["id"]), (200, record["id"]))
        self.assertAlmostEqual(seconds_left(patched), 86400, delta=60)
        self.assertEqual(self.get(target)["expiration"], patched["expiration"])
        self.assertEqual(self.client.call("PATCH", target, {"expiration": None})[1]["expiration"], None)
        status, patched = self.client.call("PATCH", "/v2/snapshots/%d?expiration-time-to-live=3days" % record["id"])
        self.assertAlmostEqual(seconds_left(patched), 3 * 86400, delta=60)
        self.assertError(self.client.call("PATCH", "/v3/snapshots/999999", {"expiration": None}), 404,
                         "snapshot_not_found_error")

        # Status records: the version's fields and the holders, locks and path of the source.
        v3_fields = {"id", "name", "timestamp", "source_file_id", "policy_id", "expiration", "in_delete"}
        v2_fields = {"id", "name", "timestamp", "directory_name", "source_file_id", "created_by_policy", "expiration",
                     "in_delete"}
        listed = {s["id"]: s for s in self.get("/v4/snapshots/status/")["entries"]}
        one = self.get("/v3/snapshots/status/%d" % record["id"])
        self.assertEqual(listed[record["id"]], one)
        self.assertEqual(set(one), v3_fields | {"source_file_path", "policy_name", "owners", "lock_key"})
        self.assertEqual((one["source_file_path"], one["policy_name"], one["owners"], one["lock_key"]),
                         ("/fs/projects/expiring/", None, [], None))
        listed = {s["id"]: s for s in self.get("/v2/snapshots/status/")["entries"]}
        one = self.get("/v2/snapshots/status/%d" % record["id"])
        self.assertEqual(listed[record["id"]], one)
        self.assertEqual(set(one), v2_fields | {"source_file_path", "owners"})
        for target in ("/v3/snapshots/status/999999", "/v2/snapshots/status/999999"):
            self.assertError(self.client.call("GET", target), 404, "snapshot_not_found_error")

        # Once its expiration passes, a snapshot goes as if deleted.
        expires = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 1))
        status, expiring = self.client.call("POST", "/v3/snapshots/", {"name_suffix": "brief", "expiration": expires,
                                                                       "source_file_id": source})
        self.assertEqual((status, expiring["expiration"]), (200, expires[:-1] + ".000000000Z"))
        deadline = time.monotonic() + 20
        while expiring["id"] in {s["id"] for s in self.get("/v3/snapshots/")["entries"]}:
            self.assertLess(time.monotonic(), deadline, "the expired snapshot never went")
            time.sleep(0.05)

    def test_changes_since(self):
        """Pages linked by paging.next; a change of mode alone is a change, one of the access time alone none.
        (What a tree's other edits list is the emulator's server test's.)"""
        base = "/fs/projects/diff"
        os.makedirs(disk(base))
        for name in ("keep.txt", "chmod.txt", "read.txt"):
            write(base + "/" + name, b"old")
        older = self.snapshot(base, "older")
        write(base + "/keep.txt", b" and more", "ab")
        write(base + "/new.txt", b"new")
        os.chmod(disk(base + "/chmod.txt"), 0o600)
        os.utime(disk(base + "/read.txt"), ns=(10**9, os.stat(disk(base + "/read.txt")).st_mtime_ns))
        newer = self.snapshot(base, "newer")

        expected = [("MODIFY", base + "/"), ("MODIFY", base + "/chmod.txt"), ("MODIFY", base + "/keep.txt"),
                    ("CREATE", base + "/new.txt")]
        self.assertEqual(self.changes(newer["id"], older["id"]), (expected, 1))
        self.assertEqual(self.changes(newer["id"], older["id"], limit=3), (expected, 2))
        other = self.snapshot("/fs/other", "elsewhere")
        self.assertError(self.client.call("GET", "/v2/snapshots/%d/changes-since/%d" % (other["id"], older["id"])),
                         400, "snapshot_source_mismatch_error")

    def test_file_level_difference(self):
        """The changed regions of one file between two snapshots, by path or id, paged like differences."""
        base = "/fs/projects/regions"
        os.makedirs(disk(base + "/dir"))
        block = 65536
        for name, content in (("big", b"a" * 3 * block), ("cut", b"k" * 1000)):
            write(base + "/" + name, content)
        os.symlink("big", disk(base + "/link"))
        older = self.snapshot(base, "older")
        with open(disk(base + "/big"), "r+b") as handle:
            handle.seek(block + 4464)
            handle.write(b"b")
            handle.seek(2 * block)
            handle.write(bytes(block))
            handle.write(b"c" * 100)
        os.truncate(disk(base + "/cut"), 10)
        write(base + "/new", b"n" * 5)
        newer = self.snapshot(base, "newer")
        pair = (newer["id"], older["id"])

        def regions(version, path, limit=1000, ref=None):
            target = "/v%d/snapshots/%d/changes-since/%d/files/%s?limit=%d" % (
                (version,) + pair + (ref or encode_ref(base + "/" + path), limit))
            entries, pages = self.pages(target)
            for entry in entries:
                self.assertEqual(set(entry), {"type" if version == 2 else "op", "offset", "size"})
            return [(e.get("type", e.get("op")), int(e["offset"]), int(e["size"])) for e in entries], pages

        self.assertEqual(regions(2, "big", limit=1), ([("FILE_REGION_DATA", block, block),
                                                       ("FILE_REGION_HOLE", 2 * block, block),
                                                       ("FILE_REGION_DATA", 3 * block, 100)], 3))
        big_id = self.attributes(base + "/big")["id"]
        self.assertEqual(regions(3, None, ref=big_id), ([("MODIFY", block, 2 * block), ("CREATE", 3 * block, 100)], 1))
        self.assertEqual(regions(2, "cut"), ([], 1))
        self.assertEqual(regions(3, "cut"), ([("DELETE", 10, 990)], 1))
        self.assertEqual(regions(3, "new"), ([("CREATE", 0, 5)], 1))
        for path in ("dir", "link"):
            target = "/v2/snapshots/%d/changes-since/%d/files/%s" % (pair + (encode_ref(base + "/" + path),))
            self.assertError(self.client.call("GET", target), 400, "api_bad_request_error")
        target = "/v3/snapshots/999999/changes-since/%d/files/%s" % (older["id"], encode_ref(base + "/big"))
        self.assertError(self.client.call("GET", target), 404, "snapshot_not_found_error")

    def test_names_that_are_not_utf8(self):
        base = "/fs/projects/names"
        os.makedirs(disk(base))
        older = self.snapshot(base, "before")
        names = [b"plain", b"latin1-\xe9t\xe9", b"cut-\xe2\x82", b"\xff\xfe", b"\xf4\x8f\xbf\xbd-max",
                 b"\xed\xb2\x80-surrogate", b"\\udcff-lookalike"]
        for name in names:
            write(base.encode() + b"/" + name, b"x")
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
