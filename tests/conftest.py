import os

# The module reads the application's settings while it loads.
os.environ.setdefault("DJANGO_SETTINGS_MODULE", "mysite.settings")
