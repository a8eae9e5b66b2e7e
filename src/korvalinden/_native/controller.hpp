// What the login and the API call share in talking to the controller.
#pragma once

#include "py.hpp"

namespace korvalinden {

// "https://" + controller_ip + "/v1/api", concatenated as given: the address
// may carry a port and is not validated.
Ref controller_api_url(PyObject* controller_ip);

// requests.post(url, data=data, verify=False), with the module global
// `requests` looked up at each call. Controllers commonly present self-signed
// certificates, so verification is off (and its warnings silenced at import).
Ref post_form(PyObject* url, PyObject* data);

}  // namespace korvalinden
