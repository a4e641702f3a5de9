// Shared machinery of the module: owned references, the "Python error is set"
// exception, constants made at load, module globals, calls, argument parsing
// and traceback entries.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <concepts>
#include <new>
#include <source_location>
#include <span>
#include <utility>

namespace vorlik {

inline constexpr const char module_name[] = "mysite.core.vorlik";

// ---- Differences between interpreter versions ------------------------------
// Every difference between the C APIs of the supported interpreters (3.11 and
// later) is absorbed here, so that the rest of the module reads the same on all.
namespace compat {

// Takes the pending exception, normalised and carrying its traceback; null
// when none is pending. Normalising may run Python code (a class's __init__).
inline PyObject* take_raised() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Makes `exception` (borrowed; may be null) the pending one again, with the
// traceback it carries.
inline void restore_raised(PyObject* exception) {
    Py_XINCREF(exception);
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    if (exception == nullptr) return PyErr_Restore(nullptr, nullptr, nullptr);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

// Since 3.13 the import system lets a failure to read a module spec's
// `_initializing` flag (other than its absence) fail the import; before, the
// failure meant "not initialising".
inline constexpr bool import_fails_on_spec_errors = PY_VERSION_HEX >= 0x030D0000;

// Before 3.14 the interpreter ends a daemon thread that takes its lock back
// during finalisation by unwinding it (below).
inline constexpr bool unwinds_at_exit = PY_VERSION_HEX < 0x030E0000;

// Whether this thread holds the interpreter's lock. Since 3.13 the calling
// thread's own current thread state says so. Before, the lock's own check
// asks: the cheaper functions of 3.11 and 3.12 are gone from 3.13, which a
// module built for those must still load into, to warn.
inline bool holds_the_lock() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return PyGILState_Check() != 0;
#endif
}

// Since 3.14.4 and 3.13.13 the import system looks a module it found in
// sys.modules up again after the initialising check, and imports afresh when
// the entry changed meanwhile. A micro release's difference, so read at run time.
inline bool import_looks_up_again() noexcept {
#if PY_VERSION_HEX >= 0x030F0000
    return true;
#elif PY_VERSION_HEX >= 0x030E0000
    return Py_Version >= 0x030E0400;
#elif PY_VERSION_HEX >= 0x030D0000
    return Py_Version >= 0x030D0D00;
#else
    return false;
#endif
}

// Since 3.14 "too many values to unpack" counts the items of a plain list,
// tuple or dict.
inline constexpr bool unpack_counts_items = PY_VERSION_HEX >= 0x030E0000;

using CreateStep = PyObject* (*)(PyObject* spec, PyModuleDef* definition);
using ExecStep = int (*)(PyObject* module);

// The module's slots: its create and exec steps, and what it declares to the
// interpreters that ask. Its state is process-wide, so an isolated
// sub-interpreter (3.12) refuses it before the create step, a legacy one
// reaches the create step's own refusal, and a free-threaded interpreter
// (3.13) keeps its global lock on while the module is loaded.
inline auto module_slots(CreateStep create, ExecStep exec) noexcept {
    const PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(create)},
        {Py_mod_exec, reinterpret_cast<void*>(exec)},
#if PY_VERSION_HEX >= 0x030C0000
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
        {Py_mod_gil, Py_MOD_GIL_USED},
#endif
        {0, nullptr},
    };
    return std::to_array(slots);
}

}  // namespace compat

// Before 3.14 the interpreter ends a daemon thread that takes its lock back
// during finalisation by unwinding it, from inside whichever C API call ran
// Python code or waited for the lock. On its way out the unwinding runs the
// destructors of the module's frames, which then touch no Python object (the
// thread holds no lock), and it stops at the function's boundary, where the
// thread waits for the process to end, as every such thread does since 3.14.
[[noreturn]] void wait_for_exit() noexcept;

// True from the module's load, once the interpreter will tell when it begins
// to exit, until it does: no such unwinding can come before, so until then
// asking costs a load rather than a call. A load while the interpreter exits
// leaves it false.
extern std::atomic<bool> before_exit;

// Asks the interpreter to clear `before_exit` when it begins to exit; once,
// at the end of the module's load.
void watch_for_exit();

// Whether this thread holds the interpreter's lock, as far as the module's
// frames need to know: only the unwinding at exit runs them without it.
inline bool holds_the_lock() noexcept {
    if constexpr (!compat::unwinds_at_exit) return true;
    return before_exit.load(std::memory_order_acquire) || compat::holds_the_lock();
}

// Thrown after a C API call failed: the Python error indicator is set, and
// `where` is the line of our source that saw the failure.
class PyErrorAlready {
  public:
    explicit PyErrorAlready(std::source_location where = std::source_location::current()) noexcept
        : where_(where) {}
    const std::source_location& where() const noexcept { return where_; }

  private:
    std::source_location where_;
};

// The whole of a function the interpreter calls: `body()` gives the result;
// once it threw with the Python error set (or out of memory), `failed(where)`
// gives the failure's result, `where` being the line that saw the failure.
template <class Body, class Failed>
auto at_boundary(Body body, Failed failed) noexcept -> decltype(body()) {
    try {
        std::source_location where = std::source_location::current();
        try {
            return body();
        } catch (const PyErrorAlready& error) {
            where = error.where();
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (...) {
            if (!holds_the_lock()) throw;  // the unwinding at exit
            PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
        }
        return failed(where);
    } catch (...) {  // the unwinding at exit, from the body or from `failed`
        wait_for_exit();
    }
}

// One strong reference, released when the Ref goes away.
class Ref {
  public:
    Ref() noexcept = default;
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(object_, std::exchange(other.object_, nullptr)));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    // Releasing the last reference may run Python code (`__del__`, finalisers),
    // where the unwinding above may begin: a destructor lets nothing through.
    ~Ref() {
        if (object_ == nullptr || !holds_the_lock()) return;
        try {
            Py_DECREF(object_);
        } catch (...) {
            wait_for_exit();
        }
    }

    PyObject* get() const noexcept { return object_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

  private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// Takes the new reference a C API call returned, or throws if it failed.
inline Ref check(PyObject* result, std::source_location where = std::source_location::current()) {
    if (result == nullptr) throw PyErrorAlready(where);
    return Ref::steal(result);
}

// Passes on a status or size a C API call returned, or throws if it failed.
template <std::signed_integral Status>
Status check(Status status, std::source_location where = std::source_location::current()) {
    if (status < 0) throw PyErrorAlready(where);
    return status;
}

// An object made once while the module loads and kept until shutdown:
// an interned text, a built-in resolved by name, a composite made from those
// (tuples, slices), or an original: what a global (or an attribute of one)
// was when the module body had run, so that native paths can tell whether a
// caller has rebound it since.
class Constant {
  public:
    struct Builtin {
        const char* name;
    };
    struct Original {
        const char* global;
        const char* attribute = nullptr;
    };
    using Make = PyObject* (*)();

    explicit Constant(const char* text) noexcept : kind_(Kind::text), text_(text) { enlist(); }
    explicit Constant(Builtin builtin) noexcept : kind_(Kind::builtin), text_(builtin.name) {
        enlist();
    }
    explicit Constant(Make make) noexcept : kind_(Kind::composite), make_(make) { enlist(); }
    explicit Constant(Original original) noexcept
        : kind_(Kind::original), text_(original.global), attribute_(original.attribute) {
        enlist();
    }
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;

    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }

    // Whether `value` is this constant: for an original, whether what was
    // just read is still what the module loaded.
    bool is(const Ref& value) const noexcept {
        return object_ != nullptr && value.get() == object_;
    }

    // The steps of the load that make each kind, and the undoing of all.
    static void make_texts();
    static void resolve_builtins();
    static void make_composites();
    static void remember_originals(PyObject* globals);
    static void release_all() noexcept;

  private:
    enum class Kind { text, builtin, composite, original };
    void enlist() noexcept {
        next_ = registry_;
        registry_ = this;
    }
    template <class Each>
    static void for_each(Kind kind, Each each);

    Kind kind_;
    const char* text_ = nullptr;
    const char* attribute_ = nullptr;
    Make make_ = nullptr;
    PyObject* object_ = nullptr;
    Constant* next_ = nullptr;
    static inline Constant* registry_ = nullptr;
};

// A callee or receiver together with the line of our source that uses it, so
// that a failure is reported at that line.
struct Target {
    Target(PyObject* target, std::source_location where = std::source_location::current()) noexcept
        : object(target), where(where) {}
    Target(const Ref& target, std::source_location where = std::source_location::current()) noexcept
        : object(target.get()), where(where) {}
    Target(const Constant& target,
           std::source_location where = std::source_location::current()) noexcept
        : object(target.get()), where(where) {}
    PyObject* object;
    std::source_location where;
};

template <class... Args>
concept Objects = (std::convertible_to<const Args&, PyObject*> && ...);

// `callee(...)` with arguments as the vectorcall protocol passes them.
inline Ref vectorcall(Target callee, PyObject* const* args, std::size_t nargsf,
                      PyObject* kwnames = nullptr) {
    return check(PyObject_Vectorcall(callee.object, args, nargsf, kwnames), callee.where);
}

template <class... Args>
    requires Objects<Args...>
Ref call(Target callee, const Args&... args) {
    PyObject* stack[] = {nullptr, static_cast<PyObject*>(args)...};
    return vectorcall(callee, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET);
}

template <class... Args>
    requires Objects<Args...>
Ref call_method(Target receiver, PyObject* name, const Args&... args) {
    PyObject* stack[] = {receiver.object, static_cast<PyObject*>(args)...};
    return check(PyObject_VectorcallMethod(name, stack, 1 + sizeof...(Args), nullptr),
                 receiver.where);
}

// `dict[key]`, held; null when missing. The lookup may run Python code (a
// key of equal hash compares by its `__eq__`): its error is thrown.
inline Ref lookup(PyObject* dict, PyObject* key,
                  std::source_location where = std::source_location::current()) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && PyErr_Occurred()) throw PyErrorAlready(where);
    return Ref::borrow(value);
}

// `owner.name`, or null with the error pending.
inline Ref attribute_or_null(PyObject* owner, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(owner, name));
}

// `owner.name`. On a plain module a name that is no attribute of the module
// type itself (none of those is without leading underscores) is read from the
// module's dictionary directly, as the interpreter would read it.
inline Ref attribute(Target owner, PyObject* name) {
    if (PyModule_CheckExact(owner.object) && PyUnicode_READ_CHAR(name, 0) != '_') {
        if (Ref value = lookup(PyModule_GetDict(owner.object), name, owner.where)) return value;
    }
    if (Ref value = attribute_or_null(owner.object, name)) return value;
    throw PyErrorAlready(owner.where);
}

inline bool truth(Target value) { return check(PyObject_IsTrue(value.object), value.where) != 0; }

// Whether the pending exception is an instance of `type`; none pending is false.
inline bool pending(PyObject* type) noexcept {
    return PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(type);
}

// The iterator's next item; null once it is exhausted.
Ref next_item(PyObject* iterator, std::source_location where = std::source_location::current());

// `first, second = value`, with the interpreter's errors for other shapes.
std::pair<Ref, Ref> unpack_pair(PyObject* value,
                                std::source_location where = std::source_location::current());

// The exception an `except` clause is handling: taken from the error
// indicator and made the thread's handled exception (sys.exc_info()) until
// the clause ends, so that logging finds its traceback and an exception raised
// meanwhile is chained to it, as in Python. It swaps the innermost state as
// the interpreter does: the handled-exception API would copy a generator's
// caller's exception into the generator.
class Handling {
  public:
    explicit Handling(const PyErrorAlready& error);
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

    PyObject* exception() const noexcept { return exception_; }

    // Whether `except type:` takes the exception, with the interpreter's
    // check of what may be caught.
    bool matches(PyObject* type) const;

    // Adds the function's own traceback entry, as the clause taking it does.
    void enter(const char* function, PyObject* globals);

    // Lets the exception go on to the caller, from where it was raised.
    [[noreturn]] void reraise();

  private:
    std::source_location where_;
    PyObject* exception_;  // owned by the thread's handled-exception slot
    _PyErr_StackItem* state_;
    PyObject* previous_;
};

// The module dictionary, through which the functions reach each other and
// the module's globals by name at call time.
class Globals {
  public:
    explicit Globals(PyObject* module) noexcept : dict_(PyModule_GetDict(module)) {}
    PyObject* dict() const noexcept { return dict_; }

    // The global's value, else the built-in of that name, else NameError.
    Ref get(PyObject* name, std::source_location where = std::source_location::current()) const {
        if (Ref value = lookup(dict_, name, where)) return value;
        return builtin(name, where);
    }
    void set(PyObject* name, PyObject* value,
             std::source_location where = std::source_location::current()) const {
        check(PyDict_SetItem(dict_, name, value), where);
    }

    // `import name` (the top-level module) or, with `fromlist`, the named module
    // itself, through the interpreter's import system.
    Ref import(PyObject* name, PyObject* fromlist = nullptr,
               std::source_location where = std::source_location::current()) const;

  private:
    static Ref builtin(PyObject* name, std::source_location where);
    PyObject* dict_;
};

// `from module import name`: ImportError "cannot import name ..." when missing.
Ref import_from(PyObject* module, PyObject* name,
                std::source_location where = std::source_location::current());

// Parameters of a module function, as its callers see them.
struct Signature {
    enum class Kind {
        none,   // takes no arguments
        fixed,  // `params`, the first `required` of them without default
        any,    // any positional and keyword arguments, passed on as given
    };
    Kind kind;
    std::span<const Constant* const> params = {};
    Py_ssize_t required = 0;
};

inline constexpr std::size_t max_params = 3;

// One call as the interpreter made it, and its parameters once parsed.
struct Arguments {
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;
    // Parameter values in signature order; null for an optional one not given.
    std::array<PyObject*, max_params> values{};
};

// Checks the call against the signature and fills `arguments.values`; raises
// the interpreter's own TypeError texts for a call that does not fit.
void parse_arguments(const char* function, const Signature& signature, Arguments& arguments,
                     std::source_location where = std::source_location::current());

// Adds a traceback entry for `function` at `where` to the pending exception.
void add_traceback(const char* function, const std::source_location& where, PyObject* globals);

// Texts shared by the subsystems: the module's globals, and method names.
namespace names {
extern Constant logging, re, settings, uuid, base64, AES, psutil, MAC_BY_UUID, NEW_MAC_DETECT,
    logger, BLOCK_SIZE, FORCED_MAC;
extern Constant pad, unpad, is_mac_address, get_mac4multiple_network_card, get_mac4network_card,
    get_smbios_uuid, get_machine_guid;
extern Constant encode, decode, utf_8, replace, upper, exception, get, strip, hyphen, empty;
}  // namespace names

// The module's functions, defined in their subsystem's unit.
using Implementation = Ref (*)(Globals, const Arguments&);

Ref pad(Globals, const Arguments&);
Ref unpad(Globals, const Arguments&);
Ref aes_encrypt(Globals, const Arguments&);
Ref aes_decrypt(Globals, const Arguments&);
Ref set_param_value(Globals, const Arguments&);
Ref get_param_value(Globals, const Arguments&);
Ref is_mac_address(Globals, const Arguments&);
Ref get_mac4multiple_network_card(Globals, const Arguments&);
Ref get_mac4network_card(Globals, const Arguments&);
Ref get_smbios_uuid(Globals, const Arguments&);
Ref get_machine_guid(Globals, const Arguments&);
Ref get_system_uuid(Globals, const Arguments&);

}  // namespace vorlik
