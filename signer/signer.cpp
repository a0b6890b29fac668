// The bundled signing library, in its first form: it answers every request with a JSON text
// that names the request it got and its length, so the whole path can be tried end to end.
#include <jansson.h>

#include <cstdlib>
#include <cstring>

extern "C" {

#if defined(_WIN32)
#define NPC_EXPORT __declspec(dllexport)
#else
#define NPC_EXPORT __attribute__((visibility("default")))
#endif

NPC_EXPORT const char* addon_process_query(const char* request, const char* /*extra*/) {
  const std::size_t length = std::strlen(request);
  json_t* reply = json_object();
  // A request that is no valid UTF-8 cannot stand in a JSON string; its length still tells.
  json_t* text = json_stringn(request, length);
  json_object_set_new(reply, "request", text ? text : json_null());
  json_object_set_new(reply, "length", json_integer(static_cast<json_int_t>(length)));
  char* dumped = json_dumps(reply, JSON_COMPACT);
  json_decref(reply);
  return dumped;
}

NPC_EXPORT void addon_free(const char* result) { std::free(const_cast<char*>(result)); }

}  // extern "C"
