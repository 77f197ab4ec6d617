// What the two job areas share: request bodies, the job call, and binding classes.
#pragma once

#include <string>

#include "external/spreadsheet/state.hpp"

namespace spreadsheet {

// A request body holding download_url, result_upload_url, result_upload_fields, result_download_url.
Ref request_body_start(State& state, Handle download_url, const Ref slot[3]);

// _post_on_addon_endpoint(endpoint, body, timeout=60, error_mapping=error_mapping), looked up now.
Ref post_job(State& state, const char* endpoint, Handle body, Handle error_mapping);

// Binds a class or function in the module, named in __all__ when its name is public.
void bind_public(PyObject* module, std::string_view name, Handle value);

inline Ref bind_class(PyObject* module, native::ClassBuilder& builder) {
  Ref cls = builder.build();
  bind_public(module, builder.name(), cls);
  return cls;
}

}  // namespace spreadsheet
