"""The parameter store in the operators' console (Django's admin)."""

from django import forms
from django.contrib import admin
from django.contrib.admin.utils import get_fields_from_path
from django.core.exceptions import ValidationError
from django.utils.text import Truncator

from mysite.base.lookalikes import name_problems
from mysite.base.models import DEFAULT_DEPT, Parameter, check_fields

SHOWN_VALUE_LENGTH = 80


class StoreText(forms.CharField):
    """Text handed to the model as typed: the model's validation refuses what
    the store refuses, with the store's reasons, so the form adds no checks of
    its own (not even "required", which browsers would enforce first)."""

    def __init__(self, **kwargs):
        super().__init__(required=False, strip=False, **kwargs)
        self.validators = []


class ParameterForm(forms.ModelForm):
    dept = forms.IntegerField(label="Department", initial=DEFAULT_DEPT)
    name = StoreText(widget=forms.TextInput(attrs={"size": 60}))
    value = StoreText(widget=forms.Textarea)

    class Meta:
        model = Parameter
        fields = ["dept", "name", "value"]

    def clean_name(self):
        """A new name (or a parameter moved to another) must not pass for one already stored."""
        name, dept = self.cleaned_data["name"], self.cleaned_data.get("dept")
        try:
            check_fields(name=name, dept=dept)
        except (TypeError, ValueError):
            return name  # the model gives the store's reason
        if self.instance.pk is not None and (dept, name) == (self.instance.dept, self.instance.name):
            return name
        stored = Parameter.objects.filter(dept=dept).exclude(pk=self.instance.pk).values_list("name", flat=True)
        problems = name_problems(name, stored)
        if problems:
            raise ValidationError(problems)
        return name


@admin.register(Parameter)
class ParameterAdmin(admin.ModelAdmin):
    form = ParameterForm
    list_display = ["dept", "name", "shown_value"]
    list_display_links = ["name"]
    list_filter = ["dept"]
    search_fields = ["name", "value"]
    ordering = ["dept", "name"]

    def lookup_allowed(self, lookup, value, request=None):
        # Only what the list's filters ask for: the admin hands any other lookup
        # to the queryset as typed (value__regex=..., a regular expression run on
        # the server's behalf, or a 500); a refused one is answered with 400.
        return lookup in self.filter_lookups(request)

    def filter_lookups(self, request) -> set[str]:
        """The query-string parameters of the list's filters (list_filter names fields)."""
        lookups = set()
        for path in self.get_list_filter(request):
            field = get_fields_from_path(self.model, path)[-1]
            spec = admin.FieldListFilter.create(field, request, {}, self.model, self, field_path=path)
            lookups.update(spec.expected_parameters())
        return lookups

    @admin.display(description="value", ordering="value")
    def shown_value(self, parameter: Parameter) -> str:
        return Truncator(parameter.value).chars(SHOWN_VALUE_LENGTH)


admin.site.site_header = admin.site.site_title = "mysite operators' console"
admin.site.site_url = None  # the application has no pages of its own to link
# The index links the machine identity page for those who may open it.
admin.site.index_template = "admin/base/index.html"
