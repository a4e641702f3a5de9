from django.apps import AppConfig


class BaseConfig(AppConfig):
    name = "mysite.base"
    label = "base"
    verbose_name = "Base"
    default_auto_field = "django.db.models.BigAutoField"
