#include "relay/upnp/control_handler.h"

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/parse_number.h"
#include "common/text.h"
#include "relay/upnp/descriptions.h"
#include "relay/upnp/playlist_export.h"

namespace relay {
namespace {

constexpr std::string_view kServicePrefix = "urn:schemas-upnp-org:service:";

struct ActionRow {
  std::string_view service;
  std::uint32_t serviceCode;
  std::string_view action;
  std::uint32_t actionCode;
};

constexpr ActionRow kActions[] = {
    {"contentdirectory:1", soapservice::kContentDirectory, "browse", 1},
    {"contentdirectory:1", soapservice::kContentDirectory, "getsearchcapabilities", 2},
    {"contentdirectory:1", soapservice::kContentDirectory, "getsortcapabilities", 3},
    {"contentdirectory:1", soapservice::kContentDirectory, "getsystemupdateid", 4},
    {"contentdirectory:1", soapservice::kContentDirectory, "x_getfeaturelist", 5},
    {"connectionmanager:1", soapservice::kConnectionManager, "getprotocolinfo", 1},
    {"connectionmanager:1", soapservice::kConnectionManager, "getcurrentconnectioninfo", 2},
    {"connectionmanager:1", soapservice::kConnectionManager, "getcurrentconnectionids", 3},
};

// Action codes as dispatched.
namespace cd {
constexpr std::uint32_t kBrowse = 1;
constexpr std::uint32_t kGetSearchCapabilities = 2;
constexpr std::uint32_t kGetSortCapabilities = 3;
constexpr std::uint32_t kGetSystemUpdateId = 4;
constexpr std::uint32_t kGetFeatureList = 5;
}  // namespace cd
namespace cm {
constexpr std::uint32_t kGetProtocolInfo = 1;
constexpr std::uint32_t kGetCurrentConnectionInfo = 2;
constexpr std::uint32_t kGetCurrentConnectionIds = 3;
}  // namespace cm

namespace fault {
constexpr int kInvalidAction = 401;
constexpr int kInvalidArgs = 402;
constexpr int kNoSuchObject = 701;
constexpr int kNoSuchContainer = 710;
constexpr int kCannotProcess = 720;
constexpr int kInvalidConnection = 706;
}  // namespace fault

std::string_view faultDescription(int code) {
  switch (code) {
    case fault::kInvalidAction:
      return "Invalid action";
    case fault::kInvalidArgs:
      return "Invalid args";
    case fault::kInvalidConnection:
      return "Invalid connection reference";
    case fault::kNoSuchObject:
      return "No such object";
    case fault::kNoSuchContainer:
      return "No such container";
    case fault::kCannotProcess:
      return "Cannot process the request";
    default:
      return "Action Failed";
  }
}

std::string envelope(std::string_view bodyElement) {
  std::string out = "<s:Envelope xmlns:s=\"";
  out += kSoapEnvelopeNamespace;
  out += "\" s:encodingStyle=\"";
  out += kSoapEncodingNamespace;
  out += "\"><s:Body>";
  out += bodyElement;
  out += "</s:Body></s:Envelope>";
  return out;
}

std::string faultElement(int code) {
  std::string out =
      "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
      "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>";
  out += std::to_string(code);
  out += "</errorCode><errorDescription>";
  out += faultDescription(code);
  out += "</errorDescription></UPnPError></detail></s:Fault>";
  return out;
}

constexpr std::string_view kSearchCapabilities =
    "<u:GetSearchCapabilitiesResponse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">"
    "<SearchCaps></SearchCaps></u:GetSearchCapabilitiesResponse>";
constexpr std::string_view kSortCapabilities =
    "<u:GetSortCapabilitiesResponse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">"
    "<SortCaps></SortCaps></u:GetSortCapabilitiesResponse>";
std::string systemUpdateIdElement(std::uint32_t id) {
  return "<u:GetSystemUpdateIDResponse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">"
         "<Id>" +
         std::to_string(id) + "</Id></u:GetSystemUpdateIDResponse>";
}
// Some TV sets ask for the server's features before they list it, and show
// a fault as an unplayable server. The list is an escaped XML document; its
// one feature says that video starts at the root container.
constexpr std::string_view kFeatureList =
    "<u:X_GetFeatureListResponse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">"
    "<FeatureList>&lt;?xml version=&quot;1.0&quot; encoding=&quot;UTF-8&quot;?&gt;"
    "&lt;Features xmlns=&quot;urn:schemas-upnp-org:av:avs&quot;&gt;"
    "&lt;Feature name=&quot;samsung.com_BASICVIEW&quot; version=&quot;1&quot;&gt;"
    "&lt;container id=&quot;0&quot; type=&quot;object.item.videoItem&quot;/&gt;"
    "&lt;/Feature&gt;&lt;/Features&gt;</FeatureList></u:X_GetFeatureListResponse>";
// The one connection there is: 0, which needs no PrepareForConnection.
constexpr std::string_view kCurrentConnectionIds =
    "<u:GetCurrentConnectionIDsResponse "
    "xmlns:u=\"urn:schemas-upnp-org:service:ConnectionManager:1\">"
    "<ConnectionIDs>0</ConnectionIDs></u:GetCurrentConnectionIDsResponse>";
// Connection 0 as ConnectionManager:1 describes it without
// PrepareForConnection: no rendering control or transport of its own (-1),
// no peer, this side sends.
constexpr std::string_view kConnectionZeroInfo =
    "<u:GetCurrentConnectionInfoResponse "
    "xmlns:u=\"urn:schemas-upnp-org:service:ConnectionManager:1\">"
    "<RcsID>-1</RcsID><AVTransportID>-1</AVTransportID><ProtocolInfo></ProtocolInfo>"
    "<PeerConnectionManager></PeerConnectionManager><PeerConnectionID>-1</PeerConnectionID>"
    "<Direction>Output</Direction><Status>OK</Status></u:GetCurrentConnectionInfoResponse>";

constexpr std::string_view kDidlHead =
    "<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" "
    "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
    "xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\">";
constexpr std::string_view kDidlTail = "</DIDL-Lite>";

std::string protocolInfoElement(std::string_view protocolInfo) {
  std::string out =
      "<u:GetProtocolInfoResponse xmlns:u=\"urn:schemas-upnp-org:service:ConnectionManager:1\">"
      "<Source>http-get:*:";
  // The option's text as given: escaped, so that no value breaks the XML.
  out += escapeXml(protocolInfo);
  out += "</Source><Sink></Sink></u:GetProtocolInfoResponse>";
  return out;
}

void appendContainer(std::string& didl, std::string_view id, std::string_view parentId,
                     std::size_t childCount, std::string_view title) {
  didl += "<container id=\"";
  didl += id;
  didl += "\" parentID=\"";
  didl += parentId;
  didl += "\" restricted=\"1\" childCount=\"";
  didl += std::to_string(childCount);
  didl += "\"><dc:title>";
  didl += escapeXml(title);
  didl += "</dc:title><upnp:class>object.container</upnp:class></container>";
}

struct ItemContext {
  std::string_view protocolInfo;
  std::string_view host;
  std::string_view port;
  std::uint32_t updateId = 0;
  const std::function<std::string(const Channel&)>& describe;
  std::string_view tokenQuery = {};  // "?token=...", or empty
};

void appendItem(std::string& didl, std::string_view id, const Channel& entry,
                const ItemContext& context) {
  didl += "<item id=\"";
  didl += id;
  didl += "\" parentID=\"gr";
  didl += std::to_string(std::int64_t(entry.groupIndex) + 1);
  didl += "\" restricted=\"1\"><dc:title>";
  didl += escapeXml(entry.title);
  didl += "</dc:title><upnp:class>object.item.videoItem</upnp:class>";
  if (context.describe) {
    const std::string description = context.describe(entry);
    if (!description.empty()) {
      didl += "<dc:description>";
      didl += escapeXml(description);
      didl += "</dc:description>";
    }
  }
  if (!entry.logo.empty()) {
    didl += "<upnp:albumArtURI>";
    didl += escapeXml(entry.logo);
    didl += "</upnp:albumArtURI>";
  }
  didl += "<res protocolInfo=\"http-get:*:";
  didl += escapeXml(context.protocolInfo);
  didl += "\">http://";
  didl += context.host;
  didl += ':';
  didl += context.port;
  didl += '/';
  didl += kStreamPathToken;
  didl += '/';
  // The addresses are the playlist's text, unchecked: escaped like the title.
  if (!entry.source.empty()) {
    didl += escapeXml(entry.source);
    didl += '@';
  }
  didl += escapeXml(entry.address);
  didl += ':';
  didl += std::to_string(entry.port);
  didl += escapeXml(context.tokenQuery);
  didl += "</res></item>";
}

std::string browseElement(std::string_view didl, std::uint32_t numberReturned,
                          std::uint32_t totalMatches, std::uint32_t updateId) {
  std::string out =
      "<u:BrowseResponse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\"><Result>";
  out += escapeXml(didl);
  out += "</Result><NumberReturned>";
  out += std::to_string(numberReturned);
  out += "</NumberReturned><TotalMatches>";
  out += std::to_string(totalMatches);
  out += "</TotalMatches><UpdateID>";
  out += std::to_string(updateId);
  out += "</UpdateID></u:BrowseResponse>";
  return out;
}

constexpr std::string_view kBrowseMetadata = "BrowseMetadata";
constexpr std::string_view kBrowseDirectChildren = "BrowseDirectChildren";

// The Browse action: 0 and the response element, or a fault code.
int browse(const ChannelList* playlist, const ItemContext& context, SoapArguments& arguments,
           std::string& element) {
  std::uint32_t startingIndex = 0;
  std::uint32_t requestedCount = 0;
  if (!common::tryParseNumber(arguments[soapslot::kStartingIndex], startingIndex) ||
      !common::tryParseNumber(arguments[soapslot::kRequestedCount], requestedCount)) {
    return fault::kInvalidArgs;
  }

  const std::string& objectId = arguments[soapslot::kObjectId];
  std::uint32_t index = 0;
  bool container = false;
  if (objectId.starts_with("gr")) {
    if (!common::tryParseNumber(std::string_view(objectId).substr(2), index)) {
      return fault::kNoSuchObject;
    }
    container = true;
  } else {
    if (!common::tryParseNumber(std::string_view(objectId), index)) return fault::kNoSuchObject;
    container = index == 0;
  }
  if (playlist == nullptr) return fault::kInvalidArgs;

  const std::string& flag = arguments[soapslot::kBrowseFlag];
  const bool metadata = flag == kBrowseMetadata;
  const bool directChildren = flag == kBrowseDirectChildren;
  // Group names and lists go together; never read past the shorter one.
  const std::size_t groupCount =
      std::min(playlist->groupNames.size(), playlist->groupEntries.size());

  std::string didl(kDidlHead);
  std::uint32_t numberReturned = 0;
  std::uint32_t totalMatches = 0;
  if (!container) {
    if (!metadata && !directChildren) return fault::kNoSuchObject;
    const std::size_t position = std::size_t(index) - 1;  // index >= 1 here
    if (position >= playlist->entries.size()) return fault::kNoSuchObject;
    appendItem(didl, objectId, playlist->entries[position], context);
    numberReturned = 1;
    totalMatches = 1;
  } else if (metadata) {
    if (index == 0) {
      appendContainer(didl, objectId, "-1", groupCount, "Root");
    } else {
      const std::size_t group = std::size_t(index) - 1;
      if (group >= groupCount) return fault::kNoSuchContainer;
      appendContainer(didl, objectId, "0", playlist->groupEntries[group].size(),
                      playlist->groupNames[group]);
    }
    numberReturned = 1;
    totalMatches = 1;
  } else if (directChildren) {
    const std::vector<Channel>* items = nullptr;
    std::size_t childCount = groupCount;
    if (index != 0) {
      const std::size_t group = std::size_t(index) - 1;
      if (group >= groupCount) return fault::kNoSuchObject;
      items = &playlist->groupEntries[group];
      childCount = items->size();
    }
    for (std::size_t k = startingIndex; k < childCount; ++k) {
      if (items == nullptr) {
        appendContainer(didl, "gr" + std::to_string(k + 1), "0", playlist->groupEntries[k].size(),
                        playlist->groupNames[k]);
      } else {
        const Channel& entry = (*items)[k];
        appendItem(didl, std::to_string(entry.id), entry, context);
      }
      ++numberReturned;
      if (requestedCount != 0 && numberReturned == requestedCount) break;
    }
    totalMatches = std::uint32_t(childCount);
  } else {
    return fault::kInvalidArgs;
  }
  didl += kDidlTail;

  arguments[soapslot::kNumberReturned] = std::to_string(numberReturned);
  arguments[soapslot::kTotalMatches] = std::to_string(totalMatches);
  element = browseElement(didl, numberReturned, totalMatches, context.updateId);
  return 0;
}

}  // namespace

std::optional<SoapAction> classifySoapAction(std::string_view value) {
  const std::string lowered = common::toLowerAscii(value);
  const std::size_t prefix = lowered.find(kServicePrefix);
  if (prefix == std::string::npos) return std::nullopt;
  const std::size_t serviceStart = prefix + kServicePrefix.size();
  const std::size_t hash = lowered.find('#', serviceStart);
  if (hash == std::string::npos || hash + 1 >= lowered.size()) return std::nullopt;

  const std::string_view service =
      std::string_view(lowered).substr(serviceStart, hash - serviceStart);
  const std::string_view action = common::trim(std::string_view(lowered).substr(hash + 1), "\"");
  SoapAction result;
  for (const ActionRow& row : kActions) {
    if (row.service != service) continue;
    result.service = row.serviceCode;
    if (row.action == action) {
      result.action = row.actionCode;
      break;
    }
  }
  return result;
}

std::optional<SoapCall> classifySoapPost(const engine::HttpRequest& request) {
  const std::string* soapAction = request.header("SOAPACTION");
  if (soapAction == nullptr) return std::nullopt;
  const std::optional<SoapAction> parsed = classifySoapAction(*soapAction);
  if (!parsed) return std::nullopt;
  SoapCall call;
  call.service = parsed->service;
  call.action = parsed->action;
  const std::string_view body = request.body();
  if (!checkEnvelope(body)) return call;
  if (parsed->service == soapservice::kContentDirectory && parsed->action == cd::kBrowse) {
    readBrowseArguments(body, call.arguments);
  } else if (parsed->service == soapservice::kConnectionManager &&
             parsed->action == cm::kGetCurrentConnectionInfo) {
    call.arguments[soapslot::kConnectionId] = readElementText(body, "ConnectionID");
  }
  return call;
}

std::string escapeXml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  common::appendXmlEscaped(out, text);
  return out;
}

ControlHandler::ControlHandler(const ChannelList* playlist, std::string host, std::uint16_t port,
                               std::uint32_t systemUpdateId,
                               std::function<std::string(const Channel&)> describe,
                               std::string_view token)
    : playlist_(playlist),
      host_(std::move(host)),
      port_(std::to_string(port)),
      systemUpdateId_(systemUpdateId),
      describe_(std::move(describe)),
      tokenQuery_(tokenQuery(token)) {}

int ControlHandler::dispatch(std::uint32_t service, std::uint32_t action, SoapArguments& arguments,
                             std::string& body) const {
  std::string element;
  int code = 0;
  if (service == soapservice::kContentDirectory) {
    switch (action) {
      case cd::kBrowse: {
        const std::string_view protocolInfo =
            playlist_ != nullptr ? std::string_view(playlist_->protocolInfo) : std::string_view();
        code =
            browse(playlist_, {protocolInfo, host_, port_, systemUpdateId_, describe_, tokenQuery_},
                   arguments, element);
        break;
      }
      case cd::kGetSearchCapabilities:
        element = kSearchCapabilities;
        break;
      case cd::kGetSortCapabilities:
        element = kSortCapabilities;
        break;
      case cd::kGetSystemUpdateId:
        element = systemUpdateIdElement(systemUpdateId_);
        break;
      case cd::kGetFeatureList:
        element = kFeatureList;
        break;
      default:
        code = fault::kInvalidAction;
        break;
    }
  } else if (service == soapservice::kConnectionManager) {
    switch (action) {
      case cm::kGetProtocolInfo:
        // Without a playlist there is no configured value: the default one.
        element = protocolInfoElement(playlist_ != nullptr ? playlist_->protocolInfo
                                                           : ChannelList{}.protocolInfo);
        break;
      case cm::kGetCurrentConnectionInfo:
        // Only connection 0 exists.
        if (arguments[soapslot::kConnectionId] == "0") {
          element = kConnectionZeroInfo;
        } else {
          code = arguments[soapslot::kConnectionId].empty() ? fault::kInvalidArgs
                                                            : fault::kInvalidConnection;
        }
        break;
      case cm::kGetCurrentConnectionIds:
        element = kCurrentConnectionIds;
        break;
      default:
        code = fault::kInvalidAction;
        break;
    }
  } else {
    code = fault::kCannotProcess;
  }
  body = envelope(code == 0 ? element : faultElement(code));
  return code;
}

}  // namespace relay
