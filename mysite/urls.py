"""The application's URLs.  It serves no pages of its own yet, so every path
answers 404; a deployment adds its views here."""

from django.urls import URLPattern, URLResolver

urlpatterns: list[URLPattern | URLResolver] = []
