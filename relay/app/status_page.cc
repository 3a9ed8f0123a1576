#include "relay/app/status_page.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <set>
#include <string_view>

#include "common/utf8.h"
#include "common/version.h"
#include "platform/clock.h"
#include "relay/stream/ts_probe.h"
#include "relay/upnp/control_handler.h"
#include "relay/upnp/playlist_export.h"

namespace relay {
namespace {

std::string addressText(platform::Ipv4 address, std::uint16_t port) {
  return platform::ipv4Text(address) + ":" + std::to_string(port);
}

std::string formatName(int format) {
  switch (format) {
    case int(StreamFormat::PlainTs):
      return "plain";
    case int(StreamFormat::PrefixedTs):
      return "192-byte";
    case int(StreamFormat::Rtp):
      return "rtp";
    default:
      return "";
  }
}

std::vector<std::string> lastLines(const std::string& text, std::size_t count) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(std::move(line));
    at = end + 1;
  }
  if (lines.size() > count) lines.erase(lines.begin(), lines.end() - std::ptrdiff_t(count));
  return lines;
}

// Whether `receiver` takes what `channel` names: its group and port, from
// its one sender or, when it names none, from any.
bool receives(const RegisteredReceiver& receiver, const Channel& channel) {
  if (receiver.port != channel.port || receiver.group != platform::parseIpv4(channel.address)) {
    return false;
  }
  if (channel.source.empty()) return receiver.source == 0;
  return receiver.source != 0 && receiver.source == parseSource(channel.source);
}

const Channel* channelOf(const ChannelList* playlist, const RegisteredReceiver& receiver) {
  if (!playlist) return nullptr;
  for (const Channel& channel : playlist->channels) {
    if (receives(receiver, channel)) return &channel;
  }
  return nullptr;
}

// "source@group:port", or "group:port" without a source.
std::string streamText(const std::string& source, const std::string& group, std::uint16_t port) {
  return (source.empty() ? std::string() : source + "@") + group + ":" + std::to_string(port);
}

std::string sourceText(platform::Ipv4 source) {
  return source == 0 ? std::string() : platform::ipv4Text(source);
}

// `text` inside a quoted string of a UTF-8 document, whatever bytes it
// holds: quotes and backslashes get a backslash, each C0 control is what
// `control` makes of it, and the text between them comes through
// common::cleanUtf8 (ill-formed bytes replaced, DEL and C1 controls dropped).
template <typename Control>
void appendQuotable(std::string& out, std::string_view text, Control control) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && static_cast<unsigned char>(text[i]) >= 0x20) continue;
    for (const char c : common::cleanUtf8(text.substr(start, i - start))) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    if (i < text.size()) control(text[i]);
    start = i + 1;
  }
}

// JSON string: valid UTF-8 whatever the text held, controls as \u escapes.
void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  appendQuotable(out, text, [&out](char c) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
    out += escaped;
  });
  out += '"';
}

void appendHtmlText(std::string& out, std::string_view text) {
  out += escapeXml(text);
}

// Prometheus label value: backslash, quote and line feed escaped, the
// other controls dropped.
std::string labelValue(std::string_view text) {
  std::string out;
  appendQuotable(out, text, [&out](char c) {
    if (c == '\n') out += "\\n";
  });
  return out;
}

// Writes one JSON object's members, in order, from name/value pairs.
class JsonObject {
 public:
  explicit JsonObject(std::string& out) : out_(out) { out_ += '{'; }
  ~JsonObject() { out_ += '}'; }
  void number(std::string_view name, std::uint64_t value) {
    key(name);
    out_ += std::to_string(value);
  }
  void signedNumber(std::string_view name, std::int64_t value) {
    key(name);
    out_ += std::to_string(value);
  }
  void text(std::string_view name, std::string_view value) {
    key(name);
    appendJsonString(out_, value);
  }
  void textOrNull(std::string_view name, std::string_view value) {
    key(name);
    if (value.empty()) {
      out_ += "null";
    } else {
      appendJsonString(out_, value);
    }
  }
  void key(std::string_view name) {
    if (!first_) out_ += ',';
    first_ = false;
    appendJsonString(out_, name);
    out_ += ':';
  }

 private:
  std::string& out_;
  bool first_ = true;
};

// {"start": unix, "stop": unix, "title": "..."}, or null.
void jsonProgramme(JsonObject& object, std::string& out, std::string_view name,
                   const std::optional<GuideProgramme>& programme) {
  object.key(name);
  if (!programme) {
    out += "null";
    return;
  }
  JsonObject member(out);
  member.signedNumber("start", programme->start);
  member.signedNumber("stop", programme->stop);
  member.text("title", programme->title);
}

template <typename Row, typename Write>
void jsonArray(JsonObject& object, std::string& out, std::string_view name,
               const std::vector<Row>& rows, Write write) {
  object.key(name);
  out += '[';
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i != 0) out += ',';
    JsonObject row(out);
    write(row, rows[i]);
  }
  out += ']';
}

// The refusals by reason: the name the JSON and the metrics give it, and
// what the HTML page says.
struct RefusalRow {
  std::string_view name;
  std::string_view shown;
  std::uint64_t count;
};
std::array<RefusalRow, 6> refusalRows(const RefusalCounts& refusals) {
  return {{
      {"allow_list", "host not in --allow", refusals.allowList},
      {"per_host", "host had --max-connections-per-host open", refusals.perHost},
      {"slow_head", "request head too slow", refusals.slowHead},
      {"admin", "command or status from a host not in --admin-allow", refusals.admin},
      {"token", "stream or list without the token", refusals.token},
      {"max_clients", "stream past --max-clients", refusals.maxClients},
  }};
}

std::string durationText(std::int64_t seconds) {
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lldh %02lldm", (long long)(seconds / 3600),
                  (long long)(seconds / 60 % 60));
  } else if (seconds >= 60) {
    std::snprintf(text, sizeof text, "%lldm %02llds", (long long)(seconds / 60),
                  (long long)(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%llds", (long long)seconds);
  }
  return text;
}

std::string clockText(std::int64_t unixSeconds) {
  const std::time_t time = std::time_t(unixSeconds);
  std::tm local{};
  localtime_r(&time, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

std::string scaled(double value, const char* const units[], std::size_t count, double step) {
  std::size_t unit = 0;
  while (value >= step && unit + 1 < count) {
    value /= step;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
  return text;
}

std::string bytesText(std::uint64_t bytes) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  return scaled(double(bytes), units, std::size(units), 1024);
}

std::string rateText(std::uint64_t bitsPerSecond) {
  static const char* const units[] = {"bit/s", "kbit/s", "Mbit/s", "Gbit/s"};
  return scaled(double(bitsPerSecond), units, std::size(units), 1000);
}

}  // namespace

StatusSnapshot buildStatus(const StatusSources& sources, const StreamRegistry::Snapshot& live,
                           std::int64_t nowMs, std::int64_t nowUnix) {
  StatusSnapshot out;
  out.version = std::string(common::kVersion);
  out.nowUnix = nowUnix;
  out.uptimeSeconds = std::max<std::int64_t>(nowMs - sources.startMs, 0) / 1000;
  const ChannelList* playlist = sources.playlist.get();

  out.guide = bool(sources.programmes);
  if (playlist) {
    for (const Channel& channel : playlist->channels) {
      StatusSnapshot::ChannelRow row{channel.number, channel.title, channel.address, channel.port};
      row.source = channel.source;
      if (out.guide) row.programmes = sources.programmes(channel.listIndex, nowUnix);
      for (const ReceiverSample& sample : live.receivers) {
        if (receives(sample.receiver, channel)) ++row.watchers;
      }
      out.channels.push_back(std::move(row));
    }
  }

  for (const ReceiverSample& sample : live.receivers) {
    const RegisteredReceiver& receiver = sample.receiver;
    if (receiver.role != ReceiverRole::Stream) continue;
    StatusSnapshot::StreamRow row;
    row.client = addressText(receiver.peer, receiver.peerPort);
    if (const Channel* channel = channelOf(playlist, receiver)) row.title = channel->title;
    row.group = platform::ipv4Text(receiver.group);
    row.port = receiver.port;
    row.source = sourceText(receiver.source);
    row.startedUnix = receiver.startedUnix;
    row.seconds = std::max<std::int64_t>(nowMs - receiver.startedMs, 0) / 1000;
    row.bytesSent = sample.bytesSent;
    row.bitRate = sample.bitRate;
    row.format = formatName(sample.format);
    out.streams.push_back(std::move(row));
  }

  if (sources.pairs) {
    out.snooper = true;
    for (const IgmpSnooper::PairStatus& pair : sources.pairs()) {
      StatusSnapshot::PairRow row;
      row.host = platform::ipv4Text(pair.host);
      row.group = platform::ipv4Text(pair.group);
      row.secondsToLapse = pair.secondsToLapse;
      for (const ReceiverSample& sample : live.receivers) {
        const RegisteredReceiver& receiver = sample.receiver;
        if (receiver.role != ReceiverRole::Forward || receiver.peer != pair.host ||
            receiver.group != pair.group) {
          continue;
        }
        row.port = receiver.port;
        row.datagrams += sample.datagramsSent;
        row.bytes += sample.bytesSent;
      }
      out.pairs.push_back(std::move(row));
    }
  }

  for (const GroupTotals& totals : live.groups) {
    out.groups.push_back(StatusSnapshot::GroupRow{
        platform::ipv4Text(totals.group), totals.port, totals.receivers, totals.datagrams,
        totals.bytes, totals.ccErrors, totals.rtpGaps, sourceText(totals.source),
        totals.rtpReordered, totals.rtpDuplicates, totals.rtpLost});
  }
  if (sources.logText) out.log = lastLines(sources.logText(), kStatusLogLines);
  return out;
}

StatusSnapshot collectStatus(const StatusSources& sources, StreamRegistry& registry) {
  const std::int64_t nowMs = platform::monotonicMs();
  return buildStatus(sources, registry.snapshot(nowMs), nowMs, platform::unixSeconds());
}

std::string statusJson(const StatusSnapshot& status) {
  std::string out;
  {
    JsonObject top(out);
    top.text("version", status.version);
    top.signedNumber("time", status.nowUnix);
    top.signedNumber("uptime_seconds", status.uptimeSeconds);
    jsonArray(top, out, "channels", status.channels, [&](JsonObject& row, const auto& c) {
      row.key("number");
      out += c.number == kUnnumbered ? "null" : std::to_string(c.number);
      row.text("title", c.title);
      if (!c.source.empty()) row.text("source", c.source);
      row.text("group", c.group);
      row.number("port", c.port);
      row.number("watchers", c.watchers);
      jsonProgramme(row, out, "now", c.programmes.now);
      jsonProgramme(row, out, "next", c.programmes.next);
    });
    jsonArray(top, out, "streams", status.streams, [](JsonObject& row, const auto& s) {
      row.text("client", s.client);
      row.textOrNull("title", s.title);
      if (!s.source.empty()) row.text("source", s.source);
      row.text("group", s.group);
      row.number("port", s.port);
      row.signedNumber("started", s.startedUnix);
      row.signedNumber("seconds", s.seconds);
      row.number("bytes_sent", s.bytesSent);
      row.number("bit_rate", s.bitRate);
      row.textOrNull("format", s.format);
    });
    top.key("snooper");
    out += status.snooper ? "true" : "false";
    jsonArray(top, out, "snooper_pairs", status.pairs, [](JsonObject& row, const auto& p) {
      row.text("host", p.host);
      row.text("group", p.group);
      row.number("port", p.port);
      row.number("datagrams", p.datagrams);
      row.number("bytes", p.bytes);
      row.signedNumber("seconds_to_lapse", p.secondsToLapse);
    });
    jsonArray(top, out, "groups", status.groups, [](JsonObject& row, const auto& g) {
      if (!g.source.empty()) row.text("source", g.source);
      row.text("group", g.group);
      row.number("port", g.port);
      row.number("receivers", g.receivers);
      row.number("datagrams", g.datagrams);
      row.number("bytes", g.bytes);
      row.number("cc_errors", g.ccErrors);
      row.number("rtp_gaps", g.rtpGaps);
      row.number("rtp_reordered", g.rtpReordered);
      row.number("rtp_duplicates", g.rtpDuplicates);
      row.number("rtp_lost", g.rtpLost);
    });
    top.key("log");
    out += '[';
    for (std::size_t i = 0; i < status.log.size(); ++i) {
      if (i != 0) out += ',';
      appendJsonString(out, status.log[i]);
    }
    out += ']';
    top.key("refusals");
    JsonObject refusals(out);
    for (const RefusalRow& row : refusalRows(status.refusals)) refusals.number(row.name, row.count);
  }
  out += '\n';
  return out;
}

std::string statusMetrics(const StatusSnapshot& status) {
  std::string out;
  const auto head = [&out](std::string_view name, std::string_view type, std::string_view help) {
    out += "# HELP tessaran_" + std::string(name) + " " + std::string(help) + "\n";
    out += "# TYPE tessaran_" + std::string(name) + " " + std::string(type) + "\n";
  };
  const auto single = [&](std::string_view name, std::string_view type, std::string_view help,
                          std::uint64_t value) {
    head(name, type, help);
    out += "tessaran_" + std::string(name) + " " + std::to_string(value) + "\n";
  };
  std::set<std::string> clients;
  for (const auto& stream : status.streams) {
    clients.insert(stream.client.substr(0, stream.client.rfind(':')));
  }
  single("uptime_seconds", "gauge", "Seconds since the relay started.",
         std::uint64_t(status.uptimeSeconds));
  single("streams", "gauge", "HTTP streams running now.", status.streams.size());
  single("clients", "gauge", "Distinct client addresses with a stream running now.",
         clients.size());
  single("snooper_pairs", "gauge", "IGMP snooper (host, group) pairs forwarded now.",
         status.pairs.size());

  const auto perGroup = [&](std::string_view name, std::string_view type, std::string_view help,
                            auto value) {
    head(name, type, help);
    for (const auto& g : status.groups) {
      out += "tessaran_" + std::string(name) + "{group=\"" + labelValue(g.group) + "\",port=\"" +
             std::to_string(g.port) + "\"";
      if (!g.source.empty()) out += ",source=\"" + labelValue(g.source) + "\"";
      out += "} " + std::to_string(value(g)) + "\n";
    }
  };
  perGroup("group_receivers", "gauge", "Receivers of the group running now.",
           [](const auto& g) { return g.receivers; });
  perGroup("group_datagrams_total", "counter", "Datagrams received from the group.",
           [](const auto& g) { return g.datagrams; });
  perGroup("group_bytes_total", "counter", "Bytes received from the group.",
           [](const auto& g) { return g.bytes; });
  perGroup("group_cc_errors_total", "counter",
           "Transport stream continuity counter errors in what was received.",
           [](const auto& g) { return g.ccErrors; });
  perGroup("group_rtp_gaps_total", "counter", "RTP sequence number gaps in what was received.",
           [](const auto& g) { return g.rtpGaps; });
  perGroup("group_rtp_reordered_total", "counter",
           "RTP datagrams received after one with a later sequence number, put back in order.",
           [](const auto& g) { return g.rtpReordered; });
  perGroup("group_rtp_duplicates_total", "counter", "RTP datagrams received twice, dropped.",
           [](const auto& g) { return g.rtpDuplicates; });
  perGroup("group_rtp_lost_total", "counter",
           "RTP datagrams the reorder window gave up waiting for.",
           [](const auto& g) { return g.rtpLost; });
  head("refusals_total", "counter", "Connections and requests refused, by reason.");
  for (const RefusalRow& row : refusalRows(status.refusals)) {
    out += "tessaran_refusals_total{reason=\"" + std::string(row.name) + "\"} " +
           std::to_string(row.count) + "\n";
  }
  return out;
}

std::string statusHtml(const StatusSnapshot& status) {
  std::string out;
  const auto text = [&out](std::string_view value) { appendHtmlText(out, value); };
  const auto cell = [&](std::string_view value, bool number = false) {
    out += number ? "<td class=n>" : "<td>";
    text(value);
    out += "</td>";
  };
  const auto table = [&out](std::string_view heading, std::size_t rows,
                            std::initializer_list<std::string_view> columns) {
    out += "<h2>";
    out += heading;
    out += "</h2>";
    if (rows == 0) {
      out += "<p class=none>none</p>";
      return false;
    }
    out += "<div class=t><table><tr>";
    for (const std::string_view column : columns) {
      out += "<th>";
      out += column;
      out += "</th>";
    }
    out += "</tr>";
    return true;
  };
  const auto endTable = [&out] { out += "</table></div>\n"; };

  out +=
      "<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8>"
      "<meta name=viewport content=\"width=device-width, initial-scale=1\">"
      "<meta http-equiv=refresh content=\"" +
      std::to_string(kStatusRefreshSeconds) +
      "\"><title>Relay status</title><style>"
      "body{font:15px/1.4 system-ui,sans-serif;margin:0;padding:12px;color:#222;background:#fafafa}"
      "h1{font-size:20px;margin:0 0 4px}h2{font-size:16px;margin:18px 0 6px}"
      ".sub{color:#666;font-size:13px}.none{color:#888;margin:0}"
      ".t{overflow-x:auto}table{border-collapse:collapse;width:100%;background:#fff}"
      "th,td{padding:4px 6px;border-bottom:1px solid #ddd;text-align:left;white-space:nowrap}"
      "th{background:#eee;font-size:13px}.n{text-align:right}small{color:#666}"
      ".on{color:#070;font-weight:bold}.bad{color:#b00;font-weight:bold}"
      "pre{font-size:12px;background:#fff;border:1px solid #ddd;padding:6px;overflow-x:auto}"
      "</style></head><body>\n<h1>Relay status</h1><div class=sub>version ";
  text(status.version);
  out += " &middot; up " + durationText(status.uptimeSeconds) + " &middot; " +
         std::to_string(status.streams.size()) + " stream(s) &middot; refreshes every " +
         std::to_string(kStatusRefreshSeconds) + " s</div>\n";

  // Each cell holds a line and a smaller second line, so a phone shows
  // the whole row.
  const auto twoLines = [&](std::string_view first, std::string_view second, bool on = false) {
    out += on ? "<td class=on>" : "<td>";
    text(first);
    out += "<br><small>";
    text(second);
    out += "</small></td>";
  };
  if (table("Streams", status.streams.size(), {"channel", "client", "rate"})) {
    for (const auto& s : status.streams) {
      out += "<tr id=\"stream-" + s.client + "\">";
      twoLines(s.title.empty() ? "(not in playlist)" : s.title,
               streamText(s.source, s.group, s.port), true);
      twoLines(s.client, "since " + clockText(s.startedUnix) + ", " + durationText(s.seconds));
      twoLines(rateText(s.bitRate),
               bytesText(s.bytesSent) + ", " + (s.format.empty() ? "probing" : s.format));
      out += "</tr>";
    }
    endTable();
  }

  if (table("Received groups", status.groups.size(),
            {"group", "datagrams", "CC errors", "RTP gaps", "RTP reordered", "RTP duplicates",
             "RTP lost"})) {
    for (const auto& g : status.groups) {
      out += "<tr>";
      twoLines(streamText(g.source, g.group, g.port), std::to_string(g.receivers) + " receiving");
      twoLines(std::to_string(g.datagrams), bytesText(g.bytes));
      out += g.ccErrors ? "<td class=\"n bad\">" : "<td class=n>";
      out += std::to_string(g.ccErrors) + "</td>";
      out += g.rtpGaps ? "<td class=\"n bad\">" : "<td class=n>";
      out += std::to_string(g.rtpGaps) + "</td>";
      cell(std::to_string(g.rtpReordered), true);
      cell(std::to_string(g.rtpDuplicates), true);
      out += g.rtpLost ? "<td class=\"n bad\">" : "<td class=n>";
      out += std::to_string(g.rtpLost) + "</td></tr>";
    }
    endTable();
  }

  if (status.snooper && table("IGMP snooper", status.pairs.size(),
                              {"host", "group", "datagrams", "bytes", "lapses in"})) {
    for (const auto& p : status.pairs) {
      out += "<tr>";
      cell(p.host);
      cell(p.group + (p.port ? ":" + std::to_string(p.port) : std::string()));
      cell(std::to_string(p.datagrams), true);
      cell(bytesText(p.bytes), true);
      cell(std::to_string(p.secondsToLapse) + " s", true);
      out += "</tr>";
    }
    endTable();
  }

  const std::size_t channelRows = status.channels.size();
  if (status.guide ? table("Playlist", channelRows, {"#", "channel", "group", "watching", "on air"})
                   : table("Playlist", channelRows, {"#", "channel", "group", "watching"})) {
    for (const auto& c : status.channels) {
      out += "<tr>";
      cell(c.number == kUnnumbered ? "" : std::to_string(c.number), true);
      cell(c.title);
      cell(streamText(c.source, c.group, c.port));
      if (c.watchers) {
        out += "<td class=on>" + std::to_string(c.watchers) + "</td>";
      } else {
        cell("");
      }
      if (status.guide) {
        // The programme on air, and the next one smaller below it.
        const std::string now = onAirText(c.programmes);
        out += "<td>";
        text(now);
        if (c.programmes.next) {
          if (!now.empty()) out += "<br>";
          out += "<small>";
          text(programmeText(*c.programmes.next));
          out += "</small>";
        }
        out += "</td>";
      }
      out += "</tr>";
    }
    endTable();
  }

  // Refusals: every reason, with its count, so that a zero shows too.
  table("Refused", 1, {"reason", "count"});
  for (const RefusalRow& row : refusalRows(status.refusals)) {
    out += "<tr id=\"refused-" + std::string(row.name) + "\">";
    cell(row.shown);
    out += row.count ? "<td class=\"n bad\">" : "<td class=n>";
    out += std::to_string(row.count) + "</td></tr>";
  }
  endTable();

  out += "<h2>Events</h2><pre>";
  for (const std::string& line : status.log) {
    text(line);
    out += '\n';
  }
  out += "</pre>\n</body></html>\n";
  return out;
}

}  // namespace relay
