"""Settings and views of the server that the load test and ``python -m bench.load``
send their traffic to.  They belong to the tests, not to the application."""
