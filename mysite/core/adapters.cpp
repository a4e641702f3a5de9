// Network adapter addresses: MAC address text, the adapter list, one identifier.
#include "frame.hpp"

namespace vorlik {

namespace {

[[noreturn]] void not_yet(const char* function) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not implemented yet", function);
    throw PyErrorAlready();
}

}  // namespace

Ref is_mac_address(Globals, const Arguments&) { not_yet("is_mac_address"); }
Ref get_mac4multiple_network_card(Globals, const Arguments&) {
    not_yet("get_mac4multiple_network_card");
}
Ref get_mac4network_card(Globals, const Arguments&) { not_yet("get_mac4network_card"); }

}  // namespace vorlik
