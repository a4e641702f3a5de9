"""Views that call the native module as the application would.  Each answer
names the worker process that gave it, in the ``X-Worker`` header."""

import binascii
import gc
import os

from django.http import HttpRequest, HttpResponse, JsonResponse
from django.urls import path
from django.views.decorators.csrf import csrf_exempt

import mysite.core.vorlik as vorlik
from mysite.base.models import ParameterNotFound


def answer(response: HttpResponse) -> HttpResponse:
    response["X-Worker"] = str(os.getpid())
    return response


def reply(body: str, status: int = 200) -> HttpResponse:
    return answer(HttpResponse(body, status=status, content_type="text/plain; charset=utf-8"))


def cipher(request: HttpRequest) -> HttpResponse:
    """Encrypts ``text``, decrypts it again, and answers with the cipher text."""
    text = request.GET["text"]
    cipher_text = vorlik.aes_encrypt(text)
    if vorlik.aes_decrypt(cipher_text) != text:
        raise AssertionError(f"decrypting {cipher_text!r} did not give {text!r} back")
    return reply(cipher_text)


def decrypt(request: HttpRequest) -> HttpResponse:
    """Answers with ``text`` decrypted, or 400 for text that is not Base64."""
    try:
        plain = vorlik.aes_decrypt(request.GET["text"])
    except binascii.Error as error:
        return reply(f"not Base64: {error}", status=400)
    return reply(plain)


@csrf_exempt  # posted by the load's clients, which hold no CSRF cookie
def param(request: HttpRequest) -> HttpResponse:
    """POST ``name`` and ``value``: stores it through the bridge, then answers with
    what the bridge reads back.  GET ``name``: answers with its value, or 404."""
    if request.method == "POST":
        name = request.POST["name"]
        vorlik.set_param_value(name, request.POST["value"])
    else:
        name = request.GET["name"]
    try:
        value = vorlik.get_param_value(name)
    except ParameterNotFound as error:
        return reply(str(error), status=404)
    return reply(value)


def identity(request: HttpRequest) -> HttpResponse:
    category, identifier = vorlik.get_system_uuid()
    return answer(JsonResponse({"category": category, "identifier": identifier}))


def collect(request: HttpRequest) -> HttpResponse:
    """Runs a full garbage collection in the worker that answers: Django's session,
    authentication and message middleware leave each request in reference cycles,
    which only the cyclic collector frees, at times of its own."""
    return reply(f"collected {gc.collect()}")


urlpatterns = [
    path("cipher", cipher),
    path("decrypt", decrypt),
    path("param", param),
    path("identity", identity),
    path("collect", collect),
]
