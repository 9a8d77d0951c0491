// Owners of cJSON's two C handles: a parsed or built tree, and the text that
// cJSON prints from one. Every program of the repository that speaks JSON
// (esimctl's record store, dbshell, the simulators) holds them through these.
#pragma once

#include <cjson/cJSON.h>

#include <memory>

struct JsonDeleter {
  void operator()(cJSON *item) const { cJSON_Delete(item); }
};
struct JsonTextDeleter {
  void operator()(char *text) const { cJSON_free(text); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;
using JsonText = std::unique_ptr<char, JsonTextDeleter>;
