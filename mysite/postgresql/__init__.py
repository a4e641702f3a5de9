"""Django's PostgreSQL backend with every wait for the server bounded (see ``base``)."""
