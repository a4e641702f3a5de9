"""The machine identity report: the identity, what each source answered or
why it gave nothing, and what their programs wrote.  ``manage.py vorlik
identity`` renders it as text or JSON, the operators' console as a page.

Nothing here loads the native module or reads settings at import.
"""

import importlib
import platform
from dataclasses import asdict, dataclass, field
from typing import Any

from mysite.core.identity import Notes, Reading, observe, read_within_bound

NOT_ASKED_FORCED = "not asked: FORCED_MAC is set"


@dataclass
class SourceReport(Notes):
    value: object = None
    asked: bool = True
    addresses: list[dict] | None = None

    def lines(self) -> list[str]:
        """The answer, then the notes; a source that gave nothing says so first."""
        lines = ([str(self.value)] if self.value else []) + self.notes
        if not self.value and self.asked:
            lines[0:1] = [f"no answer: {lines[0]}" if lines else "no answer"]
        return lines

    def as_dict(self, tracebacks: bool) -> dict:
        item = {"asked": self.asked, "value": self.value, "notes": self.notes, "stderr": self.stderr}
        if tracebacks:
            item["tracebacks"] = self.tracebacks
        if self.addresses is not None:
            item["addresses"] = self.addresses
        return item


@dataclass
class IdentityReport:
    category: Any
    identifier: Any
    forced_mac: bool
    sources: dict[str, SourceReport] = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)  # what reading the identity itself logged

    def as_dict(self, tracebacks: bool = False) -> dict:
        """The JSON object of ``manage.py vorlik identity --json`` (``--verbose`` adds the tracebacks)."""
        return {
            "category": self.category,
            "identifier": self.identifier,
            "forced_mac": self.forced_mac,
            "sources": {name: report.as_dict(tracebacks) for name, report in self.sources.items()},
        }


def annotate_addresses(addresses: list[str]) -> list[dict]:
    """Pair each listed address with its adapter and state, as psutil sees them now."""
    import psutil

    stats = psutil.net_if_stats()
    entries = []
    for name, addrs in psutil.net_if_addrs().items():
        state = stats.get(name)
        up = bool(state and state.isup)
        entries.extend((addr.address, name, up) for addr in addrs)
    # The list holds the addresses of adapters that are up first.
    entries.sort(key=lambda entry: not entry[2])
    annotated = []
    for address in addresses:
        match = next((entry for entry in entries if entry[0] == address), None)
        if match is not None:
            entries.remove(match)
        annotated.append(
            {
                "address": address,
                "adapter": match[1] if match else None,
                "up": match[2] if match else None,
            }
        )
    return annotated


def ask(vorlik, function, reading: Reading | None = None) -> SourceReport:
    """One source's answer, with what it logged and, within a reading, why its programs failed."""
    report = SourceReport()
    report.value = observe(vorlik.logger, function, report, reading)
    return report


def _explain_smbios(report: SourceReport) -> None:
    if report.value == "":
        report.note("the SMBIOS program printed nothing")
    elif report.value is None and not report.notes:
        system = platform.system()
        if system == "Windows":
            report.note("the firmware reports no usable UUID (all F)")
        elif system != "Linux":
            report.note(f"not queried on {system or 'this system'}: only on Linux and Windows")


def _mac_source(vorlik, reading: Reading) -> SourceReport:
    report = ask(vorlik, vorlik.get_mac4network_card, reading)
    if not vorlik.NEW_MAC_DETECT:
        report.note("psutil is not installed: the identifier comes from a time-based UUID")
        report.addresses = []
        return report
    addresses = observe(vorlik.logger, vorlik.get_mac4multiple_network_card, report, reading)
    report.addresses = annotate_addresses(addresses)
    if not report.addresses:
        report.note("no adapter address listed: the identifier is the uuid module's node number")
    elif isinstance(report.value, str) and report.value and not report.value.strip("0"):
        report.note("all-zero address (a loopback adapter's): the same on every machine, not unique")
    return report


def identity_report() -> IdentityReport:
    """Read the machine identity now, then ask each of its sources on its own.

    Read within the bound of ``read_within_bound``, and shared with the other threads that ask
    meanwhile. Raises ``ReadingFailed`` for what the reading raised (the native module not
    loading among them), or when it did not end in time.
    """
    return read_within_bound(read_identity_report)


def read_identity_report(reading: Reading) -> IdentityReport:
    """``identity_report`` read in this thread as ``reading``."""
    vorlik = importlib.import_module("mysite.core.vorlik")
    seen = Notes()
    category, identifier = observe(vorlik.logger, vorlik.get_system_uuid, seen, reading)
    forced = bool(vorlik.FORCED_MAC)
    if forced:
        smbios = SourceReport(asked=False, notes=[NOT_ASKED_FORCED])
        guid = SourceReport(asked=False, notes=[NOT_ASKED_FORCED])
    else:
        # Past the deadline its program did not answer: what it did for the identity stands for the source.
        if reading.past_deadline():
            smbios = SourceReport(**asdict(seen))
        else:
            smbios = ask(vorlik, vorlik.get_smbios_uuid, reading)
        _explain_smbios(smbios)
        guid = ask(vorlik, vorlik.get_machine_guid, reading)
        if guid.value is None:
            guid.note(
                "exists on Windows only"
                if platform.system() != "Windows"
                else "the registry value MachineGuid could not be read"
            )
    sources = {"SMBIOS": smbios, "MachineGUID": guid, "MAC": _mac_source(vorlik, reading)}
    return IdentityReport(category, identifier, forced, sources, seen.notes)
