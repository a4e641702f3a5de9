"""The application's parameter store: named text values kept in the database.

Two pairs of functions work on it:

* ``set_param_value`` / ``get_param_value`` for deployments that define
  ``DEPT_COUNT`` in their settings: every department (a number, 0 by default)
  has parameters of its own;
* ``SetParamValue`` / ``GetParamValue`` for the other deployments: one set of
  parameters for the whole installation.  They are the parameters of
  department 0, so a deployment that later introduces departments keeps them.

Names and values are ``str``; nothing else is converted or accepted.  Every
argument is checked before the database is touched, so a refused call leaves
the stored values as they were.
"""

from django.db import models

NAME_MAX_LENGTH = 200
DEFAULT_DEPT = 0


class ParameterNotFound(LookupError):
    """Raised by the getters for a parameter that has never been set."""


class Parameter(models.Model):
    dept = models.PositiveIntegerField(default=DEFAULT_DEPT)
    name = models.CharField(max_length=NAME_MAX_LENGTH)
    value = models.TextField()

    class Meta:
        constraints = [
            models.UniqueConstraint(fields=["dept", "name"], name="base_parameter_dept_name_unique"),
        ]

    def __str__(self) -> str:
        return f"{self.name} (department {self.dept})"


def _check_text(what: str, text: object) -> None:
    if not isinstance(text, str):
        raise TypeError(f"parameter {what} must be str, not {type(text).__name__}")
    # PostgreSQL cannot store NUL in text, and lone surrogates have no UTF-8
    # form: refuse both on every backend so all of them keep the same values.
    if "\x00" in text:
        raise ValueError(f"parameter {what} must not contain NUL characters")
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"parameter {what} is not valid Unicode text (lone surrogate)") from None


def _check_name(name: object) -> None:
    _check_text("name", name)
    if not name.strip():
        raise ValueError("parameter name must not be empty")
    if len(name) > NAME_MAX_LENGTH:
        raise ValueError(f"parameter name is longer than {NAME_MAX_LENGTH} characters")


def _check_dept(dept: object) -> None:
    if isinstance(dept, bool) or not isinstance(dept, int):
        raise TypeError(f"department must be int, not {type(dept).__name__}")
    if dept < 0:
        raise ValueError(f"department must not be negative, got {dept}")


def set_param_value(name: str, value: str, dept: int = DEFAULT_DEPT) -> None:
    """Store ``value`` as parameter ``name`` of department ``dept``.

    Replaces the value the parameter had in that department; other departments
    are not touched.  Returns ``None``.  Raises ``TypeError`` when ``name`` or
    ``value`` is not ``str`` or ``dept`` is not ``int``, and ``ValueError`` for
    an empty or too long name, a negative department, or text holding NUL or
    a lone surrogate; nothing is written then.
    """
    _check_name(name)
    _check_text("value", value)
    _check_dept(dept)
    Parameter.objects.update_or_create(dept=dept, name=name, defaults={"value": value})


def get_param_value(name: str, dept: int = DEFAULT_DEPT) -> str:
    """Return the ``str`` value of parameter ``name`` of department ``dept``.

    Raises ``ParameterNotFound`` (a ``LookupError``) when the parameter was
    never set in that department, and ``TypeError`` / ``ValueError`` for the
    same bad arguments as ``set_param_value``.
    """
    _check_name(name)
    _check_dept(dept)
    try:
        return Parameter.objects.get(dept=dept, name=name).value
    except Parameter.DoesNotExist:
        where = "" if dept == DEFAULT_DEPT else f" in department {dept}"
        raise ParameterNotFound(f"parameter {name!r} is not set{where}") from None


def SetParamValue(name: str, value: str) -> None:
    """Store ``value`` as the installation-wide parameter ``name``.

    Replaces its earlier value and returns ``None``.  Bad arguments raise
    ``TypeError`` / ``ValueError`` as for ``set_param_value``, and nothing is
    written then.
    """
    set_param_value(name, value)


def GetParamValue(name: str) -> str:
    """Return the ``str`` value of the installation-wide parameter ``name``.

    Raises ``ParameterNotFound`` (a ``LookupError``) when it was never set.
    """
    return get_param_value(name)
