"""The operators' console: Django's admin over the parameter store, and the
machine identity page, through Django's test client."""

import platform
import subprocess
from datetime import timedelta

import pytest
from axes.models import AccessAttempt
from django.contrib.admin.models import CHANGE, LogEntry
from django.contrib.auth.models import Permission, User
from django.db.models import F
from django.test import Client

from mysite.base.admin import ParameterForm
from mysite.base.models import NAME_MAX_LENGTH, Parameter, Server, get_param_value, set_param_value
from mysite.core import vorlik
from mysite.core.identity import NOT_VISIBLE

pytestmark = pytest.mark.django_db

ADD = "/admin/base/parameter/add/"
LIST = "/admin/base/parameter/"
IDENTITY = "/admin/identity/"
SERVERS = "/admin/servers/"
UUID = "4C4C4544-0042-3510-8052-B4C04F4E3232"


@pytest.fixture(autouse=True)
def quick_password_hashes(settings):
    """Sign-in tests hash many passwords: the slow hashers guard real ones, not these."""
    settings.PASSWORD_HASHERS = ["django.contrib.auth.hashers.MD5PasswordHasher"]


@pytest.fixture
def login(client):
    """Sign in as a staff user with the parameter permissions and the named extra ones."""

    def sign_in(*extra):
        user = User.objects.create_user("operator", password="pw", is_staff=True)
        codenames = ["add_parameter", "change_parameter", "view_parameter", "delete_parameter", *extra]
        user.user_permissions.set(Permission.objects.filter(codename__in=codenames))
        client.force_login(user)
        return user

    return sign_in


@pytest.mark.parametrize(
    "extra, path, status, location",
    [
        (None, LIST, 302, "/admin/login/?next=/admin/base/parameter/"),
        (None, IDENTITY, 302, "/admin/login/?next=/admin/identity/"),
        ((), LIST, 200, None),
        ((), IDENTITY, 403, None),
        (None, SERVERS, 302, "/admin/login/?next=/admin/servers/"),
        ((), SERVERS, 403, None),
        (("view_server",), SERVERS, 200, None),
        (("view_machine_identity",), "/admin/", 200, None),
    ],
)
def test_who_may_open_what(client, login, extra, path, status, location):
    if extra is not None:
        login(*extra)
    response = client.get(path)
    assert response.status_code == status
    assert response.get("Location") == location
    # The index links the identity page for exactly those who may open it.
    if path == "/admin/":
        assert IDENTITY.encode() in response.content


def test_signing_in_needs_the_form_s_csrf_token():
    User.objects.create_user("operator", password="pw", is_staff=True)
    browser = Client(enforce_csrf_checks=True)
    assert browser.post("/admin/login/", {"username": "operator", "password": "pw"}).status_code == 403
    token = browser.get("/admin/login/").context["csrf_token"]
    signed_in = browser.post("/admin/login/", {"username": "operator", "password": "pw", "csrfmiddlewaretoken": token})
    assert signed_in.status_code == 302


@pytest.mark.parametrize("password, made", [("a", False), ("1234", False), ("password", False), ("long phrase", True)])
def test_a_new_user_s_password_must_pass_the_validators(admin_client, password, made):
    fields = {"username": "new", "usable_password": "true", "password1": password, "password2": password}
    admin_client.post("/admin/auth/user/add/", fields)
    assert User.objects.filter(username="new").exists() == made


# Five wrong passwords, then the right one: refused (429) for the user name tried, not for another.
@pytest.mark.parametrize("tried, answers", [("operator", [200] * 4 + [429, 429]), ("other", [200] * 4 + [429, 302])])
def test_repeated_wrong_passwords_lock_that_user_name_out(client, tried, answers):
    User.objects.create_user("operator", password="a long phrase", is_staff=True)
    attempts = [(tried, "wrong")] * 5 + [("operator", "a long phrase")]
    sent = [client.post("/admin/login/", {"username": name, "password": password}) for name, password in attempts]
    assert [response.status_code for response in sent] == answers


# Behind one proxy at 10.0.0.2 that appends the address it was reached from to X-Forwarded-For.
@pytest.mark.parametrize("trusted, guesser, answer", [
    ("1", "203.0.113.9", 302),
    ("1", "198.51.100.7, 203.0.113.9", 302),  # writing the operator's address in the header changes nothing
    ("", "203.0.113.9", 429),  # the header not trusted: everyone is the proxy
])
def test_behind_a_proxy_guesses_from_another_address_do_not_lock_the_operator_out(settings, trusted, guesser, answer):
    settings.TRUSTED_PROXY_COUNT = 1 if trusted else 0
    User.objects.create_user("operator", password="a long phrase", is_staff=True)
    via_proxy = Client(REMOTE_ADDR="10.0.0.2")
    for _ in range(6):
        via_proxy.post("/admin/login/", {"username": "operator", "password": "wrong"}, HTTP_X_FORWARDED_FOR=guesser)
    signed_in = via_proxy.post(
        "/admin/login/", {"username": "operator", "password": "a long phrase"}, HTTP_X_FORWARDED_FOR="198.51.100.7"
    )
    assert signed_in.status_code == answer


def test_tries_during_a_lockout_do_not_extend_it(client, settings):
    User.objects.create_user("operator", password="a long phrase", is_staff=True)

    def sign_in(password):
        return client.post("/admin/login/", {"username": "operator", "password": password})

    def minutes_pass(minutes):
        AccessAttempt.objects.update(attempt_time=F("attempt_time") - timedelta(minutes=minutes))

    for _ in range(5):
        sign_in("wrong")
    locked = sign_in("wrong")
    assert locked.status_code == 429 and locked["Retry-After"] == str(15 * 60)
    assert "Please try again in 15 minutes." in locked.content.decode()
    minutes_pass(14)
    assert sign_in("wrong").status_code == 429
    minutes_pass(2)
    assert sign_in("a long phrase").status_code == 302


@pytest.mark.parametrize(
    "dept, name, value",
    [
        (0, "", "v"),
        (0, " \t", "v"),
        (0, "n" * (NAME_MAX_LENGTH + 1), "v"),
        (0, "nul\x00", "v"),
        (0, "k", "nul\x00inside"),
        (0, "lone \ud800", "v"),
        (0, "k", "lone \udfff"),
        (-1, "k", "v"),
    ],
)
def test_the_form_refuses_what_the_store_refuses_with_its_reason(dept, name, value):
    with pytest.raises(ValueError) as refused:
        set_param_value(name, value, dept)
    form = ParameterForm(data={"dept": str(dept), "name": name, "value": value})
    assert not form.is_valid()
    assert [str(refused.value)] in form.errors.values()
    assert Parameter.objects.count() == 0


def test_a_refused_change_writes_nothing_and_a_saved_one_is_in_the_history(client, login):
    user = login()
    set_param_value("greeting", "hello")
    parameter = Parameter.objects.get()
    change = f"{LIST}{parameter.pk}/change/"
    refused = client.post(change, {"dept": "0", "name": "greeting", "value": "bad\x00"})
    assert refused.status_code == 200
    assert "parameter value must not contain NUL characters" in refused.content.decode()
    assert get_param_value("greeting") == "hello"

    assert client.post(change, {"dept": "0", "name": "greeting", "value": "grüß dich"}).status_code == 302
    assert get_param_value("greeting") == "grüß dich"
    (entry,) = LogEntry.objects.filter(action_flag=CHANGE)
    assert (entry.user, entry.object_id, entry.get_change_message()) == (user, str(parameter.pk), "Changed value.")


def test_a_name_taken_in_its_department_is_refused_and_free_in_another(client, login):
    login()
    set_param_value("k", "first")
    taken = client.post(ADD, {"dept": "0", "name": "k", "value": "second"})
    assert "Parameter with this Department and Name already exists." in taken.content.decode()
    assert client.post(ADD, {"dept": "1", "name": "k", "value": "other"}).status_code == 302
    assert sorted(Parameter.objects.values_list("dept", "value")) == [(0, "first"), (1, "other")]


@pytest.mark.parametrize("name", [
    "cafe\u0301", " colour", "colour ", "col\tour", "colo\u200bur", "colo\u200dur", "\ufeffcolour", "colour\u200f",
    "colour\u00a0", "col\u2060our", "c\u00adolour", "c\u043elour", "\uff43\uff4f\uff4c\uff4f\uff55\uff52", "colour\n",
    "col\u034four", "colour\ufe0f", "co\U000e0100lour", "col\u180bour", "colo\u3164ur",
])
def test_a_new_name_that_looks_like_a_stored_one_is_refused(name):
    set_param_value("colour", "blue")
    set_param_value("café", "au lait")
    form = ParameterForm(data={"dept": "0", "name": name, "value": "v"})
    assert not form.is_valid()
    # A tab inside leaves a gap: refused for the character, not as a look-alike.
    expected = "control or invisible characters (U+0009)" if "\t" in name else "looks like 'c"
    assert any(expected in problem for problem in form.errors["name"]), form.errors
    assert Parameter.objects.count() == 2


def test_only_new_names_are_held_to_the_console_s_rule(client, login):
    login()
    set_param_value("colour", "blue")
    set_param_value(" colour", "stored through the bridge")
    change = f"{LIST}{Parameter.objects.get(name=' colour').pk}/change/"
    assert client.post(change, {"dept": "0", "name": " colour", "value": "edited"}).status_code == 302
    assert get_param_value(" colour") == "edited"
    refused = client.post(change, {"dept": "0", "name": "c\u043elour", "value": "edited"}).content.decode()
    assert "the name looks like &#x27;colour&#x27;" in refused
    assert client.post(ADD, {"dept": "1", "name": "c\u043elour", "value": "elsewhere"}).status_code == 302


def test_the_list_shortens_long_values_searches_and_filters(client, login):
    login()
    set_param_value("long", "é" * 500)
    set_param_value("colour", "blue")
    set_param_value("colour", "grün", dept=2)
    page = client.get(LIST).content.decode()
    assert "é" * 79 + "…" in page and "é" * 81 not in page
    for query, names in [({"q": "grün"}, ["colour"]), ({"q": "LONG"}, ["long"]), ({"dept": "2"}, ["colour"])]:
        shown = client.get(LIST, query).context["cl"].result_list
        assert [p.name for p in shown] == names


@pytest.mark.parametrize(
    "query, status, names",
    [
        *((lookup, 400, None) for lookup in (
            "value__regex=(", "name__iregex=???", "dept__range=1", "value__regex=(a%2B)%2B$", "id__in=x",
            "pk__gt=0", "name=colour", "name__startswith=c", "history__id=1", "dept__gt=1", "dept__in=2")),
        ("dept=abc", 302, None),
        ("dept=2", 200, ["colour"]),
        ("dept__isnull=False&q=LONG", 200, ["long"]),
        ("q=(a%2B)%2B$", 200, []),
    ],
)
def test_the_list_takes_only_the_filters_it_offers(client, login, query, status, names):
    login("view_parameter")
    set_param_value("long", "a" * 25 + "!")
    set_param_value("colour", "grün", dept=2)
    response = client.get(f"{LIST}?{query}")
    assert (response.status_code, response.get("Location")) == (status, f"{LIST}?e=1" if status == 302 else None)
    if names is not None:
        assert [p.name for p in response.context["cl"].result_list] == names


@pytest.fixture
def machine(monkeypatch, dmidecode):
    """The firmware program is the stand-in ``dmidecode`` and the combined identity is ``machine.identity``
    (raised when an exception)."""

    class Machine:
        identity: object = ("SMBIOS", UUID.replace("-", ""))

    def get_system_uuid():
        if isinstance(Machine.identity, BaseException):
            raise Machine.identity
        return Machine.identity

    dmidecode.on_path(out=UUID)
    monkeypatch.setattr(platform, "system", lambda: "Linux")
    monkeypatch.setattr(vorlik, "get_system_uuid", get_system_uuid)
    monkeypatch.setattr(vorlik, "FORCED_MAC", False)
    return Machine


@pytest.mark.parametrize(
    "answer, identity, shown",
    [
        ({"out": UUID}, ("SMBIOS", UUID.replace("-", "")), [f"SMBIOS {UUID.replace('-', '')}", "No findings"]),
        (
            {"err": "/dev/mem: No such file or directory\n", "status": 1},
            ("MAC", "000000000000"),
            [
                "MAC 000000000000",
                "no answer: dmidecode exited with status 1",
                "<pre>/dev/mem: No such file or directory\n</pre>",
                NOT_VISIBLE,
                "vorlik.W001",
                "Hint: ",
            ],
        ),
        ({"out": UUID}, RuntimeError("no adapters"), ["cannot be read: RuntimeError: no adapters", "vorlik.E002"]),
        # A program that never answers is stopped at the bound, and the page names it.
        ({"sleep": 300}, ("MAC", "000000000000"), ["no answer: dmidecode did not answer within 1 s", "vorlik.W001"]),
    ],
)
def test_identity_page_shows_the_report_and_the_findings(client, login, machine, dmidecode, settings, answer,
                                                         identity, shown):
    login("view_machine_identity")
    settings.IDENTITY_TIMEOUT = 1
    dmidecode(**answer)
    machine.identity = identity
    with subprocess.Popen(["sleep", "60"]) as bystander:  # a child of the server's own, no firmware program
        page = client.get(IDENTITY).content.decode().replace("&#x27;", "'")
        assert bystander.poll() is None
        bystander.kill()
    for text in shown:
        assert text in page
    assert dmidecode.left() == []


def test_identity_page_reads_the_identity_each_time(client, login, machine):
    login("view_machine_identity")
    assert "SMBIOS 4C4C" in client.get(IDENTITY).content.decode()
    machine.identity = ("MachineGUID", "1" * 32)
    assert f"MachineGUID {'1' * 32}" in client.get(IDENTITY).content.decode()


def test_servers_page_marks_shared_identities_other_keys_and_stale_servers(client, login, settings, report):
    for name, identifier, key, days in [("a", "1", "k1", 0), ("b", "1", "k1", 0), ("c", "2", "k2", 0),
                                        ("old", "2", "k3", 8)]:
        report(name, ("SMBIOS", identifier * 32), key * 20, days)
    settings.SERVER_NAME = "c"
    user = login("view_server")
    page = client.get(SERVERS).content.decode()
    assert "vorlik.E004" in page and "vorlik.W004" not in page  # the stale one shares c's identity
    assert (page.count("shared with"), page.count(">differs<"), page.count("<strong>stale</strong>")) == (2, 1, 1)
    assert "4 servers, 3 where something stands out (listed first); times in UTC." in page
    chosen = {"remove": Server.objects.get(name="old").pk}
    assert client.post(SERVERS, chosen).status_code == 403
    user.user_permissions.add(Permission.objects.get(codename="delete_server"))
    assert client.post(SERVERS, chosen).status_code == 302
    assert list(Server.objects.values_list("name", flat=True)) == ["a", "b", "c"]

    for odd in ["²", "٣", "", " 1", "1.0", "-1", "1" * 19]:
        assert client.post(SERVERS, {"remove": odd}).status_code == 400, odd
    page = client.post(SERVERS, {"remove": Server.objects.get(name="c").pk}, follow=True).content.decode()
    page = page.replace("&#x27;", "'")
    assert "The record of c, this server, was removed with its history. It comes back at this server's next " \
           "refresh, within 5 minutes" in page
    assert "This server has no record in the registry now: it records itself again at its next refresh" in page
    assert "None" not in page
