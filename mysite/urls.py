"""The application's URLs: the operators' console (Django's admin) at
``/admin/``, with the machine identity and servers pages inside it."""

from django.contrib import admin
from django.urls import URLPattern, URLResolver, path

from mysite.base.views import installation_servers, machine_identity

urlpatterns: list[URLPattern | URLResolver] = [
    # admin_view sends visitors who are not signed-in staff to the login page.
    path("admin/identity/", admin.site.admin_view(machine_identity), name="machine-identity"),
    path("admin/servers/", admin.site.admin_view(installation_servers), name="servers"),
    path("admin/", admin.site.urls),
]
