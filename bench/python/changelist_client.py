#!/usr/bin/python3
"""Pages a snapshot difference from the cluster's REST service the way a user would with only the
standard library: one keep-alive HTTPS connection (http.client), json, and a record per entry with
its path translated from the cluster's tree to the backup path. Prints one JSON line with the item
count, the seconds (wall and CPU) spent paging and building records, and the process's peak resident memory.

The password is read from a file so that it never shows in a process listing.
"""

import argparse
import http.client
import json
import resource
import ssl
import sys
import time
import urllib.parse
from dataclasses import dataclass

# The agent's numbering: 1 new, 2 modified, 4 deleted, 0 anything else.
CHANGE_TYPES = {"CREATE": 1, "MODIFY": 2, "DELETE": 4}


@dataclass(slots=True)
class ChangeRecord:
    change_type: int
    path: str
    is_directory: bool


def request_json(connection, method, target, body=None, headers=None):
    connection.request(method, target, body=body, headers=headers or {})
    response = connection.getresponse()
    data = response.read()
    if response.status != 200:
        raise RuntimeError(f"{method} {urllib.parse.urlsplit(target).path} answered {response.status}")
    return json.loads(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--url", required=True, help="https://HOST:PORT")
    parser.add_argument("--ca", required=True, help="CA bundle to trust")
    parser.add_argument("--user", required=True)
    parser.add_argument("--password-file", required=True)
    parser.add_argument("--older", required=True)
    parser.add_argument("--newer", required=True)
    parser.add_argument("--limit", type=int, default=10000)
    parser.add_argument("--fs-path", required=True, help="cluster path of the compared directory")
    parser.add_argument("--local-path", required=True, help="backup path the agent knows it by")
    args = parser.parse_args()

    url = urllib.parse.urlsplit(args.url)
    context = ssl.create_default_context(cafile=args.ca)
    connection = http.client.HTTPSConnection(url.hostname, url.port, context=context)
    with open(args.password_file, encoding="utf-8") as handle:
        password = handle.readline().rstrip("\r\n")
    login = json.dumps({"username": args.user, "password": password})
    token = request_json(connection, "POST", "/v1/session/login", login,
                         {"Content-Type": "application/json"})["bearer_token"]
    headers = {"Authorization": "Bearer " + token}

    cluster_prefix = args.fs_path.rstrip("/")
    local_prefix = args.local_path.rstrip("/")
    target = f"/v2/snapshots/{args.newer}/changes-since/{args.older}?limit={args.limit}"

    items = 0
    start = time.perf_counter()
    cpu_start = time.process_time()
    while True:
        page = request_json(connection, "GET", target, headers=headers)
        for entry in page["entries"]:
            path = entry["path"]
            is_directory = path.endswith("/")  # no type travels: directories end with "/"
            if is_directory:
                path = path[:-1]
            if path.startswith(cluster_prefix):
                path = local_prefix + path[len(cluster_prefix):]
            record = ChangeRecord(CHANGE_TYPES.get(entry["op"], 0), path, is_directory)
            items += 1
        # The link to the next page is requested as it stands, on this host only.
        target = (page.get("paging") or {}).get("next") or ""
        if not target:
            break
        if not target.startswith("/") or target.startswith("//"):
            raise RuntimeError(f"the next-page link {target[:80]!r} is not a relative URI")
    seconds = time.perf_counter() - start
    cpu_seconds = time.process_time() - cpu_start
    connection.close()

    print(json.dumps({
        "items": items,
        "seconds": seconds,
        "cpu_seconds": cpu_seconds,
        "items_per_second": items / seconds if seconds > 0 else 0,
        "peak_rss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
    }))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (OSError, RuntimeError, KeyError, ValueError) as error:
        print(f"changelist_client: {error}", file=sys.stderr)
        sys.exit(1)
