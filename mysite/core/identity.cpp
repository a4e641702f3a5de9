// Machine identity: the firmware's system UUID, the Windows machine GUID and
// the combined identity.
#include "frame.hpp"

namespace vorlik {

namespace {

[[noreturn]] void not_yet(const char* function) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not implemented yet", function);
    throw PyErrorAlready();
}

}  // namespace

Ref get_smbios_uuid(Globals, const Arguments&) { not_yet("get_smbios_uuid"); }
Ref get_machine_guid(Globals, const Arguments&) { not_yet("get_machine_guid"); }
Ref get_system_uuid(Globals, const Arguments&) { not_yet("get_system_uuid"); }

}  // namespace vorlik
