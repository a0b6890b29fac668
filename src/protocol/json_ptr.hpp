// The project's one owner of Jansson values, for the host and the bundled library alike.
#pragma once

#include <jansson.h>

#include <memory>

namespace npc {

struct json_release {
  void operator()(json_t* value) const { json_decref(value); }
};

// Hand a value to json_object_set_new and its kin with .release(): they take the reference even
// when they fail.
using json_ptr = std::unique_ptr<json_t, json_release>;

}  // namespace npc
