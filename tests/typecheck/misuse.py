# Checked by mypy against the module's stubs: every marked line must fail.
import mysite.core.vorlik as vorlik

vorlik.pad(b"bytes")  # E: pad takes text
vorlik.aes_encrypt("text", key=b"k" * 16)  # E: the key is text
vorlik.get_smbios_uuid(1)  # E: no arguments
identifier: int = vorlik.get_mac4network_card()  # E: the identifier is text
guid: str = vorlik.get_machine_guid()  # E: may be None
