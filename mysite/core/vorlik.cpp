// Entry of the module: its loading into the interpreter, the globals bound at
// load, the table of its functions, and the bridge to the application's
// parameter store.
#include <algorithm>
#include <cstdint>
#include <new>
#include <string_view>

#include "frame.hpp"
#include "kernels.hpp"

namespace vorlik {

// This unit's own texts (internal linkage, beside the shared ones).
namespace names {
static Constant content{"content"}, key{"key"}, mode{"mode"}, base64_content{"base64_content"},
    address{"address"};
static Constant django_conf{"django.conf"}, crypto_cipher{"Crypto.Cipher"}, getLogger{"getLogger"},
    block_size{"block_size"}, full_name{module_name};
static Constant mysite_base_models{"mysite.base.models"}, DEPT_COUNT{"DEPT_COUNT"},
    set_param_value{"set_param_value"}, SetParamValue{"SetParamValue"},
    get_param_value{"get_param_value"}, GetParamValue{"GetParamValue"};
static Constant ImportError{Constant::Builtin{"ImportError"}},
    AttributeError{Constant::Builtin{"AttributeError"}};

static Constant from_settings{+[] { return PyTuple_Pack(1, settings.get()); }};
static Constant from_AES{+[] { return PyTuple_Pack(1, AES.get()); }};
static Constant from_models_set{
    +[] { return PyTuple_Pack(2, set_param_value.get(), SetParamValue.get()); }};
static Constant from_models_get{
    +[] { return PyTuple_Pack(2, get_param_value.get(), GetParamValue.get()); }};
}  // namespace names

namespace {

// Loading binds process-wide state: the module is made once per process and
// only in the first interpreter that loads it.
std::int64_t first_interpreter = -1;
PyObject* the_module = nullptr;
bool constants_made = false;

// ---- The parameter bridge ------------------------------------------------

// Imports both functions of a pair, then calls the application's first set
// when its settings define DEPT_COUNT, else its second.
Ref forward_to_parameter_store(Globals globals, const Arguments& arguments, PyObject* fromlist,
                               PyObject* first_name, PyObject* second_name) {
    Ref models = globals.import(names::mysite_base_models, fromlist);
    Ref first = import_from(models.get(), first_name);
    Ref second = import_from(models.get(), second_name);
    Ref settings = globals.get(names::settings);
    Ref dept_count = attribute_or_null(settings.get(), names::DEPT_COUNT);
    // Any failure to fetch the setting, not only AttributeError, means absent.
    if (!dept_count) PyErr_Clear();
    PyObject* callee = dept_count ? first.get() : second.get();
    return vectorcall(callee, arguments.args, static_cast<std::size_t>(arguments.nargs),
                      arguments.kwnames);
}

}  // namespace

Ref set_param_value(Globals globals, const Arguments& arguments) {
    forward_to_parameter_store(globals, arguments, names::from_models_set, names::set_param_value,
                               names::SetParamValue);
    return Ref::borrow(Py_None);
}

Ref get_param_value(Globals globals, const Arguments& arguments) {
    return forward_to_parameter_store(globals, arguments, names::from_models_get,
                                      names::get_param_value, names::GetParamValue);
}

namespace {

// ---- The function table --------------------------------------------------

constexpr const Constant* one_content[] = {&names::content};
constexpr const Constant* cipher_params[] = {&names::content, &names::key, &names::mode};
constexpr const Constant* decipher_params[] = {&names::base64_content, &names::key, &names::mode};
constexpr const Constant* one_address[] = {&names::address};

constexpr Signature none{Signature::Kind::none};
constexpr Signature any{Signature::Kind::any};

struct Function {
    const char* qualified_name;  // the module's name, a dot, the function's name
    Signature signature;
    Implementation implementation;
    const char* doc;
};

constexpr Function table[] = {
    {"mysite.core.vorlik.pad",
     {Signature::Kind::fixed, one_content, 1},
     pad,
     "pad(content)\n--\n\nAppend the block padding to a text."},
    {"mysite.core.vorlik.unpad",
     {Signature::Kind::fixed, one_content, 1},
     unpad,
     "unpad(content)\n--\n\nRemove the block padding from a text or bytes."},
    {"mysite.core.vorlik.aes_encrypt",
     {Signature::Kind::fixed, cipher_params, 1},
     aes_encrypt,
     "aes_encrypt(content, key=None, mode=None)\n--\n\n"
     "Encrypt a text; returns the cipher text as Base64 text."},
    {"mysite.core.vorlik.aes_decrypt",
     {Signature::Kind::fixed, decipher_params, 1},
     aes_decrypt,
     "aes_decrypt(base64_content, key=None, mode=None)\n--\n\n"
     "Decrypt a Base64 cipher text made by aes_encrypt."},
    {"mysite.core.vorlik.set_param_value", any, set_param_value,
     "Store a parameter through the application's parameter functions; returns None."},
    {"mysite.core.vorlik.get_param_value", any, get_param_value,
     "Read a parameter through the application's parameter functions."},
    {"mysite.core.vorlik.is_mac_address",
     {Signature::Kind::fixed, one_address, 1},
     is_mac_address,
     "is_mac_address(address)\n--\n\n"
     "Whether a text begins with six hexadecimal pairs joined by '-' or ':'."},
    {"mysite.core.vorlik.get_mac4multiple_network_card", none, get_mac4multiple_network_card,
     "get_mac4multiple_network_card()\n--\n\n"
     "The MAC addresses of the network adapters, those that are up first."},
    {"mysite.core.vorlik.get_mac4network_card", none, get_mac4network_card,
     "get_mac4network_card()\n--\n\nOne adapter identifier: upper-case hexadecimal digits."},
    {"mysite.core.vorlik.get_smbios_uuid", none, get_smbios_uuid,
     "get_smbios_uuid()\n--\n\nThe firmware's system UUID without hyphens, or None."},
    {"mysite.core.vorlik.get_machine_guid", none, get_machine_guid,
     "get_machine_guid()\n--\n\nThe Windows machine GUID without hyphens, or None."},
    {"mysite.core.vorlik.get_system_uuid", none, get_system_uuid,
     "get_system_uuid()\n--\n\n"
     "The machine identity: (category, identifier), category one of "
     "'SMBIOS', 'MachineGUID' and 'MAC'."},
};
constexpr std::size_t function_count = std::size(table);

constexpr const char* name_of(const Function& function) {
    return function.qualified_name + sizeof module_name;
}

constexpr bool qualified_by_module(const Function& function) {
    const std::string_view name(function.qualified_name);
    return name.starts_with(module_name) && name[sizeof module_name - 1] == '.';
}
static_assert(std::ranges::all_of(table, qualified_by_module));

template <std::size_t index>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    Globals globals(module);
    return at_boundary(
        [=] {
            Arguments arguments{args, nargs, kwnames};
            parse_arguments(name_of(table[index]), table[index].signature, arguments);
            return table[index].implementation(globals, arguments).release();
        },
        [=](const std::source_location& where) -> PyObject* {
            add_traceback(table[index].qualified_name, where, globals.dict());
            return nullptr;
        });
}

template <std::size_t... index>
auto method_definitions(std::index_sequence<index...>) {
    return std::array<PyMethodDef, sizeof...(index)>{
        PyMethodDef{name_of(table[index]),
                    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<index>)),
                    METH_FASTCALL | METH_KEYWORDS, table[index].doc}...};
}
std::array<PyMethodDef, function_count> methods =
    method_definitions(std::make_index_sequence<function_count>());

// ---- Loading -------------------------------------------------------------

// Copies a module spec attribute into the module dictionary; only
// AttributeError counts as the attribute being absent.
void copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                         bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorAlready();
        PyErr_Clear();
        return;
    }
    if (allow_none || value.get() != Py_None) check(PyDict_SetItemString(dict, to, value.get()));
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
    return at_boundary(
        [&] {
            std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
            if (current == -1) throw PyErrorAlready();
            if (first_interpreter == -1) {
                first_interpreter = current;
            } else if (first_interpreter != current) {
                PyErr_SetString(PyExc_ImportError,
                                "Interpreter change detected - this module can only be loaded into "
                                "one interpreter per process.");
                throw PyErrorAlready();
            }
            if (the_module != nullptr) {
                // The import system gives the module this spec but keeps its
                // __loader__, which should be the spec's (3.15 warns otherwise).
                copy_spec_attribute(spec, PyModule_GetDict(the_module), "loader", "__loader__",
                                    true);
                return Ref::borrow(the_module).release();
            }

            Ref name = check(PyObject_GetAttrString(spec, "name"));
            Ref module = check(PyModule_NewObject(name.get()));
            PyObject* dict = PyModule_GetDict(module.get());
            copy_spec_attribute(spec, dict, "loader", "__loader__", true);
            copy_spec_attribute(spec, dict, "origin", "__file__", true);
            copy_spec_attribute(spec, dict, "parent", "__package__", true);
            copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false);
            return module.release();
        },
        [](const std::source_location&) -> PyObject* { return nullptr; });
}

// The module is built for one interpreter version (major.minor: their
// releases share a binary interface); running on another one warns.
void warn_on_version_change() {
    const unsigned long runtime_major = (Py_Version >> 24) & 0xFF;
    const unsigned long runtime_minor = (Py_Version >> 16) & 0xFF;
    if (runtime_major == PY_MAJOR_VERSION && runtime_minor == PY_MINOR_VERSION) return;
    check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                           "compile time Python version %d.%d of module '%.100s' %s runtime "
                           "version %lu.%lu",
                           PY_MAJOR_VERSION, PY_MINOR_VERSION, module_name, "does not match",
                           runtime_major, runtime_minor));
}

void register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemWithError(modules, names::full_name) == nullptr) {
        if (PyErr_Occurred()) throw PyErrorAlready();
        check(PyDict_SetItem(modules, names::full_name, module));
    }
}

// The module body: the globals in their documented order, then the functions.
void run_module_body(PyObject* module, Globals globals) {
    globals.set(names::logging, globals.import(names::logging).get());
    globals.set(names::re, globals.import(names::re).get());
    {
        Ref conf = globals.import(names::django_conf, names::from_settings);
        globals.set(names::settings, import_from(conf.get(), names::settings).get());
    }
    globals.set(names::uuid, globals.import(names::uuid).get());
    globals.set(names::base64, globals.import(names::base64).get());
    {
        Ref cipher = globals.import(names::crypto_cipher, names::from_AES);
        globals.set(names::AES, import_from(cipher.get(), names::AES).get());
    }

    Ref psutil = Ref::steal(
        PyImport_ImportModuleLevelObject(names::psutil, globals.dict(), nullptr, nullptr, 0));
    if (psutil) {
        globals.set(names::psutil, psutil.get());
    } else if (pending(names::ImportError)) {
        PyErr_Clear();
    } else {
        throw PyErrorAlready();
    }
    globals.set(names::MAC_BY_UUID, psutil ? Py_False : Py_True);
    globals.set(names::NEW_MAC_DETECT, psutil ? Py_True : Py_False);

    {
        Ref logging = globals.get(names::logging);
        Ref get_logger = attribute(logging, names::getLogger);
        globals.set(names::logger, call(get_logger, names::full_name).get());
    }
    {
        Ref aes = globals.get(names::AES);
        globals.set(names::BLOCK_SIZE, attribute(aes, names::block_size).get());
    }
    {
        Ref settings = globals.get(names::settings);
        Ref forced = attribute_or_null(settings.get(), names::FORCED_MAC);
        if (!forced) {
            if (!pending(names::AttributeError)) throw PyErrorAlready();
            PyErr_Clear();
            forced = Ref::borrow(Py_False);
        }
        globals.set(names::FORCED_MAC, forced.get());
    }

    for (PyMethodDef& method : methods) {
        Ref function = check(PyCMethod_New(&method, module, names::full_name, nullptr));
        check(PyDict_SetItemString(globals.dict(), method.ml_name, function.get()));
    }
    Constant::remember_originals(globals.dict());
}

int exec_module(PyObject* module) noexcept {
    if (the_module != nullptr) {
        if (the_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'vorlik' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    the_module = Ref::borrow(module).release();
    Globals globals(module);
    return at_boundary(
        [&] {
            {
                Ref builtins = check(PyImport_ImportModule("builtins"));
                check(PyDict_SetItemString(globals.dict(), "__builtins__", builtins.get()));
            }
            warn_on_version_change();
            kernels::choose();
            Constant::make_texts();
            constants_made = true;
            register_in_sys_modules(module);
            Constant::resolve_builtins();
            Constant::make_composites();
            run_module_body(module, globals);
            watch_for_exit();
            return 0;
        },
        [&](const std::source_location& where) {
            // A failed load leaves nothing behind, so that the next import starts over.
            if (constants_made) add_traceback("init mysite.core.vorlik", where, globals.dict());
            Constant::release_all();
            constants_made = false;
            Py_CLEAR(the_module);
            return -1;
        });
}

auto slots = compat::module_slots(create_module, exec_module);

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "vorlik",
    "Text cipher, parameter bridge and machine identity of the application.",
    0,
    nullptr,
    slots.data(),
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vorlik

PyMODINIT_FUNC PyInit_vorlik() { return PyModuleDef_Init(&vorlik::definition); }
