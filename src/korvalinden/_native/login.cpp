// get_tarvenox_cid: logs in to the controller and returns the session
// identifier (CID) of its reply.
#include "function.hpp"
#include "names.hpp"

namespace korvalinden {
namespace {

constexpr const char* kLocalNames[] = {"controller_ip", "username", "password", "controller_api_url", "r", "CID"};

const Interned kUrlScheme{"https://"};
const Interned kApiPath{"/v1/api"};
const Interned kRequests{"requests"};
const Interned kPost{"post"};
const Interned kAction{"action"};
const Interned kLogin{"login"};
const Interned kUsername{"username"};
const Interned kPassword{"password"};
const Interned kData{"data"};
const Interned kVerify{"verify"};
const Interned kJson{"json"};
const Interned kCid{"CID"};
const Interned kLoginFailed{"Login failed"};
const Interned kSys{"sys"};
const Interned kExit{"exit"};

const Constant kPostKeywords{[] { return names_tuple({&kData, &kVerify}); }};
// A failed login ends the process with status 1, not 0, so scripts see it.
const Constant kFailureStatus{[] { return checked(PyLong_FromLong(1)); }};

Ref get_tarvenox_cid(Frame& frame, PyObject* const* arguments) {
  PyObject* controller_ip = arguments[0];
  PyObject* username = arguments[1];
  PyObject* password = arguments[2];

  frame.at(17);
  Ref with_address = checked(PyNumber_Add(kUrlScheme, controller_ip));
  Ref controller_api_url = checked(PyNumber_Add(with_address.get(), kApiPath));

  frame.at(18);
  Ref post = get_attr(lookup_global(kRequests).get(), kPost);
  frame.at(20);
  Ref data = new_dict({{kAction, kLogin}, {kUsername, username}, {kPassword, password}});
  frame.at(18);
  Ref r = call_with_keywords(post.get(), {controller_api_url.get(), data.get(), Py_False}, kPostKeywords);

  Ref CID;
  frame.at(24);
  try {
    Ref reply = call_method(r.get(), kJson);
    CID = get_item(reply.get(), kCid);
  } catch (const PythonError&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    frame.at(24);
    HandledException handled(frame);
    frame.at(26);
    call(bound_builtins().print.get(), {kLoginFailed});
    frame.at(27);
    Ref exit = get_attr(lookup_global(kSys).get(), kExit);
    call(exit.get(), {kFailureStatus});
  }

  frame.at(28);
  if (!CID) {
    PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", "CID");
    throw_python_error();
  }
  return CID;
}

}  // namespace

const FunctionDefinition get_tarvenox_cid_function{"get_tarvenox_cid", 16, 3, kLocalNames, get_tarvenox_cid};

}  // namespace korvalinden
