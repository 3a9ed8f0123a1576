#include "platform/uuid.h"

#include <uuid/uuid.h>

namespace platform {

std::string newTimeUuid() {
  uuid_t id;
  uuid_generate_time(id);
  char text[37] = {};
  uuid_unparse_lower(id, text);
  return text;
}

}  // namespace platform
