"""Times every function of mysite.core.vorlik against its plain-Python counterpart.

    python -m bench.run                 # the table
    python -m bench.run --json out.json # also write the figures
    python -m bench.run --memory        # also: a million calls each, resident memory growth
    python -m bench.run --only aes      # rows whose function name contains "aes"

Both sides run in this process on the same inputs; each figure is the median
of several timeit repeats, in nanoseconds per call. With aes_encrypt, also two
threads each encrypting 1 MiB texts against one thread doing the same calls.
"""

import argparse
import itertools
import json
import logging
import os
import statistics
import subprocess
import sys
import threading
import time
import timeit
import types

os.environ.setdefault("DJANGO_SETTINGS_MODULE", "mysite.settings")

import psutil  # noqa: E402

import mysite.core.vorlik as native  # noqa: E402
from bench import reference  # noqa: E402

MAC = "00-1A-2B-3C-4D-5E"
IPV4 = "192.168.10.20"
TEXT = "x" * 32
KEY, OTHER_KEY = "a 16-byte key 01", "a 16-byte key 02"
EIGHT_KEYS = [f"a 16-byte key {i:02}" for i in range(1, 9)]
LARGE = "0123456789abcdef" * 65536  # 1 MiB


def in_memory_store():
    """A trivial parameter store in place of the application's models."""
    store = {}
    models = types.ModuleType("mysite.base.models")
    models.set_param_value = models.SetParamValue = store.__setitem__
    models.get_param_value = models.GetParamValue = store.get
    store["greeting"] = "hello"
    return models


def cases():
    """(function, input label, calls) for every row of the table: the argument
    tuples of one round of calls, made in turn."""
    cipher_text = native.aes_encrypt(TEXT)
    keyed_cipher_text = native.aes_encrypt(TEXT, KEY)
    large_cipher_text = native.aes_encrypt(LARGE)
    padded = native.pad(TEXT)
    return [
        ("pad", "32-character text", [(TEXT,)]),
        ("unpad", "its padded form", [(padded,)]),
        ("aes_encrypt", "32 characters, default key", [(TEXT,)]),
        ("aes_decrypt", "that cipher text", [(cipher_text,)]),
        ("aes_encrypt", "32 characters, a given key", [(TEXT, KEY)]),
        ("aes_decrypt", "that cipher text, the same key", [(keyed_cipher_text, KEY)]),
        ("aes_encrypt", "32 characters, two keys in turn", [(TEXT, KEY), (TEXT, OTHER_KEY)]),
        ("aes_encrypt", "32 characters, eight keys in turn", [(TEXT, key) for key in EIGHT_KEYS]),
        ("aes_encrypt", "1 MiB text", [(LARGE,)]),
        ("aes_decrypt", "that cipher text", [(large_cipher_text,)]),
        ("set_param_value", "in-memory store", [("greeting", "hello")]),
        ("get_param_value", "in-memory store", [("greeting",)]),
        ("is_mac_address", "MAC text", [(MAC,)]),
        ("is_mac_address", "IPv4 text", [(IPV4,)]),
        ("get_mac4multiple_network_card", "this machine", [()]),
        ("get_mac4network_card", "this machine", [()]),
        ("get_smbios_uuid", "this machine", [()]),
        ("get_machine_guid", "this machine", [()]),
        ("get_system_uuid", "this machine", [()]),
    ]


def round_timer(function, calls):
    # Call statements, not a lambda, so that no wrapper's cost blurs the ratio.
    names, statements = {}, []
    for c, args in enumerate(calls):
        names.update({f"a{c}_{i}": arg for i, arg in enumerate(args)})
        statements.append(f"f({', '.join(f'a{c}_{i}' for i in range(len(args)))})")
    return timeit.Timer("; ".join(statements), globals={"f": function, **names})


def per_call_ns(functions, calls, repeats):
    """The median nanoseconds per call of each function, their repeats interleaved."""
    timers = [round_timer(function, calls) for function in functions]
    numbers = [timer.autorange()[0] for timer in timers]
    samples = [[] for _ in timers]
    for _ in range(repeats):
        for timer, number, times in zip(timers, numbers, samples, strict=True):
            times.append(timer.timeit(number) / number / len(calls) * 1e9)
    return [statistics.median(times) for times in samples]


def threads_speedup(calls=16, repeats=7):
    """How much sooner two threads, each encrypting `calls` 1 MiB texts, finish
    than one thread making all their calls: the median of interleaved repeats."""

    def encrypt(count):
        for _ in range(count):
            native.aes_encrypt(LARGE, KEY)

    def seconds(threads):
        workers = [threading.Thread(target=encrypt, args=(calls,)) for _ in range(threads)]
        start = time.perf_counter()
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        return time.perf_counter() - start

    one, two = [], []
    for _ in range(repeats):
        one.append(seconds(1) * 2)  # one thread's calls, twice over
        two.append(seconds(2))
    return statistics.median(one) / statistics.median(two)


def caller_growth():
    """Bytes that aes_encrypt adds to the caller's text and key (a cached UTF-8 form would)."""
    text, key = "\u00e9" * 100_000, "\u00e9" * 8
    before = sys.getsizeof(text), sys.getsizeof(key)
    native.aes_encrypt(text, key)
    return sys.getsizeof(text) - before[0], sys.getsizeof(key) - before[1]


def psutil_alone():
    psutil.net_if_addrs()
    psutil.net_if_stats()


def import_overhead_ms(runs=7):
    """Milliseconds the module's own import adds to importing its dependencies."""
    code = (
        "import time, os; os.environ.setdefault('DJANGO_SETTINGS_MODULE', 'mysite.settings');"
        "import logging, re, uuid, base64, psutil, django.conf, Crypto.Cipher.AES;"
        "django.conf.settings.FORCED_MAC;"
        "t = time.perf_counter(); import mysite.core.vorlik;"
        "print(time.perf_counter() - t)"
    )
    samples = [
        float(subprocess.check_output([sys.executable, "-c", code], text=True)) for _ in range(runs)
    ]
    return statistics.median(samples) * 1e3


def rss_growth_kib(function, calls, rounds):
    process = psutil.Process()
    for _ in range(10_000):  # warm caches and free lists first
        try_calls(function, calls)
    before = process.memory_info().rss
    for _ in range(rounds):
        try_calls(function, calls)
    return (process.memory_info().rss - before) / 1024


NEW_KEYS = (f"{i:016}" for i in itertools.count())


def encrypt_with_a_new_key(text):
    """aes_encrypt with a key not used before at every call."""
    return native.aes_encrypt(text, next(NEW_KEYS))


def try_calls(function, calls):
    for args in calls:
        try:
            function(*args)
        except Exception:
            pass


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", metavar="FILE", help="write the figures to FILE")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--only", default="", help="rows whose function name contains this")
    parser.add_argument("--memory", action="store_true", help="a million calls of each fast function")
    options = parser.parse_args(argv)

    # Failures the identity sources log are expected here; keep them off the table.
    logging.getLogger("mysite.core.vorlik").disabled = True
    sys.modules["mysite.base.models"] = in_memory_store()

    rows = []
    for name, label, calls in cases():
        if options.only not in name:
            continue
        slow = name in ("get_smbios_uuid", "get_system_uuid")
        repeats = 3 if slow else options.repeats
        python_ns, native_ns = per_call_ns([getattr(reference, name), getattr(native, name)], calls, repeats)
        rows.append({"function": name, "input": label, "python_ns": python_ns, "native_ns": native_ns})
        if name == "get_mac4multiple_network_card":
            [baseline] = per_call_ns([psutil_alone], [()], repeats)
            rows.append(
                {"function": "(psutil calls alone)", "input": "net_if_addrs + net_if_stats",
                 "python_ns": baseline, "native_ns": baseline}
            )

    width = max((len(row["function"]) for row in rows), default=len("function"))
    print(f"{'function':<{width}}  {'input':<32} {'python ns':>12} {'native ns':>12} {'ratio':>7}")
    for row in rows:
        ratio = row["python_ns"] / row["native_ns"]
        row["ratio"] = ratio
        print(
            f"{row['function']:<{width}}  {row['input']:<32} {row['python_ns']:>12.0f} "
            f"{row['native_ns']:>12.0f} {ratio:>6.1f}x"
        )
    figures = {"rows": rows, "import_overhead_ms": import_overhead_ms(), "caller_growth_bytes": caller_growth()}
    print(f"\nimport of the module after its dependencies: {figures['import_overhead_ms']:.2f} ms")
    print("sys.getsizeof of the caller's text and key after aes_encrypt: {:+d} and {:+d} bytes".format(
        *figures["caller_growth_bytes"]))
    if options.only in "aes_encrypt":
        figures["threads_speedup"] = threads_speedup()
        print("two threads each encrypting 1 MiB texts, against one thread making their calls: "
              f"{figures['threads_speedup']:.2f}x as fast")

    if options.memory:
        growth = {}
        for name, label, calls in cases():
            if options.only in name and name not in ("get_smbios_uuid", "get_system_uuid"):
                rounds = 20_000 if "mac4" in name or "MiB" in label else 1_000_000
                growth[f"{name} ({label})"] = kib = rss_growth_kib(getattr(native, name), calls, rounds)
                print(f"resident memory after {rounds * len(calls)} calls of {name} ({label}): {kib:+.0f} KiB")
        if options.only in "aes_encrypt":
            label = "aes_encrypt (32 characters, a new key at every call)"
            growth[label] = kib = rss_growth_kib(encrypt_with_a_new_key, [(TEXT,)], 1_000_000)
            print(f"resident memory after 1000000 calls of {label}: {kib:+.0f} KiB")
        figures["rss_growth_kib"] = growth

    if options.json:
        with open(options.json, "w") as out:
            json.dump(figures, out, indent=2)


if __name__ == "__main__":
    main()
