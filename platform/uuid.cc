#include "platform/uuid.h"

#include <uuid/uuid.h>

#include <fstream>

#include "common/text.h"

namespace platform {

std::string newTimeUuid() {
  uuid_t id;
  uuid_generate_time(id);
  char text[37] = {};
  uuid_unparse_lower(id, text);
  return text;
}

std::string nameUuid(std::string_view namespaceUuid, std::string_view name) {
  uuid_t space;
  if (uuid_parse(std::string(namespaceUuid).c_str(), space) != 0) return {};
  uuid_t id;
  uuid_generate_sha1(id, space, name.data(), name.size());
  char text[37] = {};
  uuid_unparse_upper(id, text);
  return text;
}

std::string machineId() {
  std::ifstream file("/etc/machine-id");
  std::string line;
  if (!file || !std::getline(file, line)) return {};
  return std::string(common::trim(line));
}

}  // namespace platform
