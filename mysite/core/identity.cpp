// Machine identity: the firmware's system UUID, the Windows machine GUID and
// the combined identity.
//
// Every platform operation goes through the interpreter's `platform`,
// `subprocess` and `winreg` modules, imported at each call, so the same code
// serves Windows and Linux.
#include "frame.hpp"

#include <utility>

namespace vorlik {

namespace names {
static Constant subprocess{"subprocess"}, platform{"platform"}, winreg{"winreg"}, system{"system"},
    check_output{"check_output"}, CalledProcessError{"CalledProcessError"}, split{"split"},
    line_feed{"\n"};
static Constant Linux{"Linux"}, Windows{"Windows"};
static Constant dmidecode{"dmidecode"}, dash_s{"-s"}, system_uuid{"system-uuid"};
static Constant powershell{"powershell"}, dash_Command{"-Command"},
    product_uuid_pipeline{
        "Get-WmiObject -Class Win32_ComputerSystemProduct | Select-Object -ExpandProperty UUID"};
static Constant wmic{"wmic"}, csproduct{"csproduct"}, UUID{"UUID"};
static Constant all_f_uuid{"FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF"};
static Constant OpenKey{"OpenKey"}, HKEY_LOCAL_MACHINE{"HKEY_LOCAL_MACHINE"},
    QueryValueEx{"QueryValueEx"}, CloseKey{"CloseKey"},
    key_path{"SOFTWARE\\Microsoft\\Cryptography"}, MachineGuid{"MachineGuid"};
static Constant SMBIOS{"SMBIOS"}, MachineGUID{"MachineGUID"}, MAC{"MAC"};
static Constant OSError{Constant::Builtin{"OSError"}}, Exception{Constant::Builtin{"Exception"}};

static Constant universal_newlines{"universal_newlines"};
static Constant text_output{+[] { return PyTuple_Pack(1, universal_newlines.get()); }};
static Constant minus_one{+[] { return PyLong_FromLong(-1); }};
}  // namespace names

namespace {

constexpr const char smbios_function[] = "mysite.core.vorlik.get_smbios_uuid";

constexpr const Constant* dmidecode_command[] = {&names::dmidecode, &names::dash_s,
                                                 &names::system_uuid};
constexpr const Constant* powershell_command[] = {&names::powershell, &names::dash_Command,
                                                  &names::product_uuid_pipeline};
constexpr const Constant* wmic_command[] = {&names::wmic, &names::csproduct, &names::get,
                                            &names::UUID};

Ref none() { return Ref::borrow(Py_None); }

// `left <op> right` as an `if` condition sees it.
bool compare(PyObject* left, PyObject* right, int op) {
    Ref result = check(PyObject_RichCompare(left, right, op));
    return truth(result);
}

// `subprocess.check_output([...])`, with `universal_newlines=True` for text
// output. The argument list is a new list at every call.
Ref check_output(PyObject* subprocess, std::span<const Constant* const> command,
                 bool universal_newlines,
                 std::source_location where = std::source_location::current()) {
    Ref run = attribute({subprocess, where}, names::check_output);
    Ref arguments = check(PyList_New(static_cast<Py_ssize_t>(command.size())));
    for (std::size_t i = 0; i < command.size(); ++i) {
        PyList_SET_ITEM(arguments.get(), static_cast<Py_ssize_t>(i),
                        Ref::borrow(*command[i]).release());
    }
    if (!universal_newlines) return call({run, where}, arguments.get());
    PyObject* stack[] = {nullptr, arguments.get(), Py_True};
    return vectorcall({run, where}, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                      names::text_output);
}

Ref without_hyphens(PyObject* text) {
    return call_method(text, names::replace, names::hyphen, names::empty);
}

// The firmware UUID from PowerShell, or from WMIC when PowerShell fails in any
// way; None for the all-F value that firmware without a UUID reports.
Ref windows_smbios_uuid(Globals globals, PyObject* subprocess) {
    Ref output;
    try {
        output = check_output(subprocess, powershell_command, true);
    } catch (const PyErrorAlready& error) {
        Handling dropped(error);
        dropped.enter(smbios_function, globals.dict());
        output = check_output(subprocess, wmic_command, true);
    }
    Ref stripped = call_method(output, names::strip);
    Ref lines = call_method(stripped, names::split, names::line_feed);
    Ref last = check(PyObject_GetItem(lines.get(), names::minus_one));
    Ref system_uuid = call_method(last, names::strip);
    if (compare(system_uuid.get(), names::all_f_uuid, Py_EQ)) return none();
    Ref bare = without_hyphens(system_uuid.get());
    return call_method(bare, names::upper);
}

}  // namespace

Ref get_smbios_uuid(Globals globals, const Arguments&) {
    Ref subprocess = globals.import(names::subprocess);
    Ref platform = globals.import(names::platform);
    try {
        if (compare(call_method(platform, names::system).get(), names::Linux, Py_EQ)) {
            Ref output = check_output(subprocess.get(), dmidecode_command, false);
            Ref text = call_method(output, names::decode, names::utf_8);
            Ref stripped = call_method(text, names::strip);
            return without_hyphens(stripped.get());
        }
        if (compare(call_method(platform, names::system).get(), names::Windows, Py_EQ)) {
            return windows_smbios_uuid(globals, subprocess.get());
        }
        return none();
    } catch (const PyErrorAlready& error) {
        Handling failure(error);
        if (!failure.matches(attribute(subprocess, names::CalledProcessError).get()) &&
            !failure.matches(names::Exception)) {
            failure.reraise();
        }
        failure.enter(smbios_function, globals.dict());
        call_method(globals.get(names::logger), names::exception, failure.exception());
        return none();
    }
}

Ref get_machine_guid(Globals globals, const Arguments&) {
    Ref platform = globals.import(names::platform);
    try {
        if (compare(call_method(platform, names::system).get(), names::Windows, Py_NE)) {
            return none();
        }
        Ref winreg = globals.import(names::winreg);
        Ref open_key = attribute(winreg, names::OpenKey);
        Ref root = attribute(winreg, names::HKEY_LOCAL_MACHINE);
        Ref key = call(open_key, root.get(), names::key_path);
        Ref value = call_method(winreg, names::QueryValueEx, key.get(), names::MachineGuid);
        auto [machine_guid, registry_type] = unpack_pair(value.get());
        call_method(winreg, names::CloseKey, key.get());
        Ref bare = without_hyphens(machine_guid.get());
        return call_method(bare, names::upper);
    } catch (const PyErrorAlready&) {
        if (!pending(names::OSError)) throw;
        PyErr_Clear();
        return none();
    }
}

Ref get_system_uuid(Globals globals, const Arguments&) {
    if (truth(globals.get(names::FORCED_MAC))) {
        Ref mac = call(globals.get(names::get_mac4network_card));
        return check(PyTuple_Pack(2, names::MAC.get(), mac.get()));
    }
    Ref system_uuid = call(globals.get(names::get_smbios_uuid));
    PyObject* category = names::SMBIOS;
    if (!truth(system_uuid)) {
        system_uuid = call(globals.get(names::get_machine_guid));
        category = names::MachineGUID;
    }
    if (!truth(system_uuid)) {
        system_uuid = call(globals.get(names::get_mac4network_card));
        category = names::MAC;
    }
    return check(PyTuple_Pack(2, category, system_uuid.get()));
}

}  // namespace vorlik
