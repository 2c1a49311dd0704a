#!/usr/bin/env python3
"""HTTPS download mirror for the tests and the demo, on 127.0.0.1 only.

GET /a/b/c answers with ROOT/a/b/c (200 and a Content-Length), or 404 when there is no such file. Like nginx, it
sends a strong ETag made of the file's modification time and size, a Last-Modified and Accept-Ranges; it answers one
range ("bytes=A-B", "bytes=A-", "bytes=-N") with 206 and its Content-Range, a range past the end with 416, and a
range with an If-Range that is not the file's ETag or Last-Modified with the whole file (200). Several ranges, or
one it cannot read, get the whole file. A sidecar ROOT/a/b/c.behaviour holding a JSON object changes the answer for
that path:

    {"status": 500}                 that status line (a 206 or 500 still carries the whole file as its body)
    {"redirect": "/other/path"}     302 to that path on the same server
    {"cut_after": N}                announce the whole length, send the body up to byte N of the file (nothing for a
                                    range that starts there), drop the connection
    {"cut_each": N}                 the same after N bytes of each answer's body, wherever it starts
    {"no_length": true}             no Content-Length: the body ends when the connection closes
    {"chunked": true}               chunked transfer coding; with a cut the last chunks never come
    {"stall_ms": N}                 send the headers (and the bytes before a cut, else none), wait N ms, drop the
                                    connection
    {"drip_ms": N}                  send the headers (and the bytes before a cut, else none), then one byte of the
                                    rest every N ms until it is sent, the client leaves or LONGEST_STALL_MS passed
    {"pace_ms": N}                  wait N ms before each block of the body (a slow line), with any of the above
    {"first_only": true}            the cut, the stall and the drip apply to the first request for the path only
    {"ignore_ranges": true}         no Accept-Ranges, and Range is ignored: always the whole file (200)
    {"replace_with": "name"}        once the first request is answered, the file is replaced by its sibling "name"
                                    and its time moved on, so that its ETag and Last-Modified change
    {"etag": false}                 no ETag; {"weak_etag": true}: the ETag is weak (W/"...")
    {"content_range": "bytes ..."}  that Content-Range on a 206 instead of the true one
    {"length": N}                   announce that Content-Length whatever the body
    {"age_s": N}                    the file's time (in its ETag and Last-Modified) N seconds before its real one
    {"keep_alive": N}               a whole answer leaves the connection open for the client's next request, until
                                    N answers went over it: the Nth closes it unannounced, as an idle server does

Every request is appended as "GET /a/b/c" to ROOT/a/requests.log (ROOT/requests.log when ROOT/a is no folder), so
a test can tell which mirror was asked; a client that closes the connection while the mirror stalls or drips short
of the whole body is appended as "LEFT /a/b/c", and each part it answers (206) to ROOT/a/ranges.log as "FIRST-LAST /a/b/c";
each request also goes to ROOT/a/connections.log as "C GET /a/b/c", C numbering the connections that carried
requests since the mirror started, so that a test can tell which requests shared one. Three ports serve the same folder with different certificates: --port with
a localhost certificate of the trusted test CA, --wrong-host-port with a "wrong.example" certificate of the same CA,
--untrusted-port with a localhost certificate of a CA that is never trusted. Each sends its full chain.
"""

import argparse
import email.utils
import json
import shutil
import os
import select
import socket
import ssl
import sys
import threading
import time
import urllib.parse

REASONS = {200: "OK", 206: "Partial Content", 302: "Found", 304: "Not Modified", 400: "Bad Request",
           403: "Forbidden", 404: "Not Found", 416: "Range Not Satisfiable", 500: "Internal Server Error",
           503: "Service Unavailable"}
CHUNK_BYTES = 16384
SEND_BYTES = 65536
SOCKET_TIMEOUT_S = 30
LONGEST_STALL_MS = 60000

log_lock = threading.Lock()
count_lock = threading.Lock()
request_counts = {}
connection_count = [0]


def number_connection():
    with count_lock:
        connection_count[0] += 1
        return connection_count[0]


def count_request(file_path):
    """How many requests for this file came so far under its current sidecar, this one included: a test that writes
    the sidecar anew starts the count again."""
    try:
        key = (file_path, os.stat(file_path + ".behaviour").st_mtime_ns)
    except OSError:
        key = (file_path, None)
    with count_lock:
        request_counts[key] = request_counts.get(key, 0) + 1
        return request_counts[key]


def parse_range(text, size):
    """(first, last) of a single byte range, "unsatisfiable", or None for anything to ignore (as nginx, which then
    sends the whole file)."""
    if not text.startswith("bytes=") or "," in text:
        return None
    first, dash, last = text[len("bytes="):].strip().partition("-")
    if not dash or not (first.isdigit() or last.isdigit()) or (first and not first.isdigit()) or \
            (last and not last.isdigit()):
        return None
    if not first:
        length = int(last)
        if length == 0 or size == 0:
            return "unsatisfiable"
        return max(0, size - length), size - 1
    first = int(first)
    last = int(last) if last else size - 1
    if last < first:
        return None
    if first >= size:
        return "unsatisfiable"
    return first, min(last, size - 1)


def log(message):
    sys.stderr.write("%s %s\n" % (time.strftime("%H:%M:%S"), message))
    sys.stderr.flush()


def record_request(root, method, path, log_name="requests.log"):
    segments = [s for s in path.split("/") if s]
    folder = os.path.join(root, segments[0]) if segments else root
    if not os.path.isdir(folder):
        folder = root
    with log_lock:
        with open(os.path.join(folder, log_name), "a", encoding="utf-8") as requests:
            requests.write("%s %s\n" % (method, path))


def local_file(root, path):
    """The file below root that a request path names, or None for anything outside root."""
    relative = urllib.parse.unquote(path.split("?", 1)[0]).lstrip("/")
    parts = relative.split("/")
    if any(part in ("", ".", "..") or "\\" in part for part in parts):
        return None
    return os.path.join(root, *parts)


def read_behaviour(file_path):
    try:
        with open(file_path + ".behaviour", encoding="utf-8") as sidecar:
            return json.load(sidecar)
    except FileNotFoundError:
        return {}


def read_request_head(connection):
    head = b""
    while b"\r\n\r\n" not in head:
        data = connection.recv(4096)
        if not data:
            return None
        head += data
        if len(head) > 65536:
            return None
    lines = head.split(b"\r\n\r\n", 1)[0].decode("latin-1").split("\r\n")
    parts = lines[0].split(" ")
    if len(parts) != 3:
        return None
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return parts[0], parts[1], headers


def send_head(connection, status, headers, keep=False):
    lines = ["HTTP/1.1 %d %s" % (status, REASONS.get(status, "Status"))]
    lines += ["%s: %s" % item for item in headers] + ([] if keep else ["Connection: close"]) + ["", ""]
    connection.sendall("\r\n".join(lines).encode("latin-1"))


def send_body(connection, body, chunked, pace_ms=0):
    step = CHUNK_BYTES if chunked else SEND_BYTES
    for offset in range(0, len(body), step):
        if pace_ms:
            time.sleep(min(int(pace_ms), LONGEST_STALL_MS) / 1000.0)
        piece = body[offset:offset + step]
        if chunked:
            connection.sendall(b"%x\r\n" % len(piece) + piece + b"\r\n")
        else:
            connection.sendall(piece)


def client_left(connection, seconds):
    """Waits up to seconds for the client to close the connection; True when it did."""
    deadline = time.monotonic() + seconds
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return False
        readable, _, _ = select.select([connection], [], [], remaining)
        if not readable:
            continue
        try:
            if not connection.recv(4096):
                return True
        except ssl.SSLWantReadError:
            continue
        except (OSError, ssl.SSLError):
            return True


def drip(connection, rest, chunked, interval_ms):
    """Sends rest a byte at a time, one every interval_ms, for at most LONGEST_STALL_MS; True when the client left
    before the last byte."""
    deadline = time.monotonic() + LONGEST_STALL_MS / 1000.0
    for offset in range(len(rest)):
        if client_left(connection, interval_ms / 1000.0):
            return True
        if time.monotonic() > deadline:
            return False
        try:
            send_body(connection, rest[offset:offset + 1], chunked)
        except OSError:  # the client left between the wait and the byte
            return True
    return False


def drop(connection):
    """Ends the connection the way a broken network does: closing without unwrap sends no TLS close_notify."""
    try:
        connection.close()
    except OSError:
        pass


def close_cleanly(connection):
    """Ends the response properly: close_notify, then the TCP close. Waiting for the client's own close_notify would
    hold a body without a length open until the socket timed out: Wine's client ends such a body only at the close."""
    try:
        connection.setblocking(False)
        connection.unwrap()
    except (OSError, ValueError):
        pass  # ssl.SSLWantReadError: the client's close_notify, which nobody needs, has not come yet
    drop(connection)


def answer(connection, root, port_host, number, answered):
    """Answers one request on connection (the number-th, which answered earlier ones); returns how to end the
    connection, or None to wait on it for the next request."""
    request = read_request_head(connection)
    if request is None:
        return close_cleanly
    method, path, headers = request
    record_request(root, method, path)
    record_request(root, "%d %s" % (number, method), path, "connections.log")
    file_path = local_file(root, path)
    if file_path is None:
        send_head(connection, 404, [("Content-Length", "0")])
        return close_cleanly
    behaviour = read_behaviour(file_path)

    if "redirect" in behaviour:
        host = headers.get("host", port_host)
        send_head(connection, 302, [("Location", "https://%s%s" % (host, behaviour["redirect"])),
                                    ("Content-Length", "0")])
        return close_cleanly

    status = int(behaviour.get("status", 200))
    validators = []
    count = count_request(file_path)
    if os.path.isfile(file_path):
        with open(file_path, "rb") as served:
            body = served.read()
        modified = os.stat(file_path).st_mtime - float(behaviour.get("age_s", 0))
        tag = '"%x-%x"' % (int(modified), len(body))
        last_modified = email.utils.formatdate(modified, usegmt=True)
        if behaviour.get("etag", True):
            validators.append(("ETag", ("W/" if behaviour.get("weak_etag") else "") + tag))
        validators.append(("Last-Modified", last_modified))
        if count == 1 and "replace_with" in behaviour:
            # Replaced once this answer has its bytes: the next request meets another version of the file.
            replacement = os.path.join(os.path.dirname(file_path), behaviour["replace_with"])
            shutil.copyfile(replacement, file_path)
            os.utime(file_path, (os.stat(file_path).st_mtime + 10,) * 2)
    elif "status" in behaviour:
        body = b"status %d\n" % status
    else:
        send_head(connection, 404, [("Content-Length", "9")])
        connection.sendall(b"not found")
        return close_cleanly
    if status == 304 or 100 <= status < 200 or status == 204:
        send_head(connection, status, [])
        return close_cleanly
    if method == "HEAD":
        send_head(connection, status, [("Content-Length", str(len(body)))])
        return close_cleanly

    start = 0
    head = [("Content-Type", "application/octet-stream"),
            ("Date", email.utils.formatdate(time.time(), usegmt=True))] + validators
    ignore_ranges = bool(behaviour.get("ignore_ranges"))
    if "status" not in behaviour and not ignore_ranges and validators:
        head.append(("Accept-Ranges", "bytes"))
        if_range = headers.get("if-range")
        sent_tag = behaviour.get("etag", True) and not behaviour.get("weak_etag")
        if "range" in headers and (if_range is None or (sent_tag and if_range == tag) or
                                   if_range == last_modified):
            part = parse_range(headers["range"], len(body))
            if part == "unsatisfiable":
                send_head(connection, 416, head + [("Content-Range", "bytes */%d" % len(body)),
                                                   ("Content-Length", "0")])
                return close_cleanly
            if part is not None:
                status = 206
                start = part[0]
                record_request(root, "%d-%d" % part, path, "ranges.log")
                head.append(("Content-Range",
                             behaviour.get("content_range", "bytes %d-%d/%d" % (part[0], part[1], len(body)))))
                body = body[part[0]:part[1] + 1]

    chunked = bool(behaviour.get("chunked"))
    if chunked:
        head.append(("Transfer-Encoding", "chunked"))
    elif not behaviour.get("no_length"):
        head.append(("Content-Length", str(behaviour.get("length", len(body)))))

    cut = None
    if "cut_after" in behaviour:
        cut = max(0, int(behaviour["cut_after"]) - start)
    if "cut_each" in behaviour:
        cut = int(behaviour["cut_each"])
    stall_ms = behaviour.get("stall_ms")
    drip_ms = behaviour.get("drip_ms")
    pace_ms = behaviour.get("pace_ms", 0)
    if behaviour.get("first_only") and count > 1:
        cut = stall_ms = drip_ms = None
    # Only a whole answer whose end the client can tell leaves the connection usable.
    keep = "keep_alive" in behaviour and cut is None and stall_ms is None and drip_ms is None and \
        not behaviour.get("no_length") and "length" not in behaviour
    send_head(connection, status, head, keep)
    if drip_ms is not None:
        sent = body[:cut or 0]
        send_body(connection, sent, chunked, pace_ms)
        if drip(connection, body[len(sent):], chunked, int(drip_ms)):
            record_request(root, "LEFT", path)
        return drop
    if cut is None and stall_ms is None:
        send_body(connection, body, chunked, pace_ms)
        if chunked:
            connection.sendall(b"0\r\n\r\n")
        return None if keep and answered + 1 < int(behaviour["keep_alive"]) else close_cleanly
    sent = body[:cut or 0]
    send_body(connection, sent, chunked, pace_ms)
    # A client that leaves once it has the whole body is no client that gave up on a stall.
    if stall_ms is not None and client_left(connection, min(int(stall_ms), LONGEST_STALL_MS) / 1000.0) and \
            len(sent) < len(body):
        record_request(root, "LEFT", path)
    return drop


def serve_connection(context, raw, root, port_host):
    raw.settimeout(SOCKET_TIMEOUT_S)
    try:
        connection = context.wrap_socket(raw, server_side=True)
    except (OSError, ssl.SSLError) as error:
        # A client that refuses the certificate may give up here, or only after the handshake (Wine's does).
        log("handshake on %s: %s" % (port_host, error))
        raw.close()
        return
    number = number_connection()
    finish = drop
    answered = 0
    try:
        finish = answer(connection, root, port_host, number, answered)
        while finish is None:
            answered += 1
            finish = answer(connection, root, port_host, number, answered)
    except Exception as error:  # one broken connection must never stop the mirror
        # A kept connection that the client closes, or leaves idle past the timeout, is no fault.
        if answered == 0:
            log("request on %s: %r" % (port_host, error))
        finish = drop
    finish(connection)


def serve_port(context, listener, root, port_host):
    while True:
        try:
            raw, _ = listener.accept()
        except OSError as error:
            log("accept on %s: %s" % (port_host, error))
            time.sleep(0.1)
            continue
        threading.Thread(target=serve_connection, args=(context, raw, root, port_host), daemon=True).start()


def make_context(certs, chain_name, key_name):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(certs, chain_name), os.path.join(certs, key_name))
    return context


def listen(port):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(64)
    return listener


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", required=True)
    parser.add_argument("--certs", required=True, help="the folder make-certs.sh filled")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--wrong-host-port", type=int)
    parser.add_argument("--untrusted-port", type=int)
    parser.add_argument("--pidfile")
    parser.add_argument("--log", help="append diagnostics here instead of stderr")
    args = parser.parse_args()
    if args.log:
        sys.stderr = open(args.log, "a", encoding="utf-8", buffering=1)

    root = os.path.abspath(args.root)
    ports = [(args.port, "localhost-chain.pem", "localhost.key"),
             (args.wrong_host_port, "wrong-host-chain.pem", "wrong-host.key"),
             (args.untrusted_port, "untrusted-chain.pem", "untrusted.key")]
    threads = []
    for port, chain_name, key_name in ports:
        if port is None:
            continue
        context = make_context(args.certs, chain_name, key_name)
        port_host = "localhost:%d" % port
        threads.append(threading.Thread(target=serve_port, args=(context, listen(port), root, port_host),
                                        daemon=True))
    # Written only once every port listens, so that whoever waits for the file can connect at once.
    if args.pidfile:
        with open(args.pidfile + ".tmp", "w") as pidfile:
            pidfile.write("%d\n" % os.getpid())
        os.replace(args.pidfile + ".tmp", args.pidfile)
    log("serving %s on %s" % (root, ", ".join(str(p[0]) for p in ports if p[0] is not None)))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


if __name__ == "__main__":
    main()
