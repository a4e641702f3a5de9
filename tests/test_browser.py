"""An operator's session in the console, in headless Chromium through Selenium.

Set ``MYSITE_SCREENSHOTS`` to a folder to keep the screenshots it takes (the
README's come from ``MYSITE_SCREENSHOTS=docs``); otherwise they go to a
temporary folder.
"""

import hashlib
import os
import platform
import shutil
import subprocess
import tempfile
from datetime import timedelta
from pathlib import Path
from unittest import mock

import pytest
from django.contrib.auth.models import Permission, User
from django.contrib.staticfiles.testing import StaticLiveServerTestCase
from django.test import override_settings
from django.utils import timezone

from bench import program_environment
from mysite.base import servers
from mysite.core import vorlik

CHROMIUM, DRIVER = shutil.which("chromium"), "/usr/bin/chromedriver"
UUID = "4C4C4544-0042-3510-8052-B4C04F4E3232"
NAME, VALUE = "Grüße, Ελληνικά, русский", "naïve café"

pytestmark = pytest.mark.skipif(
    not (CHROMIUM and os.access(DRIVER, os.X_OK)),
    reason="needs Debian's chromium and chromium-driver packages (apt-get install chromium chromium-driver)",
)


def dmidecode(command, **options):
    """The firmware program, answering at once: no program runs."""
    return UUID.encode() + b"\n"


def record_servers():
    """app-2 a clone of app-1, app-3 built with another key, old retired long ago; app-1's serving
    processes read an adapter address, its deployment check, run as root, the firmware UUID."""
    now = timezone.now()
    smbios, mac = ("SMBIOS", UUID.replace("-", "")), ("MAC", "0242AC110002")
    for name, identity, key, days, processes in [
        ("app-1", mac, "a", 2, 4), ("app-1", smbios, "a", 0, 1), ("app-2", smbios, "a", 0, 4),
        ("app-3", ("SMBIOS", UUID[::-1].replace("-", "")), "b", 0, 4), ("old", ("SMBIOS", "1" * 32), "c", 30, 2),
    ]:
        fields = {"category": identity[0], "identifier": identity[1], "not_unique": "",
                  "key_fingerprint": hashlib.sha256(key.encode()).hexdigest(),
                  "module_file": "vorlik.cpython-311-x86_64-linux-gnu.so", "openssl": True,
                  "python_version": "3.11.7", "django_version": "5.2.20"}
        for process in range(processes):
            seen = now - timedelta(days=days, hours=processes - process, minutes=3)
            servers.record(name, fields, seen, new_process=True)


@override_settings(SERVER_NAME="app-1")
class OperatorSession(StaticLiveServerTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service

        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1000,760"):
            options.add_argument(argument)
        # Both paths given: Selenium Manager then has nothing to look for or download.
        service = Service(executable_path=DRIVER, env=program_environment())
        cls.browser = webdriver.Chrome(options=options, service=service)
        cls.browser.implicitly_wait(10)
        folder = os.environ.get("MYSITE_SCREENSHOTS")
        if folder:
            cls.screenshots = Path(folder)
            cls.screenshots.mkdir(parents=True, exist_ok=True)
        else:
            cls.screenshots = Path(tempfile.mkdtemp(prefix="console-"))
            cls.addClassCleanup(shutil.rmtree, cls.screenshots)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        super().tearDownClass()

    def setUp(self):
        for target, attribute, stand_in in [
            (subprocess, "check_output", dmidecode),
            (platform, "system", lambda: "Linux"),
            (vorlik, "get_system_uuid", lambda: ("SMBIOS", UUID.replace("-", ""))),
            (vorlik, "FORCED_MAC", False),
        ]:
            patcher = mock.patch.object(target, attribute, stand_in)
            patcher.start()
            self.addCleanup(patcher.stop)
        user = User.objects.create_user("operator", password="a long pass phrase", is_staff=True)
        codenames = ["add_parameter", "change_parameter", "view_parameter", "view_machine_identity", "view_server"]
        user.user_permissions.set(Permission.objects.filter(codename__in=codenames))

    def find(self, selector):
        from selenium.webdriver.common.by import By

        return self.browser.find_element(By.CSS_SELECTOR, selector)

    def text(self, selector="body"):
        return self.find(selector).text

    def then_wait(self, action):
        """Do what loads another page, and wait until the browser has left this one."""
        from selenium.common.exceptions import WebDriverException
        from selenium.webdriver.support.expected_conditions import staleness_of
        from selenium.webdriver.support.wait import WebDriverWait

        page = self.find("html")
        action()
        # While the page goes, Chromium may answer "Node with given id does not belong to
        # the document" rather than call the element stale: ask again.
        WebDriverWait(self.browser, 10, ignored_exceptions=[WebDriverException]).until(staleness_of(page))

    def click(self, selector=None, link=None):
        element = self.browser.find_element("link text", link) if link else self.find(selector)
        self.then_wait(element.click)

    def open(self, path):
        self.then_wait(lambda: self.browser.get(self.live_server_url + path))

    def add(self, name, value):
        self.click("a.addlink")
        self.find("#id_name").send_keys(name)
        self.find("#id_value").send_keys(value)
        self.click("input[name=_save]")

    def test_sign_in_add_search_read_the_identity_and_sign_out(self):
        self.browser.get(self.live_server_url + "/admin/")
        self.find("#id_username").send_keys("operator")
        self.find("#id_password").send_keys("a long pass phrase")
        self.click("input[type=submit]")
        self.click(link="Parameters")

        self.add(NAME, VALUE)
        self.assertIn("was added successfully", self.text(".messagelist"))
        self.assertEqual(vorlik.get_param_value(NAME), VALUE)

        self.open("/admin/base/parameter/")
        self.add(NAME, "another value")
        self.assertIn("Parameter with this Department and Name already exists.", self.text(".errorlist.nonfield"))
        self.find("#id_name").clear()
        self.click("input[name=_save]")
        self.assertEqual(self.text("#id_name_error"), "parameter name must not be empty")
        self.assertEqual(vorlik.get_param_value(NAME), VALUE)

        self.open("/admin/base/parameter/")
        self.add("colour", "blue")
        self.then_wait(lambda: self.find("#searchbar").send_keys("café\n"))
        self.assertEqual(self.text("#result_list tbody"), f"0 {NAME} {VALUE}")
        self.browser.save_screenshot(str(self.screenshots / "console-parameters.png"))

        self.click(link="Home")
        self.click(link="Machine identity")
        self.assertIn(f"Machine identity: SMBIOS {UUID.replace('-', '')}", self.text("#identity"))
        self.assertIn("No findings", self.text("#findings"))
        self.browser.save_screenshot(str(self.screenshots / "console-identity.png"))

        record_servers()
        self.click(link="Home")
        self.click(link="Servers")
        findings = self.text("#findings")
        self.assertIn("vorlik.E004: This server (app-1) has another built-in default key than app-3", findings)
        self.assertIn("vorlik.W004: Another server has this server's machine identity", findings)
        self.assertIn("vorlik.W005: This server's machine identity changed: MAC 0242AC110002 (first seen", findings)
        self.assertIn("shared with app-2", self.text("#servers"))
        self.browser.set_window_size(1000, 1250)  # the findings and the list in one picture
        self.browser.save_screenshot(str(self.screenshots / "console-servers.png"))

        self.click("#logout-form button")
        self.assertIn("Logged out", self.text())
        self.open("/admin/identity/")
        self.assertTrue(self.find("#id_username").is_displayed())
