"""The application's base app: its store of named text parameters."""
