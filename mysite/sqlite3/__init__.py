"""Django's SQLite backend, with the database file for its owner only."""
