"""MaxEntServe through HTTP: every endpoint, answers against the command-line
decoder, concurrency, bad requests, reloads and a stop with requests in flight.
SERVE_PATH, DECODER_PATH and SOURCE_DIR come from ctest."""
import concurrent.futures
import glob
import json
import math
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import pytest
import requests

SERVE, DECODER, SOURCE = (os.environ[v] for v in ("SERVE_PATH", "DECODER_PATH", "SOURCE_DIR"))
EXAMPLES = os.path.join(SOURCE, "examples")


def texts_of(folder):
    """The lines of input.txt but those with the end marker, which only the
    command line treats specially."""
    lines = open(os.path.join(folder, "input.txt")).read().splitlines()
    return [t for t in lines if "...EOS..." not in t]


EXAMPLE_TEXTS = texts_of(EXAMPLES)


class Server:
    """A running MaxEntServe on a free port; its standard error goes to a file."""

    def __init__(self, model, dictionary, *args):
        self.log = tempfile.NamedTemporaryFile("w+", suffix=".log")
        self.proc = subprocess.Popen([SERVE, "-m", model, "-d", dictionary, "-p", "0", *args],
                                     stderr=self.log)
        deadline = time.time() + 30
        while not (m := re.search(r"^listening on 127\.0\.0\.1:(\d+)$", self.stderr(), re.M)):
            assert self.proc.poll() is None and time.time() < deadline, self.stderr()
            time.sleep(0.02)
        self.url = "http://127.0.0.1:%s" % m.group(1)
        self.port = int(m.group(1))

    def stderr(self):
        return open(self.log.name).read()

    def infer(self, texts, nbest=None, model="model", session=requests):
        body = {"inputs": [{"name": "text", "datatype": "BYTES", "shape": [len(texts)],
                            "data": texts}]}
        if nbest is not None:
            body["parameters"] = {"nbest": nbest}
        return session.post("%s/v2/models/%s/infer" % (self.url, model), json=body)

    def rows(self, texts, nbest=None, session=requests):
        """Each text's [(name, score)], checked against the answer's shapes."""
        r = self.infer(texts, nbest, session=session)
        assert r.status_code == 200, r.text
        labels, scores = r.json()["outputs"]
        k = labels["shape"][1]
        assert labels["shape"] == scores["shape"] == [len(texts), k]
        assert len(labels["data"]) == len(scores["data"]) == len(texts) * k
        pairs = list(zip(labels["data"], scores["data"]))
        return [pairs[i * k:(i + 1) * k] for i in range(len(texts))]

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        return self.proc.wait(timeout=10)


@pytest.fixture(scope="module")
def server():
    s = Server(os.path.join(EXAMPLES, "model"), os.path.join(EXAMPLES, "dict.txt"),
               "--max-body", "1000000", "-t", "2")
    yield s
    assert s.stop() == 0


def decoder_rows(model, dictionary, texts, args=("-n", "3")):
    out = subprocess.run([DECODER, "-m", model, "-d", dictionary, *args], input="".join(
        t + "\n" for t in texts), capture_output=True, text=True, check=True).stdout
    return [[tuple(w.rsplit(":", 1)) for w in line.split()] for line in out.splitlines()]


def printed(rows):
    """Rows as the command line prints them; JSON has no NaN: it comes as null."""
    return [[(name, "%g" % (float("nan") if score is None else score)) for name, score in row]
            for row in rows]


def test_endpoints(server):
    get = lambda path: requests.get(server.url + path)
    for path in ("/v2/health/live", "/v2/health/ready", "/v2/models/model/ready"):
        assert get(path).status_code == 200
    assert get("/v2").json() == {"name": "MaxEntServe", "version": "1.1.0", "extensions": []}
    meta = get("/v2/models/model")
    assert meta.headers["Content-Type"] == "application/json"
    assert meta.json() == {
        "name": "model", "platform": "maxent",
        "inputs": [{"name": "text", "datatype": "BYTES", "shape": [-1]}],
        "outputs": [{"name": "label", "datatype": "BYTES", "shape": [-1, -1]},
                    {"name": "score", "datatype": "FP64", "shape": [-1, -1]}]}
    answer = requests.post(server.url + "/v2/models/model/infer", json={
        "id": "r-7", "inputs": [{"name": "text", "datatype": "BYTES", "shape": [2],
                                 "data": ["my bill is wrong", "roaming charges abroad"]}]}).json()
    assert answer["model_name"] == "model" and answer["id"] == "r-7"
    assert [o["shape"] for o in answer["outputs"]] == [[2, 1], [2, 1]]
    assert server.infer([], 3).json()["outputs"][0]["shape"] == [0, 3]
    metrics = get("/metrics").text
    assert re.search(r'^maxent_requests_total\{endpoint="infer",status="200"\} [1-9]', metrics, re.M)
    assert re.search(r"^maxent_texts_classified_total [1-9]", metrics, re.M)
    assert 'maxent_request_duration_seconds_bucket{le="+Inf"}' in metrics
    assert re.search(r"^maxent_model_load_seconds \d", metrics, re.M)
    assert re.search(r"^POST /v2/models/model/infer 200 texts=2 us=\d+$", server.stderr(), re.M)


def golden_cases():
    for folder in sorted(glob.glob(os.path.join(SOURCE, "tests/data/golden/*/"))):
        args = open(os.path.join(folder, "args")).read().split()
        yield pytest.param(folder, args, id=os.path.basename(folder.rstrip("/")))


@pytest.mark.parametrize("folder,args", [(EXAMPLES + "/", ["-n", "3"])] + list(golden_cases()))
def test_answers_are_the_command_lines(folder, args):
    texts = texts_of(folder)
    model, dictionary = os.path.join(folder, "model"), os.path.join(folder, "dict.txt")
    nbest = int(args[1]) if args else 1
    s = Server(model, dictionary)
    try:
        if nbest < 0:
            assert s.infer(texts, nbest).status_code == 400
        else:
            expected = decoder_rows(model, dictionary, texts, args)
            assert printed(s.rows(texts, nbest if args else None)) == expected
    finally:
        assert s.stop() == 0


def test_concurrent_clients_get_the_sequential_answers(server):
    rng = random.Random(7)
    words = " ".join(EXAMPLE_TEXTS).split()
    pool = EXAMPLE_TEXTS + [" ".join(rng.choices(words, k=rng.randint(1, 12))) for _ in range(60)]
    expected = dict(zip(pool, (server.rows([t], 4)[0] for t in pool)))

    def client(seed):
        r, session = random.Random(seed), requests.Session()
        for _ in range(200):
            batch = r.choices(pool, k=r.randint(1, 20))
            assert server.rows(batch, 4, session) == [expected[t] for t in batch]

    with concurrent.futures.ThreadPoolExecutor(32) as clients:
        list(clients.map(client, range(32)))


def test_texts_with_escapes_and_unusual_layouts(server):
    texts = ['caf\u00e9 bill "wrong"', "roaming \\ abroad \U0001F600", "tab\there / slash",
             "\u4e2d\u6587 payment"]
    expected = decoder_rows(os.path.join(EXAMPLES, "model"), os.path.join(EXAMPLES, "dict.txt"),
                            texts)
    assert printed(server.rows(texts, 3)) == expected  # non-ASCII as \u escapes
    # The same texts as raw UTF-8, members in another order, extra members,
    # spaces between tokens; then a repeated member too (the last counts).
    data = json.dumps(texts, ensure_ascii=False)
    body = ('{ "inputs" : [ {"data": %s, "extra": {"a": [1, -2.5e3, true, null]}, "shape": [4],'
            '"datatype": "BYTES", "name": "text"} ], %%s"parameters": {"nbest": 3, "other": "x"},'
            ' "id": "r\\\\1\\n" }\n' % data)
    for repeated in ("", '"parameters": {"nbest": 1}, '):
        r = requests.post(server.url + "/v2/models/model/infer", data=(body % repeated).encode(),
                          headers={"Content-Type": "application/json"})
        assert r.status_code == 200 and r.json()["id"] == "r\\1\n"
        labels, scores = r.json()["outputs"]
        pairs = list(zip(labels["data"], scores["data"]))
        assert printed([pairs[i * 3:(i + 1) * 3] for i in range(4)]) == expected


def test_unusual_class_names_and_full_scores(tmp_path):
    """Class names with a backslash, a space, a control character and a byte
    that is not UTF-8 (replaced by U+FFFD); scores of trivial classifiers,
    the sigmoid of their bias, carried to the last bit."""
    biases = {"a b": -0.25, "a\\b": 0.7, "x\x01y": 1.3, b"\xff\xc3\xa9": -2}
    lines = [b"field f0 { }", b"kernel k0 { type = linear fields = { f0 } weights = { 1 } }"]
    for i, (name, bias) in enumerate(biases.items()):
        name = b'"a b"' if name == "a b" else name if isinstance(name, bytes) else name.encode()
        lines.append(b"classifier c%d { trivial = true bias = %r }" % (i, bias))
        lines.append(b"supervisor s%d { p = %s clf = c%d }" % (i, name, i))
    os.mkdir(tmp_path / "model")
    (tmp_path / "model" / "zanda.parm").write_bytes(b"\n".join(lines) + b"\n")
    s = Server(str(tmp_path / "model"),
               os.path.join(SOURCE, "tests/data/golden/supervisor-kinds/dict.txt"))
    try:
        r = s.infer(["hello"], 10)
        assert r.status_code == 200 and json.loads(r.content)  # strict: control characters escaped
        got = dict(s.rows(["hello"], 10)[0])
        want = {("\ufffd\u00e9" if isinstance(n, bytes) else n): 1 / (1 + math.exp(-b))
                for n, b in biases.items()}
        assert got.keys() == want.keys()
        for name, score in got.items():
            assert score == pytest.approx(want[name], rel=1e-13), name
    finally:
        assert s.stop() == 0


BAD = [  # (body, status, message)
    (b"{bad", 400, "malformed JSON"),
    (b"[]", 400, "must be a JSON object"),
    ({}, 400, 'missing "inputs"'),
    ({"inputs": []}, 400, "exactly one input"),
    ({"inputs": [{"name": "txt", "datatype": "BYTES", "shape": [1], "data": ["a"]}]}, 400, '"text"'),
    ({"inputs": [{"name": "text", "datatype": "FP32", "shape": [1], "data": ["a"]}]}, 400, "datatype"),
    ({"inputs": [{"name": "text", "datatype": "BYTES", "shape": [1, 1], "data": ["a"]}]}, 400, "shape"),
    ({"inputs": [{"name": "text", "datatype": "BYTES", "shape": [2], "data": ["a"]}]}, 400, "shape says 2"),
    ({"inputs": [{"name": "text", "datatype": "BYTES", "shape": [1], "data": [1]}]}, 400, "strings"),
    ({"inputs": [{"name": "text", "datatype": "BYTES", "shape": [1], "data": "a"}]}, 400, "strings"),
    ({"inputs": [{"name": "text", "datatype": "BYTES", "shape": [1], "data": ["a\0b"]}]}, 400, "NUL"),
    ({"inputs": [{"name": "text", "datatype": "BYTES", "shape": [10001], "data": ["a"] * 10001}]},
     413, "more than 10000 texts"),
    (b"[" + b" " * 1000000 + b"]", 413, "over 1000000 bytes"),
] + [({"parameters": {"nbest": n}, "inputs": [{"name": "text", "datatype": "BYTES", "shape": [1],
                                              "data": ["a"]}]}, 400, msg)
     for n, msg in ((-1, "negative"), (1.5, "integer"), ("3", "integer"), (True, "integer"))]


@pytest.mark.parametrize("body,status,message", BAD)
def test_bad_infer_request(server, body, status, message):
    data = body if isinstance(body, bytes) else json.dumps(body).encode()
    r = requests.post(server.url + "/v2/models/model/infer", data=data,
                      headers={"Content-Type": "application/json"})
    assert (r.status_code, r.headers["Content-Type"]) == (status, "application/json")
    assert message in r.json()["error"]


@pytest.mark.parametrize("method,path,status", [
    ("GET", "/v2/models/other", 404), ("POST", "/v2/models/other/infer", 404),
    ("GET", "/v3", 404), ("GET", "/v2/models/model/infer", 405),
    ("POST", "/v2/health/live", 405), ("DELETE", "/metrics", 405)])
def test_bad_path_or_method(server, method, path, status):
    r = requests.request(method, server.url + path)
    assert r.status_code == status and r.json()["error"]


def test_garbage_is_answered_and_closed(server):
    with socket.create_connection(("127.0.0.1", server.port), timeout=5) as sock:
        sock.sendall(b"\x00\xff nonsense\r\n\r\n")
        assert sock.recv(4096).startswith(b"HTTP/1.1 400 ")
    assert requests.get(server.url + "/v2/health/live").status_code == 200


def test_reloads(tmp_path):
    model = str(tmp_path / "model")
    shutil.copytree(os.path.join(EXAMPLES, "model"), model)
    dictionary = os.path.join(EXAMPLES, "dict.txt")
    s = Server(model, dictionary)
    load = lambda: requests.post(s.url + "/v2/repository/models/model/load")
    before = s.rows(EXAMPLE_TEXTS, 3)
    parm = os.path.join(model, "zanda.parm")
    original = open(parm).read()
    with open(parm, "w") as f:
        f.write(original.replace("bias = -2\n", "bias = -2 {\n"))
    failure = subprocess.run([DECODER, "-m", model, "-d", dictionary], input="",
                             capture_output=True, text=True).stderr
    r = load()
    assert r.status_code == 400 and r.json()["error"] in failure
    s.proc.send_signal(signal.SIGHUP)
    while 'outcome="failure"} 2' not in requests.get(s.url + "/metrics").text:
        time.sleep(0.05)
    assert s.rows(EXAMPLE_TEXTS, 3) == before
    with open(parm, "w") as f:  # roaming's bias from -2 to +6: it now ranks first
        f.write(original.replace("bias = -2\n", "bias = 6\n"))
    assert load().status_code == 200
    after = s.rows(EXAMPLE_TEXTS, 3)
    assert all(row[0][0] == "roaming" for row in after) and after != before
    assert printed(after) == decoder_rows(model, dictionary, EXAMPLE_TEXTS)
    assert 'maxent_model_reloads_total{outcome="success"} 1' in requests.get(s.url + "/metrics").text
    assert s.stop(signal.SIGINT) == 0


def test_sigterm_answers_requests_in_flight():
    s = Server(os.path.join(EXAMPLES, "model"), os.path.join(EXAMPLES, "dict.txt"))
    texts = EXAMPLE_TEXTS * 50
    body = json.dumps({"inputs": [{"name": "text", "datatype": "BYTES", "shape": [len(texts)],
                                   "data": texts}]}).encode()
    head = b"POST /v2/models/model/infer HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n"
    idle = socket.create_connection(("127.0.0.1", s.port))  # an idle keep-alive client
    senders = [socket.create_connection(("127.0.0.1", s.port)) for _ in range(4)]
    for sock in senders:  # requests cut in the middle of their bodies
        sock.sendall(head % len(body) + body[:1000])
    time.sleep(0.2)
    start = time.time()
    s.proc.send_signal(signal.SIGTERM)
    time.sleep(0.3)
    for sock in senders:
        sock.sendall(body[1000:])
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
        assert answer.startswith(b"HTTP/1.1 200 ") and answer.count(b'"label"') == 1
    assert s.proc.wait(timeout=10) == 0 and time.time() - start < 5
    idle.close()
