"""The application's URLs: the operators' console (Django's admin) at
``/admin/``, with the machine identity page inside it."""

from django.contrib import admin
from django.urls import URLPattern, URLResolver, path

from mysite.base.views import machine_identity

urlpatterns: list[URLPattern | URLResolver] = [
    # admin_view sends visitors who are not signed-in staff to the login page.
    path("admin/identity/", admin.site.admin_view(machine_identity), name="machine-identity"),
    path("admin/", admin.site.urls),
]
