from django.apps import AppConfig
from django.core import checks


class BaseConfig(AppConfig):
    name = "mysite.base"
    label = "base"
    verbose_name = "Parameter store"
    default_auto_field = "django.db.models.BigAutoField"

    def ready(self):
        from mysite.core.checks import check_default_key, check_machine_identity
        from mysite.sqlite3.base import check_database_file_mode

        # Deployment only: the identity starts programs, an ordinary check must not.
        checks.register(check_machine_identity, "vorlik", deploy=True)
        checks.register(check_default_key, "vorlik", deploy=True)
        checks.register(check_database_file_mode, checks.Tags.security, deploy=True)
