"""Benchmarks of the native module, and the servers that they and the tests start."""

import os


def program_environment() -> dict[str, str]:
    """This process's environment for a program that is not Python (a database
    server, a browser): without the sanitizer runtime that the sanitizer build
    preloads into the interpreter, which such a program does not run under."""
    return {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
