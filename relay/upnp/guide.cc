#include "relay/upnp/guide.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/xmlIO.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlreader.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>

#include "common/text.h"
#include "common/utf8.h"
#include "relay/upnp/control_handler.h"

namespace relay {
namespace {

// No entity substitution, no DTD loaded or checked, nothing fetched, and
// libxml2's limits on text and depth left in place (no XML_PARSE_HUGE).
// Short texts (the blanks between elements) are kept inside their nodes.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOCDATA | XML_PARSE_COMPACT;

// The guide is read through our own input callbacks, so nothing in libxml2
// ever needs to open a file or URL by name: a DTD or entity the file names
// is refused here should any path ever ask for one.
xmlParserInputPtr refuseExternal(const char*, const char*, xmlParserCtxtPtr) {
  return nullptr;
}

void installRefusingLoader() {
  static std::once_flag once;
  std::call_once(once, [] {
    xmlInitParser();
    xmlSetExternalEntityLoader(refuseExternal);
  });
}

// Gzip goes through gzread, which says when a stream ends early. Plain
// bytes are read from the file in large pieces and handed to the parser in
// the few kilobytes it asks for at a time (gzread would copy them through
// its own buffer first).
struct Input {
  gzFile file = nullptr;
  int fd = -1;  // plain bytes
  std::vector<char> buffer;
  std::size_t begin = 0;
  std::size_t end = 0;
  std::string error;
  const platform::Event* stop = nullptr;
  unsigned reads = 0;
};

// Looked at every 32 reads (a few hundred KB): a stop ends a long load at
// once, without a check per node.
bool stopAsked(Input& input) {
  return input.stop != nullptr && ++input.reads % 32 == 0 &&
         const_cast<platform::Event*>(input.stop)->tryConsume();
}

int readPlain(Input& input, char* out, int length) {
  if (input.begin == input.end) {
    ssize_t n;
    do {
      n = ::read(input.fd, input.buffer.data(), input.buffer.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      input.error = "read error: " + std::string(std::strerror(errno));
      return -1;
    }
    input.begin = 0;
    input.end = std::size_t(n);
  }
  const std::size_t n = std::min(std::size_t(length), input.end - input.begin);
  std::memcpy(out, input.buffer.data() + input.begin, n);
  input.begin += n;
  return int(n);
}

int readInput(void* context, char* buffer, int length) {
  auto& input = *static_cast<Input*>(context);
  if (stopAsked(input)) {
    input.error = "stopped";
    return -1;
  }
  if (input.file == nullptr) return readPlain(input, buffer, length);
  const int n = gzread(input.file, buffer, unsigned(length));
  if (n < 0) {
    int code = Z_OK;
    const char* message = gzerror(input.file, &code);
    input.error = code == Z_BUF_ERROR ? "truncated gzip" : "gzip error: " + std::string(message);
    return -1;
  }
  if (n == 0) {
    // gzread reports a gzip stream cut short as the end, with the error set.
    int code = Z_OK;
    gzerror(input.file, &code);
    if (code == Z_BUF_ERROR) {
      input.error = "truncated gzip";
      return -1;
    }
  }
  return n;
}

int closeInput(void*) {
  return 0;
}

struct ReaderErrors {
  std::string first;
};

void onReaderError(void* context, xmlErrorPtr error) {
  auto& errors = *static_cast<ReaderErrors*>(context);
  if (error == nullptr || error->level < XML_ERR_ERROR || !errors.first.empty()) return;
  std::string message = error->message != nullptr ? error->message : "unknown";
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  errors.first = "XML error at line " + std::to_string(error->line) + ": " + message;
}

struct ReaderDeleter {
  void operator()(xmlTextReaderPtr reader) const { xmlFreeTextReader(reader); }
};

std::string_view text(const xmlChar* value) {
  return value == nullptr ? std::string_view()
                          : std::string_view(reinterpret_cast<const char*>(value));
}

// Whether cleanText gives the text back unchanged, as it does for nearly
// every text of a guide: printable ASCII, tabs and line breaks.
bool plainText(std::string_view value) {
  return std::all_of(value.begin(), value.end(),
                     [](char c) { return (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n'; });
}

// Clean UTF-8 that keeps its line breaks (cleanUtf8 drops every control).
std::string cleanText(std::string_view value) {
  std::string out;
  for (;;) {
    const std::size_t end = value.find('\n');
    out += common::cleanUtf8(value.substr(0, end));
    if (end == std::string_view::npos) return out;
    out += '\n';
    value.remove_prefix(end + 1);
  }
}

// An element as read: one attribute (the channel's id or the programme's
// channel) set apart so it can be renamed, the other attributes and the
// content as XML text ready to be written again.
struct ElementCopy {
  std::string key;
  std::string attributes;  // each " name=\"value\""
  std::string content;
  bool empty = true;
  std::string start;
  std::optional<std::string> stop;
  std::vector<std::string> displayNames;
  std::string title;

  // Emptied for the next element, keeping the strings' room.
  void clear() {
    key.clear();
    attributes.clear();
    content.clear();
    empty = true;
    start.clear();
    stop.reset();
    displayNames.clear();
    title.clear();
  }
};

// The attribute the reader stands on, when its value is one text part of
// plain text: read from the node the parser built, where reading it part
// by part would have the reader make a node for each part.
std::optional<std::string_view> plainAttributeValue(xmlTextReaderPtr reader) {
  const xmlNode* node = xmlTextReaderCurrentNode(reader);
  if (node == nullptr || node->type != XML_ATTRIBUTE_NODE) return std::nullopt;
  const xmlNode* part = reinterpret_cast<const xmlAttr*>(node)->children;
  if (part == nullptr) return std::string_view();
  if (part->type != XML_TEXT_NODE || part->next != nullptr) return std::nullopt;
  const std::string_view value = text(part->content);
  if (!plainText(value)) return std::nullopt;
  return value;
}

// The attribute's value from its text parts alone: an entity reference in
// it stays unexpanded and is left out.
std::string attributeValue(xmlTextReaderPtr reader) {
  if (const std::optional<std::string_view> plain = plainAttributeValue(reader)) {
    return std::string(*plain);
  }
  std::string value;
  while (xmlTextReaderReadAttributeValue(reader) == 1) {
    if (xmlTextReaderNodeType(reader) == XML_READER_TYPE_TEXT) {
      value += text(xmlTextReaderConstValue(reader));
    }
  }
  return cleanText(value);
}

// The value of the attribute `name` of the element the reader stands on.
std::optional<std::string> attributeNamed(xmlTextReaderPtr reader, std::string_view name) {
  std::optional<std::string> value;
  const int count = xmlTextReaderAttributeCount(reader);
  for (int i = 0; i < count && xmlTextReaderMoveToAttributeNo(reader, i) == 1; ++i) {
    if (text(xmlTextReaderConstName(reader)) == name) {
      value = attributeValue(reader);
      break;
    }
  }
  xmlTextReaderMoveToElement(reader);
  return value;
}

void appendAttribute(std::string& out, std::string_view name, std::string_view keyName,
                     std::string_view value, ElementCopy* top) {
  if (top != nullptr && name == keyName) {
    top->key = value;
    return;
  }
  if (top != nullptr) {
    if (name == "start") {
      top->start = value;
    } else if (name == "stop") {
      top->stop = std::string(value);
    }
  }
  out += ' ';
  out += name;
  out += "=\"";
  common::appendXmlEscaped(out, value);
  out += '"';
}

void appendAttributes(xmlTextReaderPtr reader, std::string& out, std::string_view keyName,
                      ElementCopy* top) {
  // By number: reading a value leaves the reader inside it, from where no
  // next attribute is found.
  const int count = xmlTextReaderAttributeCount(reader);
  for (int i = 0; i < count && xmlTextReaderMoveToAttributeNo(reader, i) == 1; ++i) {
    // The name stays valid while the reader stands on the attribute: the
    // value is read from its node, not by moving into it.
    const std::string_view name = text(xmlTextReaderConstName(reader));
    const std::optional<std::string_view> plain = plainAttributeValue(reader);
    if (plain) {
      appendAttribute(out, name, keyName, *plain, top);
    } else {
      const std::string ownedName(name);
      appendAttribute(out, ownedName, keyName, attributeValue(reader), top);
    }
  }
  xmlTextReaderMoveToElement(reader);
}

// Copies the element the reader stands on, up to its end. Text is made
// clean UTF-8 and escaped again; entity references, comments and
// processing instructions are left out. False when the reader fails.
bool copyElement(xmlTextReaderPtr reader, std::string_view keyName, ElementCopy& copy) {
  const int depth = xmlTextReaderDepth(reader);
  appendAttributes(reader, copy.attributes, keyName, &copy);
  if (xmlTextReaderIsEmptyElement(reader)) return true;
  copy.empty = false;
  // The text of a direct child being read, when it is one we keep aside.
  std::string* collecting = nullptr;
  bool titleSeen = false;
  for (;;) {
    const int status = xmlTextReaderRead(reader);
    if (status != 1) return false;
    const int type = xmlTextReaderNodeType(reader);
    const int nodeDepth = xmlTextReaderDepth(reader);
    if (type == XML_READER_TYPE_END_ELEMENT) {
      if (nodeDepth == depth) return true;
      if (nodeDepth == depth + 1) collecting = nullptr;
      copy.content += "</";
      copy.content += text(xmlTextReaderConstName(reader));
      copy.content += '>';
    } else if (type == XML_READER_TYPE_ELEMENT) {
      const std::string_view name = text(xmlTextReaderConstName(reader));
      const bool empty = xmlTextReaderIsEmptyElement(reader);
      copy.content += '<';
      copy.content += name;
      appendAttributes(reader, copy.content, {}, nullptr);
      copy.content += empty ? "/>" : ">";
      if (nodeDepth == depth + 1 && !empty) {
        if (name == "display-name") {
          collecting = &copy.displayNames.emplace_back();
        } else if (name == "title" && !titleSeen) {
          titleSeen = true;
          collecting = &copy.title;
        }
      }
    } else if (type == XML_READER_TYPE_TEXT || type == XML_READER_TYPE_CDATA ||
               type == XML_READER_TYPE_WHITESPACE ||
               type == XML_READER_TYPE_SIGNIFICANT_WHITESPACE) {
      const std::string_view raw = text(xmlTextReaderConstValue(reader));
      std::string cleaned;
      const std::string_view value =
          plainText(raw) ? raw : std::string_view(cleaned = cleanText(raw));
      common::appendXmlEscaped(copy.content, value);
      if (collecting != nullptr && nodeDepth == depth + 2) *collecting += value;
    }
  }
}

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view value) const {
    return std::hash<std::string_view>()(value);
  }
};

struct KeptChannel {
  std::string id;  // as the guide names it
  ElementCopy copy;
};

// A kept programme: its text after the channel attribute (the other
// attributes, the content and the end tag) is in the text blocks.
struct KeptProgramme {
  std::uint32_t channel;  // index into the kept channels
  std::uint32_t block;
  std::size_t offset;
  std::size_t length;  // a programme may run past a block's size
  GuideProgramme times;
};

// The kept programmes' texts, one after the other in blocks of a few
// megabytes: nothing is copied as they grow, and each block can go as soon
// as the document has taken its texts.
struct TextBlocks {
  static constexpr std::size_t kBlockBytes = 4 << 20;
  std::vector<std::string> blocks;

  // Room for `length` more bytes, in the last block or a new one.
  std::string& roomFor(std::size_t length) {
    if (blocks.empty() || blocks.back().size() + length > blocks.back().capacity()) {
      blocks.emplace_back().reserve(std::max(kBlockBytes, length));
    }
    return blocks.back();
  }
};

// Display names compare with ASCII case folding: other letters must match
// exactly.
bool linkedByName(const GuideChannelKey& key, const ElementCopy& channel) {
  for (const std::string& name : channel.displayNames) {
    if ((!key.tvgName.empty() && common::equalsIgnoreCaseAscii(name, key.tvgName)) ||
        (!key.title.empty() && common::equalsIgnoreCaseAscii(name, key.title))) {
      return true;
    }
  }
  return false;
}

// Whether any key could link to this guide channel, by id or by name.
bool wanted(const std::vector<GuideChannelKey>& keys, const std::set<std::string, std::less<>>& ids,
            const ElementCopy& channel) {
  if (ids.contains(channel.key)) return true;
  return std::any_of(keys.begin(), keys.end(),
                     [&](const GuideChannelKey& key) { return linkedByName(key, channel); });
}

void appendStartOf(std::string& out, std::string_view name, std::string_view keyName,
                   std::string_view keyValue) {
  out += "  <";
  out += name;
  out += ' ';
  out += keyName;
  out += "=\"";
  common::appendXmlEscaped(out, keyValue);
  out += '"';
}

// What follows the key attribute: the other attributes, the content and
// the end tag.
void appendRest(std::string& out, std::string_view name, const ElementCopy& copy) {
  out += copy.attributes;
  if (copy.empty) {
    out += "/>\n";
    return;
  }
  out += '>';
  out += copy.content;
  out += "</";
  out += name;
  out += ">\n";
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian), without the
// C library's time zone.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  namespace chrono = std::chrono;
  return chrono::sys_days(chrono::year(int(y)) / chrono::month(m) / chrono::day(d))
      .time_since_epoch()
      .count();
}

bool readDigits(std::string_view& text, std::size_t count, int& value) {
  if (text.size() < count) return false;
  value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  text.remove_prefix(count);
  return true;
}

// What to say before the error of a file that failed before its first
// element reached us: the parser may have read the root start tag already.
std::string rootOfFailed(std::unique_ptr<xmlTextReader, ReaderDeleter>& reader) {
  // The reader hands the document over: it is freed here, after the reader.
  xmlDocPtr document = xmlTextReaderCurrentDoc(reader.get());
  reader.reset();
  const xmlNode* root = document != nullptr ? xmlDocGetRootElement(document) : nullptr;
  const bool tv = root != nullptr && text(root->name) == "tv";
  const bool other = root != nullptr && !tv;
  xmlFreeDoc(document);
  return tv ? "" : other ? "not XMLTV, " : "not XMLTV: ";
}

}  // namespace

std::optional<std::int64_t> parseXmltvTime(std::string_view text) {
  int year, month, day, hour, minute, second = 0;
  if (!readDigits(text, 4, year) || !readDigits(text, 2, month) || !readDigits(text, 2, day) ||
      !readDigits(text, 2, hour) || !readDigits(text, 2, minute)) {
    return std::nullopt;
  }
  if (!text.empty() && text[0] >= '0' && text[0] <= '9' && !readDigits(text, 2, second)) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  std::int64_t offset = 0;
  if (!text.empty() && text[0] == ' ') text.remove_prefix(1);
  if (!text.empty()) {
    const char sign = text[0];
    int zoneHours, zoneMinutes;
    text.remove_prefix(1);
    if ((sign != '+' && sign != '-') || !readDigits(text, 2, zoneHours) ||
        !readDigits(text, 2, zoneMinutes) || !text.empty() || zoneHours > 23 || zoneMinutes > 59) {
      return std::nullopt;
    }
    offset = (zoneHours * 3600 + zoneMinutes * 60) * (sign == '-' ? -1 : 1);
  }
  return daysFromCivil(year, unsigned(month), unsigned(day)) * 86400 + hour * 3600 + minute * 60 +
         second - offset;
}

NowAndNext Guide::nowAndNext(std::size_t keyIndex, std::int64_t time) const {
  NowAndNext out;
  if (keyIndex >= scheduleOfKey.size() || scheduleOfKey[keyIndex] < 0) return out;
  const std::vector<GuideProgramme>& schedule = schedules[std::size_t(scheduleOfKey[keyIndex])];
  const auto after = std::upper_bound(
      schedule.begin(), schedule.end(), time,
      [](std::int64_t t, const GuideProgramme& programme) { return t < programme.start; });
  if (after != schedule.begin() && std::prev(after)->stop > time) out.now = *std::prev(after);
  if (after != schedule.end()) out.next = *after;
  return out;
}

std::string programmeText(const GuideProgramme& programme) {
  const auto clock = [](std::int64_t unixSeconds) {
    const std::time_t time = std::time_t(unixSeconds);
    std::tm local{};
    localtime_r(&time, &local);
    char text[8];
    std::strftime(text, sizeof text, "%H:%M", &local);
    return std::string(text);
  };
  return clock(programme.start) + "-" + clock(programme.stop) + " " + programme.title;
}

std::string onAirText(const NowAndNext& programmes) {
  return programmes.now ? programmeText(*programmes.now) : std::string();
}

GuideLoad loadGuide(const std::string& path, const std::vector<GuideChannelKey>& keys,
                    std::int64_t now, const platform::Event* stop) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    GuideLoad result;
    result.error = "cannot open " + path;
    return result;
  }
  return loadGuide(fd, path, keys, now, stop);
}

GuideLoad loadGuide(int fd, std::string_view path, const std::vector<GuideChannelKey>& keys,
                    std::int64_t now, const platform::Event* stop) {
  installRefusingLoader();
  GuideLoad result;
  // Gzip by its first two bytes, as gzread tells it; what cannot be read
  // at an offset goes through gzread as well.
  unsigned char magic[2] = {};
  const bool gzip = ::pread(fd, magic, 2, 0) != 2 || (magic[0] == 0x1F && magic[1] == 0x8B);
  Input input;
  input.stop = stop;
  struct FileCloser {
    int fd;
    ~FileCloser() {
      if (fd >= 0) ::close(fd);
    }
  } plainOwner{fd};
  std::unique_ptr<gzFile_s, int (*)(gzFile)> fileOwner(nullptr, gzclose);
  if (gzip) {
    input.file = gzdopen(fd, "rb");
    if (input.file == nullptr) {
      result.error = "cannot open " + std::string(path);
      return result;
    }
    plainOwner.fd = -1;
    fileOwner.reset(input.file);
    gzbuffer(input.file, 128 * 1024);
  } else {
    input.fd = fd;
    input.buffer.resize(256 * 1024);
  }

  std::unique_ptr<xmlTextReader, ReaderDeleter> reader(
      xmlReaderForIO(readInput, closeInput, &input, nullptr, nullptr, kParseOptions));
  if (!reader) {
    result.error = "cannot read " + std::string(path);
    return result;
  }
  ReaderErrors errors;
  xmlTextReaderSetStructuredErrorHandler(reader.get(), onReaderError, &errors);

  std::set<std::string, std::less<>> keyIds;
  for (const GuideChannelKey& key : keys) {
    if (!key.tvgId.empty()) keyIds.insert(key.tvgId);
  }
  std::vector<KeptChannel> channels;
  // Asked once for every programme of the file.
  std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>> channelById;
  // A deque: growing never holds two copies of the records.
  std::deque<KeptProgramme> programmes;
  TextBlocks texts;
  // One copy reused for every programme, so its strings keep their room.
  ElementCopy copy;
  bool rootSeen = false;
  int status = 0;
  // After a subtree is passed over the reader already stands on the node
  // that follows it.
  bool standing = false;
  while ((status = standing ? status : xmlTextReaderRead(reader.get())) == 1) {
    standing = false;
    if (xmlTextReaderNodeType(reader.get()) != XML_READER_TYPE_ELEMENT) continue;
    const std::string_view name = text(xmlTextReaderConstName(reader.get()));
    const int depth = xmlTextReaderDepth(reader.get());
    if (!rootSeen) {
      if (name != "tv") {
        result.error = "not XMLTV";
        return result;
      }
      rootSeen = true;
      continue;
    }
    if (depth != 1) continue;
    if (name == "channel") {
      ElementCopy copy;
      if (!copyElement(reader.get(), "id", copy)) {
        status = -1;
        break;
      }
      if (copy.key.empty() || channelById.contains(copy.key) || !wanted(keys, keyIds, copy)) {
        continue;
      }
      channelById.emplace(copy.key, channels.size());
      channels.push_back({copy.key, std::move(copy)});
    } else if (name == "programme") {
      // Most programmes are of channels the playlist lacks: they are passed
      // over without being copied.
      const std::optional<std::string> of = attributeNamed(reader.get(), "channel");
      if (!of || !channelById.contains(*of)) {
        status = xmlTextReaderNext(reader.get());
        standing = true;
        continue;
      }
      copy.clear();
      if (!copyElement(reader.get(), "channel", copy)) {
        status = -1;
        break;
      }
      const auto channel = channelById.find(copy.key);
      if (channel == channelById.end()) continue;
      const auto start = parseXmltvTime(copy.start);
      if (!start) continue;
      std::optional<std::int64_t> stop = *start;
      if (copy.stop) {
        stop = parseXmltvTime(*copy.stop);
        if (!stop) continue;
      }
      if (*stop <= now - kGuideKeepBehindSeconds || *start >= now + kGuideKeepAheadSeconds) {
        continue;
      }
      std::string& block = texts.roomFor(copy.attributes.size() + copy.content.size() + 32);
      const std::size_t offset = block.size();
      appendRest(block, "programme", copy);
      programmes.push_back({std::uint32_t(channel->second), std::uint32_t(texts.blocks.size() - 1),
                            offset, block.size() - offset,
                            GuideProgramme{*start, *stop, copy.title}});
    } else {
      status = xmlTextReaderNext(reader.get());
      standing = true;
    }
  }
  if (!input.error.empty()) {
    result.error = input.error;
    return result;
  }
  if (status != 0 || !errors.first.empty()) {
    const std::string reason = errors.first.empty() ? "XML error: unreadable" : errors.first;
    result.error = rootSeen ? reason : rootOfFailed(reader) + reason;
    return result;
  }
  if (!rootSeen) {
    result.error = "not XMLTV";
    return result;
  }

  // Each key links to the channel with its tvg-id, else to the first one
  // it names; a channel linked by name takes the first linking key's
  // tvg-id, unless the guide has a channel of that id already.
  Guide guide;
  std::vector<std::string> outputId(channels.size());
  std::map<std::string, std::size_t, std::less<>> channelByOutputId;
  guide.scheduleOfKey.assign(keys.size(), -1);
  std::vector<std::int32_t> scheduleOfChannel(channels.size(), -1);
  auto link = [&](std::size_t key, std::size_t channel) {
    if (scheduleOfChannel[channel] < 0) {
      scheduleOfChannel[channel] = std::int32_t(guide.schedules.size());
      guide.schedules.emplace_back();
    }
    guide.scheduleOfKey[key] = scheduleOfChannel[channel];
  };
  for (std::size_t k = 0; k < keys.size(); ++k) {
    if (const auto byId = channelById.find(keys[k].tvgId);
        !keys[k].tvgId.empty() && byId != channelById.end()) {
      outputId[byId->second] = byId->first;
      channelByOutputId[byId->first] = byId->second;
      link(k, byId->second);
    }
  }
  for (std::size_t k = 0; k < keys.size(); ++k) {
    if (guide.scheduleOfKey[k] >= 0) continue;
    const GuideChannelKey& key = keys[k];
    if (const auto renamed = channelByOutputId.find(key.tvgId);
        !key.tvgId.empty() && renamed != channelByOutputId.end()) {
      link(k, renamed->second);
      continue;
    }
    for (std::size_t c = 0; c < channels.size(); ++c) {
      if (!linkedByName(key, channels[c].copy)) continue;
      if (outputId[c].empty()) {
        outputId[c] = key.tvgId.empty() ? channels[c].id : key.tvgId;
        channelByOutputId[outputId[c]] = c;
      }
      link(k, c);
      break;
    }
  }

  // Sized once: the copies go as the document grows, so the two are not
  // held in full side by side.
  std::size_t size = 256;
  for (const KeptChannel& channel : channels) {
    size += channel.copy.attributes.size() + channel.copy.content.size() + 128;
  }
  for (const KeptProgramme& programme : programmes) size += programme.length + 128;
  std::string& xml = guide.xml;
  xml.reserve(size);
  xml +=
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE tv SYSTEM \"xmltv.dtd\">\n"
      "<tv generator-info-name=\"tessaran\">\n";
  for (std::size_t c = 0; c < channels.size(); ++c) {
    if (outputId[c].empty()) continue;
    appendStartOf(xml, "channel", "id", outputId[c]);
    appendRest(xml, "channel", channels[c].copy);
    ++guide.channelCount;
  }
  std::size_t blocksDone = 0;
  for (KeptProgramme& programme : programmes) {
    for (; blocksDone < programme.block; ++blocksDone) std::string().swap(texts.blocks[blocksDone]);
    const std::size_t c = programme.channel;
    if (outputId[c].empty()) continue;
    appendStartOf(xml, "programme", "channel", outputId[c]);
    xml.append(texts.blocks[programme.block], programme.offset, programme.length);
    guide.schedules[std::size_t(scheduleOfChannel[c])].push_back(std::move(programme.times));
    ++guide.programmeCount;
  }
  xml += "</tv>\n";

  for (std::vector<GuideProgramme>& schedule : guide.schedules) {
    std::stable_sort(
        schedule.begin(), schedule.end(),
        [](const GuideProgramme& a, const GuideProgramme& b) { return a.start < b.start; });
    // A programme without a stop lasts until the next one starts.
    for (std::size_t i = 0; i + 1 < schedule.size(); ++i) {
      if (schedule[i].stop == schedule[i].start) schedule[i].stop = schedule[i + 1].start;
    }
  }
  result.guide = std::move(guide);
  return result;
}

}  // namespace relay
