// The web server's answers that are a head and a body: generated pages (the
// folder refusal, PHP-less pages) and the 400 row. Files and PHP pages are
// hand-offs and answer on the connection themselves.
#pragma once

#include "engine/http_engine.h"

namespace web {

engine::FramedResponse framePage(const engine::EngineCore& core, engine::HttpRequest& request);

}  // namespace web
