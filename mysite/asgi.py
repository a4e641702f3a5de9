"""ASGI entry of the application, for asynchronous servers: ``mysite.asgi:application``.

Uses ``mysite.settings`` unless DJANGO_SETTINGS_MODULE names other settings,
and needs MYSITE_SECRET_KEY unless MYSITE_DEBUG=1.
"""

import asyncio

from django.core.asgi import get_asgi_application

from mysite.core.identity import stop_unfinished_readings
from mysite.serving import served

django_application = served(get_asgi_application)


async def application(scope, receive, send):
    """Django's application, and the lifespan protocol, which Django does not speak: at a graceful
    stop the identity readings' programs are stopped here, since servers such as uvicorn end the
    process by the signal they were stopped with, so that Python's exit handlers do not run."""
    if scope["type"] != "lifespan":
        return await django_application(scope, receive, send)
    while True:
        message = await receive()
        if message["type"] == "lifespan.startup":
            await send({"type": "lifespan.startup.complete"})
        elif message["type"] == "lifespan.shutdown":
            await asyncio.to_thread(stop_unfinished_readings)
            await send({"type": "lifespan.shutdown.complete"})
            return
