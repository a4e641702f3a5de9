"""Core services of the application; the native module ``vorlik`` lives here."""
