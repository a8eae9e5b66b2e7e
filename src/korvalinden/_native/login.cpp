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

// The source lines of the statements, which a traceback entry names.
namespace lines {
constexpr int first = 16;
constexpr int url = 17;  // controller_api_url from the address
// The post is one statement over lines 18 to 21. Its keyword arguments stand on
// line 20 and are built first, as arguments are before any call; the call
// itself, with the lookup of requests.post, reports the statement's line 18.
constexpr int post = 18;
constexpr int post_data = 20;
// Inside the handler for Exception: decode the reply and take its "CID". A
// caught exception keeps this line; fetching it (line 25) cannot fail.
constexpr int cid_from_reply = 24;
constexpr int print_failure = 26;
constexpr int exit = 27;
constexpr int return_cid = 28;  // reads CID, which a replaced sys.exit leaves unbound
}  // namespace lines

Ref get_tarvenox_cid(LineMarker& line, PyObject* controller_ip, PyObject* username, PyObject* password) {
  line.at(lines::url);
  Ref url = controller_api_url(controller_ip);
  line.at(lines::post_data);
  Ref data = new_dict({{kAction, kLogin}, {kUsername, username}, {kPassword, password}});
  line.at(lines::post);
  Ref r = post_form(url.get(), data.get());

  Ref CID;
  line.at(lines::cid_from_reply);
  try {
    Ref reply = call_method(r.get(), kJson);
    CID = get_item(reply.get(), kCid);
  } catch (const PythonError&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    HandledException handled(line);
    line.at(lines::print_failure);
    call(process_state.builtins.print.get(), {kLoginFailed});
    line.at(lines::exit);
    Ref exit = get_attr(lookup_global(kSys).get(), kExit);
    call(exit.get(), {kFailureStatus});
  }

  line.at(lines::return_cid);
  if (!CID) raise_unbound_local("CID");
  return CID;
}

}  // namespace

const FunctionDefinition get_tarvenox_cid_function =
    define_function<get_tarvenox_cid>("get_tarvenox_cid", lines::first, kLocalNames);

}  // namespace korvalinden
