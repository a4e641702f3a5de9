"""The host web application around the native module ``mysite.core.vorlik``."""
