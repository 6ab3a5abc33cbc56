#!/usr/bin/env python3
"""The C interface from Python through ctypes, against the built library.

    ctypes_host.py LIBRARY VTL

Runs the sequence every C-level host runs (sequence.c), printing "records: N"
and "log: PATH" for run_host.cmake to read back; then eight threads send facts
while another starts and stops recordings, and every fact that returned OK
must be in a log exactly once, and no other. Exit 0 when all held."""
import ctypes
import json
import os
import subprocess
import sys
import threading

VTC_NTS = ctypes.c_size_t(-1).value
OK, NO_CONTROLLER, USER_ID_ZERO, ALREADY_RECORDING, LOG_FAILED = 0, 1, 2, 3, 4
INVALID_ARGUMENT, IGNORED, BUFFER_TOO_SMALL, STRUCT_SIZE = 6, 7, 8, 9

KEY = "Äpfel-日".encode()
FACT_NAME, FACT_VALUE = b"Karte", "Häfen-🎮".encode()
LOG_DIR = os.path.join("c-host-logs", "Protökolle-日本").encode()


class State(ctypes.Structure):
    _fields_ = [("structSize", ctypes.c_uint32), ("recording", ctypes.c_uint32), ("logOpen", ctypes.c_uint32),
                ("reserved", ctypes.c_uint32), ("recordings", ctypes.c_uint64),
                ("recordsWritten", ctypes.c_uint64), ("recordsLost", ctypes.c_uint64)]


def load(path):
    lib = ctypes.CDLL(path)
    u32, i32, size, text = ctypes.c_uint32, ctypes.c_int32, ctypes.c_size_t, ctypes.c_char_p
    for name, res, args in [
        ("vtcGetAbiVersion", u32, []), ("vtcGetVersionString", text, []),
        ("vtcStart", i32, [u32, u32, u32, u32, text, size]), ("vtcStop", i32, []),
        ("vtcSendKey", i32, [i32, text, size]), ("vtcSendInfo", i32, [text, size, text, size]),
        ("vtcGetState", i32, [ctypes.POINTER(State)]),
        ("vtcGetLogPath", i32, [ctypes.c_char_p, size, ctypes.POINTER(size)]),
        ("vtcStatusName", text, [i32])]:
        f = getattr(lib, name)
        f.restype, f.argtypes = res, args
    return lib


def expect(what, got, want):
    if got != want:
        raise AssertionError(f"{what}: got {got!r}, expected {want!r}")


def state(lib):
    s = State(structSize=ctypes.sizeof(State))
    expect("vtcGetState", lib.vtcGetState(ctypes.byref(s)), OK)
    return s


def log_path(lib):
    need = ctypes.c_size_t(0)
    expect("vtcGetLogPath(NULL)", lib.vtcGetLogPath(None, 0, ctypes.byref(need)), OK)
    short = ctypes.create_string_buffer(need.value - 1)
    expect("vtcGetLogPath, one byte short", lib.vtcGetLogPath(short, need.value - 1, ctypes.byref(need)),
           BUFFER_TOO_SMALL)
    buf = ctypes.create_string_buffer(need.value)
    expect("vtcGetLogPath", lib.vtcGetLogPath(buf, need.value, None), OK)
    return buf.value


def sequence(lib):
    expect("ABI major", lib.vtcGetAbiVersion() >> 16, 1)
    expect("ABI minor of vtcStatusName", (lib.vtcGetAbiVersion() & 0xFFFF) >= 1, True)
    expect("status names", [lib.vtcStatusName(c) for c in (OK, LOG_FAILED, BUFFER_TOO_SMALL, 12, -1, 511)],
           [b"VTC_OK", b"VTC_LOG_FAILED", b"VTC_BUFFER_TOO_SMALL"] + [b"unknown status"] * 3)
    expect("State size", ctypes.sizeof(State), 40)
    expect("userId 0", lib.vtcStart(0, 47, 0x7F000002, 0, LOG_DIR, VTC_NTS), USER_ID_ZERO)
    expect("null dir with a length", lib.vtcStart(12, 47, 0x7F000002, 0, None, 5), INVALID_ARGUMENT)
    expect("start", lib.vtcStart(12, 47, 0x7F000002, 0, LOG_DIR, len(LOG_DIR)), OK)
    expect("second start", lib.vtcStart(12, 48, 0x7F000002, 0, LOG_DIR, VTC_NTS), ALREADY_RECORDING)
    s = state(lib)
    expect("recording", (s.recording, s.logOpen), (1, 1))
    expect("key", lib.vtcSendKey(65, KEY, len(KEY)), OK)
    expect("fact", lib.vtcSendInfo(FACT_NAME, VTC_NTS, FACT_VALUE, len(FACT_VALUE)), OK)
    expect("key code 0", lib.vtcSendKey(0, KEY, len(KEY)), INVALID_ARGUMENT)
    expect("null name with a length", lib.vtcSendKey(1, None, 3), INVALID_ARGUMENT)
    path = log_path(lib)
    expect("directory", os.path.isdir(LOG_DIR), True)
    expect("stop", lib.vtcStop(), OK)
    s = state(lib)
    expect("after stop", (s.recording, s.logOpen), (0, 0))
    expect("late key", lib.vtcSendKey(1, b"late", VTC_NTS), IGNORED)
    small = State(structSize=39)
    expect("struct size", lib.vtcGetState(ctypes.byref(small)), STRUCT_SIZE)
    sys.stdout.write(f"records: {s.recordsWritten}\nlog: {path.decode()}\n")
    sys.stdout.flush()


def threads(lib, vtl):
    """Eight threads send facts while this one starts and stops recordings."""
    root = b"threads-logs"
    os.makedirs(root, exist_ok=True)
    done = threading.Event()
    taken = [[] for _ in range(8)]
    errors = []

    def send(t):
        n = 0
        while not done.is_set():
            value = f"{t}-{n}".encode()
            r = lib.vtcSendInfo(b"Thread", VTC_NTS, value, len(value))
            if r == OK:
                taken[t].append(value.decode())
            elif r != IGNORED:
                errors.append(r)
            n += 1

    senders = [threading.Thread(target=send, args=(t,)) for t in range(8)]
    for t in senders:
        t.start()
    written = {}
    try:
        for r in range(10):
            expect("start", lib.vtcStart(3, 200 + r, 0, 0, root, VTC_NTS), OK)
            path = log_path(lib)
            threading.Event().wait(0.02 if r % 2 else 0.002)
            expect("stop", lib.vtcStop(), OK)
            written[os.path.basename(path)] = state(lib).recordsWritten
    finally:
        done.set()
        for t in senders:
            t.join()
    expect("unexpected results", errors, [])
    found = []
    for name in sorted(os.listdir(root)):
        out = subprocess.run([vtl, "json", os.path.join(root, name)], check=True, capture_output=True).stdout
        records = [json.loads(line) for line in out.decode().splitlines()]
        expect(f"records of {name}", len(records), written[name])
        for rec in records:
            if rec["kind"] == "SysInfo" and rec["action"] == "Thread":
                found.append(rec["fields"][0]["value"])
    expected = sorted(v for t in taken for v in t)
    if not expected:
        raise AssertionError("no fact was taken")
    expect("facts in the logs against those that returned OK", sorted(found), expected)
    print(f"threads: {len(expected)} facts from 8 threads over 10 recordings, each in its log once")


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    lib = load(sys.argv[1])
    try:
        sequence(lib)
        threads(lib, sys.argv[2])
    except AssertionError as e:
        print(f"ctypes host: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
