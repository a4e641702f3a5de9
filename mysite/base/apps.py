from django.apps import AppConfig
from django.core import checks


class BaseConfig(AppConfig):
    name = "mysite.base"
    label = "base"
    verbose_name = "Parameter store"
    default_auto_field = "django.db.models.BigAutoField"

    def ready(self):
        from mysite.base.servers import check_identity_and_servers
        from mysite.core.checks import check_default_key
        from mysite.core.terminal import printable_checks
        from mysite.sqlite3.base import check_database_file_mode

        # Deployment only: the identity starts programs, an ordinary check must not.
        # The identity check, then the server registry's, which records the identity it read.
        # Their messages quote what programs printed: shown with control characters escaped.
        checks.register(printable_checks(check_identity_and_servers), "vorlik", deploy=True)
        checks.register(printable_checks(check_default_key), "vorlik", deploy=True)
        checks.register(check_database_file_mode, checks.Tags.security, deploy=True)
