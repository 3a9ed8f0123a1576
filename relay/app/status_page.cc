#include "relay/app/status_page.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string_view>

#include "common/version.h"
#include "platform/clock.h"
#include "relay/stream/ts_probe.h"

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

const Channel* channelOf(const ChannelList* playlist, platform::Ipv4 group, std::uint16_t port) {
  if (!playlist) return nullptr;
  for (const Channel& channel : playlist->channels) {
    if (channel.port == port && platform::parseIpv4(channel.address) == group) return &channel;
  }
  return nullptr;
}

// JSON string: quotes, backslashes and control characters escaped; the
// text is UTF-8 already.
void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

void appendHtmlText(std::string& out, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
}

// Prometheus label value: backslash, quote and newline escaped.
std::string labelValue(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c == '\n' ? 'n' : c;
  }
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

}  // namespace

StatusSnapshot buildStatus(const StatusSources& sources, const StreamRegistry::Snapshot& live,
                           std::int64_t nowMs, std::int64_t nowUnix) {
  StatusSnapshot out;
  out.version = std::string(common::kVersion);
  out.nowUnix = nowUnix;
  out.uptimeSeconds = std::max<std::int64_t>(nowMs - sources.startMs, 0) / 1000;
  const ChannelList* playlist = sources.playlist.get();

  if (playlist) {
    for (const Channel& channel : playlist->channels) {
      StatusSnapshot::ChannelRow row{channel.number, channel.title, channel.address, channel.port};
      const platform::Ipv4 group = platform::parseIpv4(channel.address);
      for (const ReceiverSample& sample : live.receivers) {
        if (sample.receiver.group == group && sample.receiver.port == channel.port) ++row.watchers;
      }
      out.channels.push_back(std::move(row));
    }
  }

  for (const ReceiverSample& sample : live.receivers) {
    const RegisteredReceiver& receiver = sample.receiver;
    if (receiver.role != ReceiverRole::Stream) continue;
    StatusSnapshot::StreamRow row;
    row.client = addressText(receiver.peer, receiver.peerPort);
    if (const Channel* channel = channelOf(playlist, receiver.group, receiver.port)) {
      row.title = channel->title;
    }
    row.group = platform::ipv4Text(receiver.group);
    row.port = receiver.port;
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
    out.groups.push_back(StatusSnapshot::GroupRow{platform::ipv4Text(totals.group), totals.port,
                                                  totals.receivers, totals.datagrams, totals.bytes,
                                                  totals.ccErrors, totals.rtpGaps});
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
      row.text("group", c.group);
      row.number("port", c.port);
      row.number("watchers", c.watchers);
    });
    jsonArray(top, out, "streams", status.streams, [](JsonObject& row, const auto& s) {
      row.text("client", s.client);
      row.textOrNull("title", s.title);
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
      row.text("group", g.group);
      row.number("port", g.port);
      row.number("receivers", g.receivers);
      row.number("datagrams", g.datagrams);
      row.number("bytes", g.bytes);
      row.number("cc_errors", g.ccErrors);
      row.number("rtp_gaps", g.rtpGaps);
    });
    top.key("log");
    out += '[';
    for (std::size_t i = 0; i < status.log.size(); ++i) {
      if (i != 0) out += ',';
      appendJsonString(out, status.log[i]);
    }
    out += ']';
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
             std::to_string(g.port) + "\"} " + std::to_string(value(g)) + "\n";
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
  return out;
}

std::string statusHtml(const StatusSnapshot& status) {
  (void)appendHtmlText;
  return statusJson(status);
}

}  // namespace relay
