#include "relay/upnp/soap_scanner.h"

#include <array>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"

namespace relay {
namespace {

constexpr std::size_t npos = std::string_view::npos;

// The Browse children that fill a slot, by slot number.
constexpr std::array<std::string_view, 6> kBrowseArgumentNames = {
    "ObjectID", "BrowseFlag", "Filter", "StartingIndex", "RequestedCount", "SortCriteria"};

}  // namespace

bool checkEnvelope(std::string_view body) {
  const std::size_t envelope = body.find("Envelope");
  if (envelope == npos) return false;
  const std::size_t gt = body.find('>', envelope);
  const std::size_t sp = body.find(' ', envelope);
  if (gt == npos || sp == npos || sp + 1 >= gt) return false;

  // Up to two characters before the '>': the one just before it is normally
  // the closing quote of the last attribute and is left out.
  const std::string_view attributes = body.substr(sp, gt - 1 - sp);
  bool encoding = false;
  bool envelopeNamespace = false;
  for (const std::string& piece : common::split(attributes, ' ')) {
    std::string_view name;
    std::string_view value;
    const std::size_t equals = piece.find('=');
    if (equals != std::string::npos) {
      name = common::trim(std::string_view(piece).substr(0, equals), "\"");
      value = common::trim(std::string_view(piece).substr(equals + 1), "\"");
    }
    if (common::contains(name, "encodingStyle") && value == kSoapEncodingNamespace) {
      encoding = true;
    }
    if (common::contains(name, "xmlns") && value == kSoapEnvelopeNamespace) {
      envelopeNamespace = true;
    }
  }
  return encoding && envelopeNamespace;
}

void readBrowseArguments(std::string_view body, SoapArguments& arguments) {
  const std::size_t browse = body.find("Browse");
  if (browse == npos) return;

  // The element's namespace prefix ("u:" for <u:Browse>) names its end tag.
  std::string_view prefix;
  if (browse > 0) {
    const std::size_t open = body.rfind('<', browse - 1);
    if (open != npos) prefix = body.substr(open + 1, browse - open - 1);
  }
  std::string closing = "</";
  closing += prefix;
  closing += "Browse";

  const std::size_t gt = body.find('>', browse);
  if (gt == npos || body[gt - 1] == '/') return;  // <u:Browse/> carries nothing
  const std::size_t end = body.find(closing);
  if (end == npos) return;

  std::vector<std::pair<std::string, std::size_t>> children;
  std::size_t p = gt;
  while (true) {
    const std::size_t lt = body.find('<', p);
    if (lt == npos || lt >= end) break;
    const std::size_t tgt = body.find('>', lt);
    if (tgt == npos) break;
    const std::string_view tag = body.substr(lt + 1, tgt - lt - 1);
    const std::size_t sp = tag.find(' ');
    const std::size_t sl = tag.find('/');
    std::string_view name = sp == npos ? tag : tag.substr(0, sp);
    bool last = false;
    if (sl == npos) {
      // Skip to the child's end tag.
      p = body.find(common::concat("/", name), tgt);
      if (p == npos) p = body.find(common::concat("/ ", name), tgt);
      last = p == npos;
    } else {
      // An empty element: its name is what stands before the character
      // ahead of the slash, so "<Name />" keeps it whole.
      name = sl == 0 ? std::string_view() : tag.substr(0, sl - 1);
      p = tgt;
    }
    children.emplace_back(std::string(common::trim(name, " ")), lt);
    if (last) break;
  }

  for (const auto& [name, lt] : children) {
    std::size_t slot = 0;
    while (slot < kBrowseArgumentNames.size() && kBrowseArgumentNames[slot] != name) ++slot;
    if (slot == kBrowseArgumentNames.size()) continue;
    const std::size_t g = body.find('>', lt);
    if (g == npos || body[g - 1] == '/') continue;
    const std::size_t close = body.find("</", g + 1);
    const std::size_t length = close == npos ? npos : close - g - 1;
    arguments[slot] = std::string(body.substr(g + 1, length));
  }
}

std::string readElementText(std::string_view body, std::string_view name) {
  const std::string open = common::concat("<", name, ">");
  const std::string close = common::concat("</", name, ">");
  const std::size_t start = body.find(open);
  if (start == npos) return {};
  const std::size_t from = start + open.size();
  const std::size_t end = body.find(close, from);
  if (end == npos) return {};
  return std::string(body.substr(from, end - from));
}

}  // namespace relay
