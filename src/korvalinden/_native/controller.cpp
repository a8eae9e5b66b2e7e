#include "controller.hpp"

#include "names.hpp"

namespace korvalinden {
namespace {

Interned kUrlScheme{"https://"};
Interned kApiPath{"/v1/api"};
Interned kPost{"post"};
Interned kData{"data"};
Interned kVerify{"verify"};

Constant kPostKeywords{[] { return names_tuple({&kData, &kVerify}); }};

}  // namespace

Ref controller_api_url(PyObject* controller_ip) {
  Ref with_address = owned_or_throw(PyNumber_Add(kUrlScheme, controller_ip));
  return owned_or_throw(PyNumber_Add(with_address.get(), kApiPath));
}

Ref post_form(PyObject* url, PyObject* data) {
  Ref post = get_attr(lookup_global(kRequests).get(), kPost);
  return call_with_keywords(post.get(), {url, data, Py_False}, kPostKeywords);
}

}  // namespace korvalinden
