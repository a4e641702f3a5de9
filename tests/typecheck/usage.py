# Checked by mypy against the module's stubs: every line here must pass.
import mysite.core.vorlik as vorlik

token: str = vorlik.aes_encrypt("text", key="k" * 16, mode=vorlik.AES.MODE_ECB)
plain: str = vorlik.aes_decrypt(token)
padded: str = vorlik.pad(plain)
raw: bytes = vorlik.unpad(padded.encode())
text: str = vorlik.unpad(padded)
vorlik.set_param_value("name", "value")
value = vorlik.get_param_value("name")
addresses: list[str] = vorlik.get_mac4multiple_network_card()
accepted: bool = vorlik.is_mac_address(addresses[0] if addresses else "")
identifier: str = vorlik.get_mac4network_card()
firmware: str | None = vorlik.get_smbios_uuid()
category, machine = vorlik.get_system_uuid()
size: int = vorlik.BLOCK_SIZE
vorlik.logger.info("%s %s", category, machine)
