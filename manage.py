#!/usr/bin/env python
"""Django's command-line utility for administrative tasks."""
import os
import sys


def main():
    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "mysite.settings")
    try:
        from django.core.management import execute_from_command_line
    except ImportError as exc:
        raise ImportError(
            "Couldn't import Django. Are you sure it's installed and "
            "available on your PYTHONPATH environment variable? Did you "
            "forget to activate a virtual environment?"
        ) from exc
    from django.core.exceptions import ImproperlyConfigured

    try:
        execute_from_command_line(sys.argv)
    except ImproperlyConfigured as refused:
        sys.exit(f"{refused}")  # a refused setting says what to change: its line, no traceback


if __name__ == "__main__":
    main()
