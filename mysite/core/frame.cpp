#include "frame.hpp"

#include <frameobject.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <new>
#include <string_view>
#include <thread>
#include <tuple>

namespace vorlik {

namespace names {
Constant logging{"logging"}, re{"re"}, settings{"settings"}, uuid{"uuid"}, base64{"base64"},
    AES{"AES"}, psutil{"psutil"}, MAC_BY_UUID{"MAC_BY_UUID"}, NEW_MAC_DETECT{"NEW_MAC_DETECT"},
    logger{"logger"}, BLOCK_SIZE{"BLOCK_SIZE"}, FORCED_MAC{"FORCED_MAC"};
Constant pad{"pad"}, unpad{"unpad"}, is_mac_address{"is_mac_address"},
    get_mac4multiple_network_card{"get_mac4multiple_network_card"},
    get_mac4network_card{"get_mac4network_card"}, get_smbios_uuid{"get_smbios_uuid"},
    get_machine_guid{"get_machine_guid"};
Constant encode{"encode"}, decode{"decode"}, utf_8{"utf-8"}, replace{"replace"}, upper{"upper"},
    exception{"exception"}, get{"get"}, strip{"strip"}, hyphen{"-"}, empty{""};
}  // namespace names

namespace {

// The builtins module, held while the constants are.
PyObject* builtins_module = nullptr;

Constant dunder_name{"__name__"}, dunder_path{"__path__"}, dunder_getattr{"__getattr__"},
    dunder_spec{"__spec__"}, initializing_flag{"_initializing"};

}  // namespace

template <class Each>
void Constant::for_each(Kind kind, Each each) {
    for (Constant* constant = registry_; constant != nullptr; constant = constant->next_) {
        if (constant->kind_ == kind) each(*constant);
    }
}

void Constant::make_texts() {
    for_each(Kind::text, [](Constant& constant) {
        constant.object_ = check(PyUnicode_InternFromString(constant.text_)).release();
    });
}

void Constant::resolve_builtins() {
    builtins_module = check(PyImport_ImportModule("builtins")).release();
    PyObject* dict = PyModule_GetDict(builtins_module);
    for_each(Kind::builtin, [dict](Constant& constant) {
        Ref name = check(PyUnicode_InternFromString(constant.text_));
        PyObject* found = PyDict_GetItemWithError(dict, name.get());
        if (found == nullptr) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
            throw PyErrorAlready();
        }
        constant.object_ = Ref::borrow(found).release();
    });
}

void Constant::make_composites() {
    for_each(Kind::composite,
             [](Constant& constant) { constant.object_ = check(constant.make_()).release(); });
}

void Constant::remember_originals(PyObject* globals) {
    for_each(Kind::original, [globals](Constant& constant) {
        Ref value = Ref::borrow(PyDict_GetItemString(globals, constant.text_));
        if (!value) return;
        if (constant.attribute_ == nullptr) {
            constant.object_ = value.release();
            return;
        }
        constant.object_ = PyObject_GetAttrString(value.get(), constant.attribute_);
        if (constant.object_ == nullptr) {
            // Without the attribute, the native path stays off.
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorAlready();
            PyErr_Clear();
        }
    });
}

void Constant::release_all() noexcept {
    for (Constant* constant = registry_; constant != nullptr; constant = constant->next_) {
        Py_CLEAR(constant->object_);
    }
    Py_CLEAR(builtins_module);
}

void wait_for_exit() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

std::atomic<bool> before_exit{false};

namespace {

PyObject* mark_exit(PyObject*, PyObject*) noexcept {
    before_exit.store(false);
    Py_RETURN_NONE;
}

PyMethodDef exit_watch = {"mysite.core.vorlik.exit_watch", mark_exit, METH_NOARGS, nullptr};

Constant threading{"threading"}, register_atexit{"_register_atexit"},
    shutting_down{"_SHUTTING_DOWN"};

}  // namespace

// The threading module's exit functions run first of all the interpreter's
// exit steps, and it refuses a new one once they have begun; its flag, read
// after registering, tells whether the registration came too late.
void watch_for_exit() {
    if constexpr (!compat::unwinds_at_exit) return;
    Ref module = check(PyImport_Import(threading));
    Ref mark = check(PyCFunction_New(&exit_watch, nullptr));
    if (!Ref::steal(PyObject_CallMethodOneArg(module.get(), register_atexit, mark.get()))) {
        if (!PyErr_ExceptionMatches(PyExc_RuntimeError) &&
            !PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw PyErrorAlready();
        }
        PyErr_Clear();  // exiting already, or no such hook: every frame asks
        return;
    }
    if (!truth(attribute(module, shutting_down))) before_exit.store(true);
}

Ref Globals::builtin(PyObject* name, std::source_location where) {
    if (Ref value = lookup(PyModule_GetDict(builtins_module), name, where)) return value;
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw PyErrorAlready(where);
}

namespace {

// sys.modules[name] when the import system would hand back just that: a plain
// module that is not being initialised and (for a from-list) no package whose
// submodules the list might name. It reads what the import system reads, in
// its order, and holds each; an error the import system would raise is
// thrown. Null when the import system must decide.
Ref already_imported(PyObject* name, bool from_list, std::source_location where) {
    PyObject* modules = PyImport_GetModuleDict();
    if (!PyDict_CheckExact(modules)) return {};
    Ref module = lookup(modules, name, where);
    if (!module || !PyModule_CheckExact(module.get())) return {};
    if (!from_list && PyUnicode_FindChar(name, '.', 0, PyUnicode_GET_LENGTH(name), 1) != -1) {
        return {};
    }
    PyObject* dict = PyModule_GetDict(module.get());  // owned by the module, which is held
    Ref spec = lookup(dict, dunder_spec, where);
    if (!spec) return {};
    if (spec.get() != Py_None) {
        Ref initializing = attribute_or_null(spec.get(), initializing_flag);
        int busy = initializing ? PyObject_IsTrue(initializing.get()) : -1;
        if (busy < 0) {
            // No flag means no; how another failure counts depends on the version.
            if (initializing || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
                if (compat::import_fails_on_spec_errors) throw PyErrorAlready(where);
            }
            PyErr_Clear();
            busy = 0;
        }
        if (busy > 0) return {};
    }
    // A changed entry is the import system's to import afresh.
    if (compat::import_looks_up_again() && lookup(modules, name, where).get() != module.get()) {
        return {};
    }
    if (from_list && (lookup(dict, dunder_path, where) || lookup(dict, dunder_getattr, where))) {
        return {};
    }
    return module;
}

}  // namespace

Ref Globals::import(PyObject* name, PyObject* fromlist, std::source_location where) const {
    if (Ref module = already_imported(name, fromlist != nullptr, where)) return module;
    return check(PyImport_ImportModuleLevelObject(name, dict_, nullptr, fromlist, 0), where);
}

Ref import_from(PyObject* module, PyObject* name, std::source_location where) {
    if (Ref value = attribute_or_null(module, name)) return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorAlready(where);
    PyErr_Clear();
    // A submodule that is still being imported is in sys.modules only.
    Ref module_name = attribute({module, where}, dunder_name);
    Ref full_name = check(PyUnicode_FromFormat("%S.%S", module_name.get(), name), where);
    if (Ref value = Ref::steal(PyImport_GetModule(full_name.get()))) return value;
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    throw PyErrorAlready(where);
}

Ref next_item(PyObject* iterator, std::source_location where) {
    Ref item = Ref::steal(PyIter_Next(iterator));
    if (!item && PyErr_Occurred()) throw PyErrorAlready(where);
    return item;
}

std::pair<Ref, Ref> unpack_pair(PyObject* value, std::source_location where) {
    if ((PyTuple_CheckExact(value) || PyList_CheckExact(value)) &&
        PySequence_Fast_GET_SIZE(value) == 2) {
        PyObject** items = PySequence_Fast_ITEMS(value);
        return {Ref::borrow(items[0]), Ref::borrow(items[1])};
    }
    Ref iterator = Ref::steal(PyObject_GetIter(value));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr &&
            !PySequence_Check(value)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value)->tp_name);
        }
        throw PyErrorAlready(where);
    }
    Ref first = next_item(iterator.get(), where);
    Ref second = first ? next_item(iterator.get(), where) : Ref();
    if (!second) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                     first ? 1 : 0);
        throw PyErrorAlready(where);
    }
    if (next_item(iterator.get(), where)) {
        if (compat::unpack_counts_items &&
            (PyList_CheckExact(value) || PyTuple_CheckExact(value) || PyDict_CheckExact(value))) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)",
                         PyDict_CheckExact(value) ? PyDict_Size(value) : Py_SIZE(value));
        } else {
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        }
        throw PyErrorAlready(where);
    }
    return {std::move(first), std::move(second)};
}

namespace {

bool all_exception_classes(PyObject* types) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(types); ++i) {
        if (!PyExceptionClass_Check(PyTuple_GET_ITEM(types, i))) return false;
    }
    return true;
}

}  // namespace

Handling::Handling(const PyErrorAlready& error)
    : where_(error.where()),
      exception_(compat::take_raised()),
      state_(PyThreadState_Get()->exc_info),
      previous_(std::exchange(state_->exc_value, exception_)) {}

Handling::~Handling() {
    // Left as it is when the unwinding at exit passes, which holds no lock.
    if (!holds_the_lock()) return;
    Ref handled = Ref::steal(std::exchange(state_->exc_value, previous_));
}

bool Handling::matches(PyObject* type) const {
    const bool valid =
        PyTuple_Check(type) ? all_exception_classes(type) : PyExceptionClass_Check(type);
    if (!valid) {
        PyErr_SetString(PyExc_TypeError,
                        "catching classes that do not inherit from BaseException is not allowed");
        throw PyErrorAlready();
    }
    return PyErr_GivenExceptionMatches(exception_, type) != 0;
}

void Handling::enter(const char* function, PyObject* globals) {
    compat::restore_raised(exception_);
    add_traceback(function, where_, globals);
    // The same exception object comes back, now with the entry.
    Py_DECREF(compat::take_raised());
}

void Handling::reraise() {
    compat::restore_raised(exception_);
    throw PyErrorAlready(where_);
}

namespace {

bool same_name(PyObject* keyword, PyObject* name) {
    if (keyword == name) return true;
    return PyUnicode_Check(keyword) &&
           PyUnicode_GET_LENGTH(keyword) == PyUnicode_GET_LENGTH(name) &&
           PyUnicode_Compare(keyword, name) == 0;
}

// Index of the keyword `name` in the call, or -1.
Py_ssize_t find_keyword(PyObject* kwnames, Py_ssize_t count, PyObject* name) {
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == name) return i;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (same_name(PyTuple_GET_ITEM(kwnames, i), name)) return i;
    }
    return -1;
}

[[noreturn]] void raise_positional_count(const char* function, Py_ssize_t minimum,
                                         Py_ssize_t maximum, Py_ssize_t given,
                                         std::source_location where) {
    const char* bound = minimum == maximum ? "exactly" : given < minimum ? "at least" : "at most";
    Py_ssize_t expected = given < minimum ? minimum : maximum;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function, bound, expected, expected == 1 ? "" : "s", given);
    throw PyErrorAlready(where);
}

// Finds the keyword that has no place in the call and raises for it.
[[noreturn]] void raise_unplaced_keyword(const char* function, const Signature& signature,
                                         Py_ssize_t nargs, PyObject* kwnames,
                                         std::source_location where) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    const auto params = signature.params;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        bool placed = false;
        for (std::size_t p = static_cast<std::size_t>(nargs); p < params.size() && !placed; ++p) {
            placed = same_name(keyword, *params[p]);
        }
        if (placed) continue;
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function);
            throw PyErrorAlready(where);
        }
        for (std::size_t p = 0; p < static_cast<std::size_t>(nargs); ++p) {
            if (same_name(keyword, *params[p])) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             function, keyword);
                throw PyErrorAlready(where);
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                     keyword);
        throw PyErrorAlready(where);
    }
    PyErr_SetString(PyExc_SystemError, "keyword arguments out of step with their names");
    throw PyErrorAlready(where);
}

}  // namespace

void parse_arguments(const char* function, const Signature& signature, Arguments& arguments,
                     std::source_location where) {
    const Py_ssize_t nargs = arguments.nargs;
    PyObject* kwnames = arguments.kwnames;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);

    switch (signature.kind) {
        case Signature::Kind::none:
            if (nkw > 0) {
                PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", function);
                throw PyErrorAlready(where);
            }
            if (nargs > 0) {
                PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", function,
                             nargs);
                throw PyErrorAlready(where);
            }
            return;
        case Signature::Kind::any:
            for (Py_ssize_t i = 0; i < nkw; ++i) {
                if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, i))) {
                    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function);
                    throw PyErrorAlready(where);
                }
            }
            return;
        case Signature::Kind::fixed: break;
    }

    const auto params = signature.params;
    const auto total = static_cast<Py_ssize_t>(params.size());
    if (nargs > total) raise_positional_count(function, signature.required, total, nargs, where);
    for (Py_ssize_t i = 0; i < nargs; ++i) arguments.values[i] = arguments.args[i];

    // Keywords fill the parameters after the positional ones; a required one
    // missing counts as too few positional arguments.
    Py_ssize_t unplaced = nkw;
    for (Py_ssize_t p = nargs; p < total && unplaced > 0; ++p) {
        Py_ssize_t index = find_keyword(kwnames, nkw, *params[p]);
        if (index < 0) continue;
        arguments.values[p] = arguments.args[nargs + index];
        --unplaced;
    }
    for (Py_ssize_t p = nargs; p < signature.required; ++p) {
        if (arguments.values[p] == nullptr) {
            raise_positional_count(function, signature.required, total, nargs, where);
        }
    }
    if (unplaced > 0) raise_unplaced_keyword(function, signature, nargs, kwnames, where);
}

namespace {

const char* base_name(const char* path) {
    std::string_view view(path);
    auto slash = view.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path + slash + 1;
}

// The code objects of traceback entries, one per function and source line,
// made at first use and kept. Making one per error would, since 3.13, add its
// names to the interpreter's table of interned texts and take them out again
// each time, and the table's rebuilds make resident memory swing by megabytes.
using Site = std::tuple<std::uintptr_t, std::uintptr_t, std::uint_least32_t>;
std::map<Site, PyCodeObject*> entry_codes;

// A new reference to the code object of the entry for `function` at `where`.
PyCodeObject* entry_code(const char* function, const std::source_location& where) noexcept {
    const Site site{reinterpret_cast<std::uintptr_t>(function),
                    reinterpret_cast<std::uintptr_t>(where.file_name()), where.line()};
    if (auto found = entry_codes.find(site); found != entry_codes.end()) {
        Py_INCREF(found->second);
        return found->second;
    }
    PyCodeObject* code =
        PyCode_NewEmpty(base_name(where.file_name()), function, static_cast<int>(where.line()));
    if (code == nullptr) return nullptr;
    try {
        // Another thread may have kept one meanwhile (making this one can run
        // Python code, which may switch threads).
        if (entry_codes.emplace(site, code).second) Py_INCREF(code);
    } catch (const std::bad_alloc&) {
        // Not kept: the entry is still made.
    }
    return code;
}

}  // namespace

void add_traceback(const char* function, const std::source_location& where, PyObject* globals) {
    Ref raised = Ref::steal(compat::take_raised());
    // An entry needs an exception to go on; without one, PyTraceBack_Here crashes since 3.12.
    if (!raised) return;
    PyCodeObject* code = entry_code(function, where);
    PyFrameObject* frame =
        code == nullptr ? nullptr : PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    compat::restore_raised(raised.get());
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(reinterpret_cast<PyObject*>(code));
}

}  // namespace vorlik
