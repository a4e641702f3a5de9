"""Times every function of mysite.core.vorlik against its plain-Python counterpart.

    python -m bench.run                 # the table
    python -m bench.run --json out.json # also write the figures
    python -m bench.run --memory        # also: a million calls each, resident memory growth
    python -m bench.run --only aes      # rows whose function name contains "aes"

Both sides run in this process on the same inputs; each figure is the median
of several timeit repeats, in nanoseconds per call.
"""

import argparse
import json
import logging
import os
import statistics
import subprocess
import sys
import timeit
import types

os.environ.setdefault("DJANGO_SETTINGS_MODULE", "mysite.settings")

import psutil  # noqa: E402

import mysite.core.vorlik as native  # noqa: E402
from bench import reference  # noqa: E402

MAC = "00-1A-2B-3C-4D-5E"
IPV4 = "192.168.10.20"
TEXT = "x" * 32


def in_memory_store():
    """A trivial parameter store in place of the application's models."""
    store = {}
    models = types.ModuleType("mysite.base.models")
    models.set_param_value = models.SetParamValue = store.__setitem__
    models.get_param_value = models.GetParamValue = store.get
    store["greeting"] = "hello"
    return models


def cases():
    """(function, input label, call arguments) for every row of the table."""
    cipher_text = native.aes_encrypt(TEXT)
    padded = native.pad(TEXT)
    return [
        ("pad", "32-character text", (TEXT,)),
        ("unpad", "its padded form", (padded,)),
        ("aes_encrypt", "32-character text, default key", (TEXT,)),
        ("aes_decrypt", "that cipher text", (cipher_text,)),
        ("set_param_value", "in-memory store", ("greeting", "hello")),
        ("get_param_value", "in-memory store", ("greeting",)),
        ("is_mac_address", "MAC text", (MAC,)),
        ("is_mac_address", "IPv4 text", (IPV4,)),
        ("get_mac4multiple_network_card", "this machine", ()),
        ("get_mac4network_card", "this machine", ()),
        ("get_smbios_uuid", "this machine", ()),
        ("get_machine_guid", "this machine", ()),
        ("get_system_uuid", "this machine", ()),
    ]


def per_call_ns(function, args, repeats):
    # A call statement, not a lambda, so that no wrapper's cost blurs the ratio.
    names = {f"a{i}": arg for i, arg in enumerate(args)}
    timer = timeit.Timer(f"f({', '.join(names)})", globals={"f": function, **names})
    number, _ = timer.autorange()
    return statistics.median(t / number * 1e9 for t in timer.repeat(repeats, number))


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


def rss_growth_kib(function, args, calls):
    process = psutil.Process()
    for _ in range(10_000):  # warm caches and free lists first
        try_call(function, args)
    before = process.memory_info().rss
    for _ in range(calls):
        try_call(function, args)
    return (process.memory_info().rss - before) / 1024


def try_call(function, args):
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
    for name, label, args in cases():
        if options.only not in name:
            continue
        slow = name in ("get_smbios_uuid", "get_system_uuid")
        repeats = 3 if slow else options.repeats
        python_ns = per_call_ns(getattr(reference, name), args, repeats)
        native_ns = per_call_ns(getattr(native, name), args, repeats)
        rows.append({"function": name, "input": label, "python_ns": python_ns, "native_ns": native_ns})
        if name == "get_mac4multiple_network_card":
            baseline = per_call_ns(psutil_alone, (), repeats)
            rows.append(
                {"function": "(psutil calls alone)", "input": "net_if_addrs + net_if_stats",
                 "python_ns": baseline, "native_ns": baseline}
            )

    width = max(len(row["function"]) for row in rows)
    print(f"{'function':<{width}}  {'input':<32} {'python ns':>12} {'native ns':>12} {'ratio':>7}")
    for row in rows:
        ratio = row["python_ns"] / row["native_ns"]
        row["ratio"] = ratio
        print(
            f"{row['function']:<{width}}  {row['input']:<32} {row['python_ns']:>12.0f} "
            f"{row['native_ns']:>12.0f} {ratio:>6.1f}x"
        )
    figures = {"rows": rows, "import_overhead_ms": import_overhead_ms()}
    print(f"\nimport of the module after its dependencies: {figures['import_overhead_ms']:.2f} ms")

    if options.memory:
        growth = {}
        for name, label, args in cases():
            if options.only in name and name not in ("get_smbios_uuid", "get_system_uuid"):
                calls = 1_000_000 if "mac4" not in name else 20_000
                growth[f"{name} ({label})"] = kib = rss_growth_kib(getattr(native, name), args, calls)
                print(f"resident memory after {calls} calls of {name} ({label}): {kib:+.0f} KiB")
        figures["rss_growth_kib"] = growth

    if options.json:
        with open(options.json, "w") as out:
            json.dump(figures, out, indent=2)


if __name__ == "__main__":
    main()
