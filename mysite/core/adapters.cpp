// Network adapter addresses: MAC address text, the adapter list, one identifier.
#include "frame.hpp"

namespace vorlik {

namespace {

PyObject* slice_from(long start) {
    Ref bound = Ref::steal(PyLong_FromLong(start));
    return bound ? PySlice_New(bound.get(), nullptr, nullptr) : nullptr;
}

}  // namespace

namespace names {
static Constant hex{Constant::Builtin{"hex"}};
static Constant hyphen_pattern{"([0-9A-Fa-f]{2})(-[0-9A-Fa-f]{2}){5}"},
    colon_pattern{"([0-9A-Fa-f]{2})(:[0-9A-Fa-f]{2}){5}"};
static Constant match{"match"}, net_if_addrs{"net_if_addrs"}, net_if_stats{"net_if_stats"},
    items{"items"}, isup{"isup"}, address{"address"}, getnode{"getnode"}, uuid1{"uuid1"},
    hex_digits{"hex"};
static Constant colon{":"}, read_mac_error{"Read Mac Error "};
static Constant zero{+[] { return PyLong_FromLong(0); }};
static Constant after_prefix{+[] { return slice_from(2); }};
static Constant last_twelve{+[] { return slice_from(-12); }};
// The native matcher stands in for this only.
static Constant loaded_match{Constant::Original{"re", "match"}};
}  // namespace names

namespace {

constexpr const char list_function[] = "mysite.core.vorlik.get_mac4multiple_network_card";

// `logger.exception("Read Mac Error " + str(name) + ":" + str(entries))`, while the
// failure is being handled.
void log_adapter_error(Globals globals, PyObject* name, PyObject* entries) {
    Ref log = attribute(globals.get(names::logger), names::exception);
    Ref name_text = check(PyObject_Str(name));
    Ref message = check(PyNumber_Add(names::read_mac_error, name_text.get()));
    message = check(PyNumber_Add(message.get(), names::colon));
    Ref entries_text = check(PyObject_Str(entries));
    message = check(PyNumber_Add(message.get(), entries_text.get()));
    call(log, message.get());
}

// Appends the accepted addresses of one adapter to the list of its state.
void list_adapter(Globals globals, PyObject* stats, PyObject* name, PyObject* entries,
                  PyObject* up_macs, PyObject* down_macs) {
    Ref state = call_method(stats, names::get, name, Py_None);
    const bool up = truth(state) && truth(attribute(state, names::isup));
    PyObject* target = up ? up_macs : down_macs;
    Ref iterator = check(PyObject_GetIter(entries));
    while (Ref entry = next_item(iterator.get())) {
        Ref accepts = globals.get(names::is_mac_address);
        Ref address = attribute(entry, names::address);
        if (!truth(call(accepts, address.get()))) continue;
        // Read again: what is listed is what the entry reports now.
        Ref listed = attribute(entry, names::address);
        check(PyList_Append(target, listed.get()));
    }
}

bool is_hex_digit(Py_UCS4 c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// What one pattern answers for an exact str: six ASCII hexadecimal pairs at
// the start, joined by `separator`.
bool starts_with_address(PyObject* text, Py_UCS4 separator) {
    constexpr Py_ssize_t address_length = 17;
    if (PyUnicode_GET_LENGTH(text) < address_length) return false;
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < address_length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (i % 3 == 2 ? c != separator : !is_hex_digit(c)) return false;
    }
    return true;
}

// `re.match(pattern, address)` through the global `re`, as a truth value;
// the native matcher answers for exact text while `re.match` is the loaded one.
bool matches(Globals globals, PyObject* pattern, Py_UCS4 separator, PyObject* address) {
    Ref match = attribute(globals.get(names::re), names::match);
    if (names::loaded_match.is(match) && PyUnicode_CheckExact(address)) {
        return starts_with_address(address, separator);
    }
    return truth(call(match, pattern, address));
}

}  // namespace

Ref is_mac_address(Globals globals, const Arguments& arguments) {
    PyObject* address = arguments.values[0];
    const bool accepted = matches(globals, names::hyphen_pattern, '-', address) ||
                          matches(globals, names::colon_pattern, ':', address);
    return Ref::borrow(accepted ? Py_True : Py_False);
}

Ref get_mac4multiple_network_card(Globals globals, const Arguments&) {
    Ref psutil = globals.import(names::psutil);
    Ref addrs = call_method(psutil, names::net_if_addrs);
    Ref stats = call_method(psutil, names::net_if_stats);
    Ref up_macs = check(PyList_New(0));
    Ref down_macs = check(PyList_New(0));
    Ref adapters = check(PyObject_GetIter(call_method(addrs, names::items).get()));
    while (Ref adapter = next_item(adapters.get())) {
        auto [name, entries] = unpack_pair(adapter.get());
        try {
            list_adapter(globals, stats.get(), name.get(), entries.get(), up_macs.get(),
                         down_macs.get());
        } catch (const PyErrorAlready& error) {
            // Any exception, as written: one unreadable adapter must not hide
            // the others, and the record keeps what was caught.
            Handling caught(error);
            caught.enter(list_function, globals.dict());
            log_adapter_error(globals, name.get(), entries.get());
        }
    }
    return check(PySequence_Concat(up_macs.get(), down_macs.get()));
}

Ref get_mac4network_card(Globals globals, const Arguments&) {
    if (!truth(globals.get(names::NEW_MAC_DETECT))) {
        Ref made = call_method(globals.get(names::uuid), names::uuid1);
        Ref digits = attribute(made, names::hex_digits);
        Ref node = check(PyObject_GetItem(digits.get(), names::last_twelve));
        return call_method(node, names::upper);
    }
    Ref macs = call(globals.get(names::get_mac4multiple_network_card));
    if (truth(macs)) {
        Ref first = check(PyObject_GetItem(macs.get(), names::zero));
        Ref bare = call_method(first, names::replace, names::hyphen, names::empty);
        bare = call_method(bare, names::replace, names::colon, names::empty);
        return call_method(bare, names::upper);
    }
    Ref node = call_method(globals.get(names::uuid), names::getnode);
    Ref digits = call(names::hex, node.get());
    Ref bare = check(PyObject_GetItem(digits.get(), names::after_prefix));
    return call_method(bare, names::upper);
}

}  // namespace vorlik
