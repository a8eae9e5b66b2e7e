// get_tarvenox_cid: logs in to the controller and returns the session
// identifier (CID) of its reply.
#include "controller.hpp"
#include "function.hpp"
#include "names.hpp"

namespace korvalinden {
namespace {

constexpr const char* kLocalNames[] = {"controller_ip", "username", "password", "controller_api_url", "r", "CID"};

Interned kAction{"action"};
Interned kLogin{"login"};
Interned kLoginFailed{"Login failed"};
Interned kExit{"exit"};

// A failed login ends the process with status 1, not 0, so scripts see it.
Constant kFailureStatus{[] { return owned_or_throw(PyLong_FromLong(1)); }};

Ref get_tarvenox_cid(LineMarker& line, PyObject* controller_ip, PyObject* username, PyObject* password) {
  line.at(17);
  Ref url = controller_api_url(controller_ip);
  line.at(20);
  Ref data = new_dict({{kAction, kLogin}, {kUsername, username}, {kPassword, password}});
  line.at(18);
  Ref r = post_form(url.get(), data.get());

  Ref CID;
  line.at(24);
  try {
    Ref reply = call_method(r.get(), kJson);
    CID = get_item(reply.get(), kCid);
  } catch (const PythonError&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    line.at(24);
    HandledException handled(line);
    line.at(26);
    call(process_state.builtins.print.get(), {kLoginFailed});
    line.at(27);
    Ref exit = get_attr(lookup_global(kSys).get(), kExit);
    call(exit.get(), {kFailureStatus});
  }

  line.at(28);
  if (!CID) {
    PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", "CID");
    throw_python_error();
  }
  return CID;
}

}  // namespace

const FunctionDefinition get_tarvenox_cid_function =
    define_function<get_tarvenox_cid>("get_tarvenox_cid", 16, kLocalNames);

}  // namespace korvalinden
