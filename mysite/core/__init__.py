"""Core services of the application; the native module ``vorlik`` lives here.

``app_specific_id`` and ``IdentityNotUnique`` are loaded on first use, so that
importing this package loads neither the native module nor the settings.
"""

_LAZY = {"app_specific_id", "IdentityNotUnique"}


def __getattr__(name):
    if name in _LAZY:
        from mysite.core import identity

        return getattr(identity, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | _LAZY)
