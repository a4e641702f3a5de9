"""Plain-Python counterpart of the native module ``mysite.core.vorlik``.

Function for function it behaves as the native module does: same globals
bound at import in the same order, same parameters, same results, same
exception types and messages.  The benchmark times each native function
against its counterpart here, and the tests hold the native module to it.

Functions reach each other and the globals by name at call time, so
rebinding an attribute of this module (``BLOCK_SIZE``, ``pad``, ...) changes
what the other functions use, as it does on the native module.

Argument errors are the exception: they are the interpreter's own messages
for Python functions, not the native module's.
"""

import logging
import re
from django.conf import settings
import uuid
import base64
from Crypto.Cipher import AES

try:
    import psutil
    MAC_BY_UUID = False
except ImportError:
    MAC_BY_UUID = True
NEW_MAC_DETECT = not MAC_BY_UUID
logger = logging.getLogger("mysite.core.vorlik")
BLOCK_SIZE = AES.block_size
FORCED_MAC = getattr(settings, "FORCED_MAC", False)

# Not one of the native module's globals, hence after them.
from os import environ as _environ

# The native module's key comes from the same variable at build time.
DEFAULT_KEY = _environ.get("VORLIK_DEFAULT_KEY", "Vk7#mQ2p!Lx9@Rb4")


def pad(content):
    content_bytes = len(content.encode("utf-8"))
    n = BLOCK_SIZE - content_bytes % BLOCK_SIZE
    return content + chr(n) * n


# eval() accepts as locals exactly the objects whose type has the mapping
# subscript slot, which is what slicing needs; a constant touches nothing.
_SUBSCRIPT_PROBE = compile("0", "<subscript probe>", "eval")
_PROBE_GLOBALS = {"__builtins__": {}}


def _type_name(obj):
    """The type's name as the interpreter's own messages print it.

    That is the C-level name cut at 200 bytes ("collections.deque", where
    ``__name__`` says "deque"); str.__add__ reports exactly that and runs no
    code of the object, which must not be a ``str``.
    """
    try:
        str.__add__("", obj)
    except TypeError as error:
        return str(error)[len('can only concatenate str (not "'):-len('") to str')]


def _subscriptable(obj):
    try:
        eval(_SUBSCRIPT_PROBE, _PROBE_GLOBALS, obj)
    except TypeError:
        return False
    return True


def _slice(content, start, stop):
    if not _subscriptable(content):
        raise TypeError("'%s' object is unsliceable" % _type_name(content))
    return content[start:stop]


def _ord(element):
    # As ord(), but a text of the wrong length is a ValueError of its own.
    if issubclass(type(element), str) and str.__len__(element) != 1:
        raise ValueError(
            "only single character unicode strings can be converted to Py_UCS4, got length %d"
            % str.__len__(element)
        )
    return ord(element)


def unpad(content):
    n = _ord(_slice(content, len(content) - 1, None))
    return _slice(content, None, -n)


def aes_encrypt(content, key=None, mode=None):
    if not key:
        key = DEFAULT_KEY
    if not mode:
        mode = AES.MODE_ECB
    aes = AES.new(key.encode("utf-8"), mode)
    pad_content = pad(content).encode("utf-8")
    encrypt_content = aes.encrypt(pad_content)
    base64_content = base64.b64encode(encrypt_content).decode("utf-8")
    return base64_content


def aes_decrypt(base64_content, key=None, mode=None):
    if not key:
        key = DEFAULT_KEY
    if not mode:
        mode = AES.MODE_ECB
    aes = AES.new(key.encode("utf-8"), mode)
    encrypt_content = base64.b64decode(base64_content.encode("utf-8"))
    decrypt_content = aes.decrypt(encrypt_content)
    unpad_content = unpad(decrypt_content).decode("utf-8")
    return unpad_content


_MISSING = object()


def _import_from(module_name, *names):
    """``from module_name import names``, with the native module's error text."""
    module = __import__(module_name, None, None, names, 0)
    values = []
    for name in names:
        value = getattr(module, name, _MISSING)
        if value is _MISSING:
            raise ImportError("cannot import name %s" % name)
        values.append(value)
    return values


def _has_dept_count():
    # Presence is what counts; an error of any kind while fetching the
    # attribute (an unconfigured settings object, say) counts as absence.
    # Reading the global itself is not part of the test.
    target = settings
    try:
        target.DEPT_COUNT
    except BaseException:
        return False
    return True


def set_param_value(*args, **kwargs):
    set_param, SetParamValue = _import_from("mysite.base.models", "set_param_value", "SetParamValue")
    if _has_dept_count():
        set_param(*args, **kwargs)
    else:
        SetParamValue(*args, **kwargs)


def get_param_value(*args, **kwargs):
    get_param, GetParamValue = _import_from("mysite.base.models", "get_param_value", "GetParamValue")
    if _has_dept_count():
        value = get_param(*args, **kwargs)
    else:
        value = GetParamValue(*args, **kwargs)
    return value


def is_mac_address(address):
    if re.match(r"([0-9A-Fa-f]{2})(-[0-9A-Fa-f]{2}){5}", address):
        return True
    if re.match(r"([0-9A-Fa-f]{2})(:[0-9A-Fa-f]{2}){5}", address):
        return True
    return False


def get_mac4multiple_network_card():
    import psutil

    addrs = psutil.net_if_addrs()
    stats = psutil.net_if_stats()
    up_macs = []
    down_macs = []
    for name, addr_list in addrs.items():
        try:
            state = stats.get(name, None)
            target = up_macs if state and state.isup else down_macs
            for addr in addr_list:
                if is_mac_address(addr.address):
                    target.append(addr.address)
        except BaseException:
            # One unreadable adapter must not hide the others.
            logger.exception("Read Mac Error " + str(name) + ":" + str(addr_list))
    macs = up_macs + down_macs
    return macs


def get_mac4network_card():
    if NEW_MAC_DETECT:
        macs = get_mac4multiple_network_card()
        if macs:
            return macs[0].replace("-", "").replace(":", "").upper()
        return hex(uuid.getnode())[2:].upper()
    return uuid.uuid1().hex[-12:].upper()


def get_smbios_uuid():
    import subprocess, platform

    try:
        if platform.system() == "Linux":
            output = subprocess.check_output(["dmidecode", "-s", "system-uuid"])
            return output.decode("utf-8").strip().replace("-", "")
        elif platform.system() == "Windows":
            try:
                output = subprocess.check_output(
                    [
                        "powershell",
                        "-Command",
                        "Get-WmiObject -Class Win32_ComputerSystemProduct | Select-Object -ExpandProperty UUID",
                    ],
                    universal_newlines=True,
                )
            except BaseException:
                # Whatever stopped PowerShell, WMIC gets its turn.
                output = subprocess.check_output(["wmic", "csproduct", "get", "UUID"], universal_newlines=True)
            lines = output.strip().split("\n")
            system_uuid = lines[-1].strip()
            if system_uuid == "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF":
                return None
            return system_uuid.replace("-", "").upper()
        else:
            return None
    except subprocess.CalledProcessError as e:
        logger.exception(e)
        return None
    except Exception as e:
        logger.exception(e)
        return None


def get_machine_guid():
    import platform

    try:
        if platform.system() != "Windows":
            return None
        import winreg

        key_path = r"SOFTWARE\Microsoft\Cryptography"
        key = winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, key_path)
        machine_guid, _ = winreg.QueryValueEx(key, "MachineGuid")
        winreg.CloseKey(key)
        return machine_guid.replace("-", "").upper()
    except OSError:
        return None


def get_system_uuid():
    if FORCED_MAC:
        return "MAC", get_mac4network_card()
    system_uuid = get_smbios_uuid()
    category = "SMBIOS"
    if not system_uuid:
        system_uuid = get_machine_guid()
        category = "MachineGUID"
    if not system_uuid:
        system_uuid = get_mac4network_card()
        category = "MAC"
    return category, system_uuid
