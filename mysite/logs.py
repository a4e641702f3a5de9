"""How the application's log records are written (the LOGGING setting)."""

import logging

from mysite.core.identity import record_line


class OneLineFormatter(logging.Formatter):
    """A record on one line, gunicorn's way: a failure as its exception's own line (``dmidecode not
    found``), its traceback only when ``tracebacks`` is true, so that a failing firmware program is one
    line in a serving process's log rather than a traceback."""

    def __init__(self, format="[%(asctime)s] [%(process)d] [%(levelname)s] %(name)s: %(message)s",
                 datefmt="%Y-%m-%d %H:%M:%S %z", tracebacks=False):
        super().__init__(format, datefmt)
        self.tracebacks = tracebacks

    def format(self, record: logging.LogRecord) -> str:
        if self.tracebacks or not record.exc_info:
            return super().format(record)
        line, _ = record_line(record)
        return super().format(logging.makeLogRecord({**record.__dict__, "msg": line, "args": None,
                                                     "exc_info": None, "exc_text": None, "stack_info": None}))
