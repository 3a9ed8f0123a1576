// The programme guide served beside the playlist: an XMLTV file (plain or
// gzip, told apart by content) read as a stream and reduced to the
// playlist's channels and to the programmes near now, written again as a
// small XMLTV document, with each kept channel's schedule for "on air now".
//
// Provider guides run to hundreds of megabytes, so the file is never held
// as one document: libxml2's streaming reader walks it once and only what
// is kept stays in memory. The reader substitutes no entities and loads no
// DTD or anything else named by the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event.h"

namespace relay {

// What the playlist says of one channel; empty strings for what it lacks.
struct GuideChannelKey {
  std::string tvgId;
  std::string tvgName;
  std::string title;
};

inline constexpr std::int64_t kGuideKeepBehindSeconds = 6 * 3600;
inline constexpr std::int64_t kGuideKeepAheadSeconds = 8 * 24 * 3600;

struct GuideProgramme {
  std::int64_t start = 0;  // Unix seconds
  std::int64_t stop = 0;   // the next programme's start when the guide gives none
  std::string title;       // the first <title>, clean UTF-8
};

struct NowAndNext {
  std::optional<GuideProgramme> now;
  std::optional<GuideProgramme> next;
};

struct Guide {
  // The reduced XMLTV document, UTF-8.
  std::string xml;
  std::size_t channelCount = 0;
  std::size_t programmeCount = 0;
  // By the position of a key in the list given to loadGuide: the index
  // into `schedules` of the guide channel it was linked to, or -1.
  std::vector<std::int32_t> scheduleOfKey;
  // Per kept channel, its programmes by start time.
  std::vector<std::vector<GuideProgramme>> schedules;

  // The programme on air at `time` for the key at `keyIndex`, and the one
  // after it; nothing for a key without a guide channel.
  NowAndNext nowAndNext(std::size_t keyIndex, std::int64_t time) const;
};

struct GuideLoad {
  std::optional<Guide> guide;
  std::string error;  // one line when `guide` is empty
};

// Reads the XMLTV file at `path` and keeps:
// - the guide channels linked to a key: by the key's tvg-id equal to the
//   channel's id, else by one of its display-names equal to the key's
//   tvg-name or title, ignoring ASCII case. A channel linked by name takes
//   the key's tvg-id (when it has one) as its id, in its programmes too.
// - their programmes that end after `now` - 6 h and start before `now` + 8
//   days, in the file's order; a programme with a start or stop that does
//   not read as an XMLTV time, or that names a channel not seen before it,
//   is left out.
// Errors: "cannot open ...", "not XMLTV", "XML error at line N: ...",
// "truncated gzip", "gzip error: ...".
// A set `stop` ends the load with the error "stopped".
GuideLoad loadGuide(const std::string& path, const std::vector<GuideChannelKey>& keys,
                    std::int64_t now, const platform::Event* stop = nullptr);
// The same from `fd` (owned: closed at the end), which may be a stream as
// the guide arrives; `name` stands for it in errors.
GuideLoad loadGuide(int fd, std::string_view name, const std::vector<GuideChannelKey>& keys,
                    std::int64_t now, const platform::Event* stop = nullptr);

// "20:15-21:45 Title": start and stop as the relay's local time, the title
// as it is (escaping is the writer's).
std::string programmeText(const GuideProgramme& programme);
// programmeText of the programme on air; empty when nothing is.
std::string onAirText(const NowAndNext& programmes);

// "YYYYMMDDhhmmss +zzzz" (seconds, and the zone or the space before it, may
// be left out; no zone is UTC) as Unix seconds.
std::optional<std::int64_t> parseXmltvTime(std::string_view text);

}  // namespace relay
