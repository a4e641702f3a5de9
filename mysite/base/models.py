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
the stored values as they were.  The model's validation (the admin's forms)
applies the same checks, with the same reasons.
"""

from django.core.exceptions import ValidationError
from django.db import models

NAME_MAX_LENGTH = 200
DEFAULT_DEPT = 0


class ParameterNotFound(LookupError):
    """Raised by the getters for a parameter that has never been set."""


VIEW_IDENTITY = "view_machine_identity"


class Parameter(models.Model):
    dept = models.PositiveIntegerField("department", default=DEFAULT_DEPT)
    # Blank names are refused by the store's checks (``clean_fields``); were the
    # field not blank=True, a form would skip validating it when left empty.
    name = models.CharField(max_length=NAME_MAX_LENGTH, blank=True)
    value = models.TextField(blank=True)

    class Meta:
        constraints = [
            models.UniqueConstraint(fields=["dept", "name"], name="base_parameter_dept_name_unique"),
        ]
        # Who may open the machine identity page of the operators' console.
        permissions = [(VIEW_IDENTITY, "Can view the machine identity page")]

    def __str__(self) -> str:
        return f"{self.name} (department {self.dept})"

    def clean_fields(self, exclude=None):
        # The store's reasons come first; Django's own checks of a field run
        # only when the store accepts it, so each refusal is given once.
        exclude = set(exclude or ())
        errors = {}
        for field in FIELD_CHECKS.keys() - exclude:
            try:
                check_fields(**{field: getattr(self, field)})
            except (TypeError, ValueError) as exc:
                # A code of its own: a form puts its field's message in place of a known code's.
                errors[field] = [ValidationError(str(exc), code="refused")]
        try:
            super().clean_fields(exclude | errors.keys())
        except ValidationError as exc:
            errors.update(exc.error_dict)
        if errors:
            raise ValidationError(errors)


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


FIELD_CHECKS = {
    "name": _check_name,
    "value": lambda value: _check_text("value", value),
    "dept": _check_dept,
}


def check_fields(**values: object) -> None:
    """Raise ``TypeError`` / ``ValueError`` as the store's functions do, for
    the first of the field values given (name, value, dept) the store refuses."""
    for field, check in FIELD_CHECKS.items():
        if field in values:
            check(values[field])


def set_param_value(name: str, value: str, dept: int = DEFAULT_DEPT) -> None:
    """Store ``value`` as parameter ``name`` of department ``dept``.

    Replaces the value the parameter had in that department; other departments
    are not touched.  Returns ``None``.  Raises ``TypeError`` when ``name`` or
    ``value`` is not ``str`` or ``dept`` is not ``int``, and ``ValueError`` for
    an empty or too long name, a negative department, or text holding NUL or
    a lone surrogate; nothing is written then.
    """
    check_fields(name=name, value=value, dept=dept)
    Parameter.objects.update_or_create(dept=dept, name=name, defaults={"value": value})


def get_param_value(name: str, dept: int = DEFAULT_DEPT) -> str:
    """Return the ``str`` value of parameter ``name`` of department ``dept``.

    Raises ``ParameterNotFound`` (a ``LookupError``) when the parameter was
    never set in that department, and ``TypeError`` / ``ValueError`` for the
    same bad arguments as ``set_param_value``.
    """
    check_fields(name=name, dept=dept)
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


# The installation's server registry (see mysite.base.servers).

SERVER_NAME_MAX_LENGTH = 255  # a host name's longest form
# What a program answered is kept cut to these lengths (a firmware program may print anything).
CATEGORY_MAX_LENGTH = 20
IDENTIFIER_MAX_LENGTH = 200
NOT_UNIQUE_MAX_LENGTH = 500
SHORT_FINGERPRINT = 12  # characters of a key's fingerprint shown beside a server


def identity_text(category: str, identifier: str) -> str:
    return f"{category} {identifier or '(empty)'}".strip()


class Server(models.Model):
    """One application server of the installation, as it last recorded itself."""

    name = models.CharField(max_length=SERVER_NAME_MAX_LENGTH, unique=True)
    category = models.CharField("identity category", max_length=CATEGORY_MAX_LENGTH, blank=True)
    identifier = models.CharField("identity", max_length=IDENTIFIER_MAX_LENGTH, blank=True)
    not_unique = models.CharField("why the identity is not unique", max_length=NOT_UNIQUE_MAX_LENGTH, blank=True)
    key_fingerprint = models.CharField("built-in key fingerprint", max_length=64, blank=True)
    module_file = models.CharField("module file", max_length=200)
    openssl = models.BooleanField("AES through OpenSSL")
    python_version = models.CharField("Python", max_length=40)
    django_version = models.CharField("Django", max_length=40)
    first_seen = models.DateTimeField()
    last_seen = models.DateTimeField(db_index=True)  # stale and forgotten servers are found by it

    class Meta:
        ordering = ["name"]

    def __str__(self) -> str:
        return self.name

    @property
    def build(self) -> dict:
        return {
            "module": self.module_file,
            "openssl": self.openssl,
            "python": self.python_version,
            "django": self.django_version,
        }

    @property
    def shown_identity(self) -> str:
        return identity_text(self.category, self.identifier)

    @property
    def short_fingerprint(self) -> str:
        return self.key_fingerprint[:SHORT_FINGERPRINT]

    @property
    def build_text(self) -> str:
        with_openssl = "with OpenSSL" if self.openssl else "without OpenSSL"
        return f"{self.module_file} ({with_openssl}), Python {self.python_version}, Django {self.django_version}"


class Sighting(models.Model):
    """A machine identity or a built-in key that processes of a server reported: when first and last,
    and how many processes did."""

    IDENTITY, KEY = "identity", "key"

    server = models.ForeignKey(Server, on_delete=models.CASCADE, related_name="sightings")
    kind = models.CharField(max_length=8, choices=[(IDENTITY, "machine identity"), (KEY, "built-in key")])
    # Empty for a key; as long as the server's, whose values it copies.
    category = models.CharField("identity category", max_length=CATEGORY_MAX_LENGTH, blank=True)
    value = models.CharField("identifier or key fingerprint", max_length=IDENTIFIER_MAX_LENGTH, blank=True)
    first_seen = models.DateTimeField()
    last_seen = models.DateTimeField(db_index=True)
    processes = models.PositiveIntegerField("processes that reported it", default=1)

    class Meta:
        ordering = ["first_seen", "pk"]
        constraints = [
            models.UniqueConstraint(fields=["server", "kind", "category", "value"], name="base_sighting_unique"),
        ]
        # Who else reported an identity or a key.
        indexes = [models.Index(fields=["kind", "category", "value"], name="base_sighting_seen_by")]

    def __str__(self) -> str:
        return f"{self.server_id}: {self.category} {self.value}".strip()

    @property
    def shown(self) -> str:
        """The identity, or the key's short fingerprint, as shown beside the server."""
        return self.value[:SHORT_FINGERPRINT] if self.kind == self.KEY else identity_text(self.category, self.value)
