#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "engine/request_parser.h"
#include "relay/upnp/control_handler.h"
#include "relay/upnp/soap_scanner.h"

namespace {

using relay::SoapArguments;

const std::string kEnv = "http://schemas.xmlsoap.org/soap/envelope/";
const std::string kEnc = "http://schemas.xmlsoap.org/soap/encoding/";
const std::string kStandardTag =
    "<s:Envelope xmlns:s=\"" + kEnv + "\" s:encodingStyle=\"" + kEnc + "\">";

std::string soapBody(const std::string& envelopeTag, const std::string& action) {
  return "<?xml version=\"1.0\"?>" + envelopeTag + "<s:Body>" + action + "</s:Body></s:Envelope>";
}

const std::string kBrowseChildren =
    "<ObjectID>0</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter>"
    "<StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount>";
const std::string kBrowseOpen =
    "<u:Browse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">";

struct EnvelopeCase {
  std::string name;
  std::string body;
  bool passes;
};

TEST(SoapScanner, EnvelopeTest) {
  const EnvelopeCase cases[] = {
      {"prefixed", soapBody(kStandardTag, ""), true},
      {"attributes swapped",
       "<s:Envelope s:encodingStyle=\"" + kEnc + "\" xmlns:s=\"" + kEnv + "\">", true},
      {"default namespace", "<Envelope xmlns=\"" + kEnv + "\" encodingStyle=\"" + kEnc + "\">",
       true},
      {"space before >", "<s:Envelope xmlns:s=\"" + kEnv + "\" s:encodingStyle=\"" + kEnc + "\" >",
       true},
      {"no encodingStyle", soapBody("<s:Envelope xmlns:s=\"" + kEnv + "\">", ""), false},
      {"single quotes", "<s:Envelope xmlns:s='" + kEnv + "' s:encodingStyle='" + kEnc + "'>",
       false},
      // The character before '>' is cut, here the last slash of the URI.
      {"unquoted last value", "<s:Envelope xmlns:s=\"" + kEnv + "\" s:encodingStyle=" + kEnc + ">",
       false},
      {"SOAP 1.2 namespace",
       "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" s:encodingStyle=\"" + kEnc +
           "\">",
       false},
      {"no attributes", "<s:Envelope><s:Body/></s:Envelope>", false},
      {"space just before >", "<Envelope >", false},
      {"no Envelope", "<s:Body xmlns:s=\"" + kEnv + "\" s:encodingStyle=\"" + kEnc + "\">", false},
      {"unterminated tag", "<s:Envelope xmlns:s=\"" + kEnv + "\" s:encodingStyle=\"" + kEnc, false},
      {"Envelope at the end", "<s:Envelope", false},
      {"empty", "", false},
  };
  for (const EnvelopeCase& c : cases) {
    EXPECT_EQ(relay::checkEnvelope(c.body), c.passes) << c.name;
  }
}

struct ArgumentsCase {
  std::string name;
  std::string body;
  std::array<std::string, 6> slots;
};

TEST(SoapScanner, BrowseArguments) {
  const std::array<std::string, 6> standard = {"0", "BrowseDirectChildren", "*", "0", "0", ""};
  const std::array<std::string, 6> none = {};
  const ArgumentsCase cases[] = {
      {"start and end tag",
       kBrowseOpen + kBrowseChildren + "<SortCriteria></SortCriteria></u:Browse>", standard},
      {"empty with space", kBrowseOpen + kBrowseChildren + "<SortCriteria /></u:Browse>", standard},
      {"empty without space", kBrowseOpen + kBrowseChildren + "<SortCriteria/></u:Browse>",
       standard},
      {"other order",
       kBrowseOpen + "<SortCriteria>+dc:title</SortCriteria><RequestedCount>5</RequestedCount>"
                     "<StartingIndex>2</StartingIndex><Filter>*</Filter><BrowseFlag>BrowseMetadata"
                     "</BrowseFlag><ObjectID>gr1</ObjectID></u:Browse>",
       {"gr1", "BrowseMetadata", "*", "2", "5", "+dc:title"}},
      {"no prefix", "<Browse><ObjectID>7</ObjectID></Browse>", {"7", "", "", "", "", ""}},
      {"kept undecoded and untrimmed",
       kBrowseOpen + "<ObjectID>a&amp;b&#38;</ObjectID><Filter> * </Filter></u:Browse>",
       {"a&amp;b&#38;", "", " * ", "", "", ""}},
      {"child with attributes",
       kBrowseOpen + "<ObjectID dt=\"string\">3</ObjectID></u:Browse>",
       {"3", "", "", "", "", ""}},
      {"end tag with a space",
       kBrowseOpen + "<ObjectID>1</ ObjectID><Filter>*</Filter></u:Browse>",
       {"1", "", "*", "", "", ""}},
      {"later child wins",
       kBrowseOpen + "<ObjectID>1</ObjectID><ObjectID>2</ObjectID></u:Browse>",
       {"2", "", "", "", "", ""}},
      {"prefixed children skipped", kBrowseOpen + "<u:ObjectID>1</u:ObjectID></u:Browse>", none},
      {"after the closing tag", kBrowseOpen + "</u:Browse><ObjectID>1</ObjectID>", none},
      {"empty action element", "<u:Browse xmlns:u=\"x\"/><ObjectID>1</ObjectID></u:Browse>", none},
      {"no closing tag", kBrowseOpen + "<ObjectID>1</ObjectID>", none},
      {"other closing prefix", kBrowseOpen + "<ObjectID>1</ObjectID></v:Browse>", none},
      {"no Browse", "<u:GetSystemUpdateID><ObjectID>1</ObjectID></u:GetSystemUpdateID>", none},
  };
  for (const ArgumentsCase& c : cases) {
    SoapArguments arguments;
    relay::readBrowseArguments(soapBody(kStandardTag, c.body), arguments);
    for (std::size_t slot = 0; slot < c.slots.size(); ++slot) {
      EXPECT_EQ(arguments[slot], c.slots[slot]) << c.name << ", slot " << slot;
    }
  }
}

// Every cut of a request body, and odd endings: the scanner must stay inside
// the text (the sanitizers report any stray read).
TEST(SoapScanner, TruncatedBodiesStayInBounds) {
  const std::string full =
      soapBody(kStandardTag, kBrowseOpen + kBrowseChildren + "<SortCriteria/></u:Browse>");
  std::vector<std::string> bodies = {"<",
                                     "Browse",
                                     "Browse>",
                                     "<Browse><",
                                     "<Browse></Browse",
                                     "<u:Browse>/<//></u:Browse>",
                                     "<Browse><></Browse>",
                                     "<Browse><ObjectID></Browse><"};
  for (std::size_t n = 0; n <= full.size(); ++n) bodies.push_back(full.substr(0, n));
  for (const std::string& body : bodies) {
    SoapArguments arguments;
    relay::checkEnvelope(body);
    relay::readBrowseArguments(body, arguments);
  }
  SoapArguments arguments;
  relay::readBrowseArguments("<Browse><ObjectID>9</Browse>", arguments);
  EXPECT_EQ(arguments[relay::soapslot::kObjectId], "9");
}

struct ActionCase {
  std::string value;
  bool valid;
  std::uint32_t service;
  std::uint32_t action;
};

TEST(SoapAction, Classification) {
  const std::string cd = "urn:schemas-upnp-org:service:ContentDirectory:1#";
  const std::string cm = "urn:schemas-upnp-org:service:ConnectionManager:1#";
  const ActionCase cases[] = {
      {"\"" + cd + "Browse\"", true, 1, 1},
      {"URN:Schemas-UPnP-ORG:service:contentDIRECTORY:1#bRoWsE", true, 1, 1},
      {cd + "GetSearchCapabilities", true, 1, 2},
      {cd + "GetSortCapabilities", true, 1, 3},
      {"\"" + cd + "GetSystemUpdateID", true, 1, 4},
      {cm + "GetProtocolInfo\"", true, 2, 1},
      {cm + "GetCurrentConnectionIDs", true, 2, 3},
      {cm + "GetCurrentConnectionInfo", true, 2, 2},
      {cd + "Search", true, 1, 0},
      {cd + "GetProtocolInfo", true, 1, 0},
      {cd + "\"", true, 1, 0},
      {"urn:schemas-upnp-org:service:ContentDirectory:2#Browse", true, 0, 0},
      {"urn:schemas-upnp-org:service:AVTransport:1#Play", true, 0, 0},
      {"urn:schemas-upnp-org:service:ContentDirectory:1", false, 0, 0},
      {cd, false, 0, 0},
      {"urn:schemas-upnp-org:device:MediaServer:1#Browse", false, 0, 0},
      {"", false, 0, 0},
  };
  for (const ActionCase& c : cases) {
    const std::optional<relay::SoapAction> result = relay::classifySoapAction(c.value);
    ASSERT_EQ(result.has_value(), c.valid) << c.value;
    if (!result) continue;
    EXPECT_EQ(result->service, c.service) << c.value;
    EXPECT_EQ(result->action, c.action) << c.value;
  }
}

engine::HttpRequest parsePost(const std::string& soapAction, const std::string& body) {
  const std::string bytes = "POST /upnp/control/cds HTTP/1.1\r\nSOAPACTION: " + soapAction +
                            "\r\nCONTENT-LENGTH: " + std::to_string(body.size()) + "\r\n\r\n" +
                            body;
  engine::HttpRequest request;
  engine::parseRequest(bytes, request, true);
  return request;
}

TEST(SoapAction, PostReadsBrowseArgumentsOnlyWhenTheEnvelopePasses) {
  const std::string browseBody =
      soapBody(kStandardTag, kBrowseOpen + kBrowseChildren + "</u:Browse>");
  const std::string cd = "\"urn:schemas-upnp-org:service:ContentDirectory:1#";

  std::optional<relay::SoapCall> call =
      relay::classifySoapPost(parsePost(cd + "Browse\"", browseBody));
  ASSERT_TRUE(call);
  EXPECT_EQ(call->service, 1u);
  EXPECT_EQ(call->action, 1u);
  EXPECT_EQ(call->arguments[relay::soapslot::kBrowseFlag], "BrowseDirectChildren");

  const std::string withoutEncoding = soapBody("<s:Envelope xmlns:s=\"" + kEnv + "\">",
                                               kBrowseOpen + kBrowseChildren + "</u:Browse>");
  const std::pair<std::string, std::string> unread[] = {
      {cd + "Browse\"", withoutEncoding},
      {cd + "GetSystemUpdateID\"", browseBody},
      {"urn:schemas-upnp-org:service:ConnectionManager:1#GetProtocolInfo", browseBody},
      {cd + "Browse\"", ""},
  };
  for (const auto& [action, body] : unread) {
    call = relay::classifySoapPost(parsePost(action, body));
    ASSERT_TRUE(call) << action;
    EXPECT_EQ(call->arguments, SoapArguments{}) << action;
  }

  // The Browse without encodingStyle then faults on its empty StartingIndex.
  call = relay::classifySoapPost(parsePost(cd + "Browse\"", withoutEncoding));
  ASSERT_TRUE(call);
  const relay::ChannelList playlist;
  std::string body;
  EXPECT_EQ(relay::ControlHandler(&playlist, "10.0.0.1", 80)
                .dispatch(call->service, call->action, call->arguments, body),
            402);

  // GetCurrentConnectionInfo carries its ConnectionID.
  call = relay::classifySoapPost(
      parsePost("\"urn:schemas-upnp-org:service:ConnectionManager:1#GetCurrentConnectionInfo\"",
                soapBody(kStandardTag,
                         "<u:GetCurrentConnectionInfo xmlns:u=\"x\"><ConnectionID>0"
                         "</ConnectionID></u:GetCurrentConnectionInfo>")));
  ASSERT_TRUE(call);
  EXPECT_EQ(call->arguments[relay::soapslot::kConnectionId], "0");

  // A SOAPACTION that names no action is answered 400.
  EXPECT_FALSE(relay::classifySoapPost(
      parsePost("urn:schemas-upnp-org:service:ContentDirectory:1", browseBody)));
}

TEST(SoapControl, EscapeXml) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"plain \xc3\xa9 text", "plain \xc3\xa9 text"},
      {"\"&'<>", "&quot;&amp;&apos;&lt;&gt;"},
      {"&amp;", "&amp;amp;"},
  };
  for (const auto& [text, escaped] : cases) EXPECT_EQ(relay::escapeXml(text), escaped);
}

// Playlist: "All" with three channels, "News" with the second one again; the
// third has a logo.
relay::ChannelList makePlaylist() {
  relay::ChannelList list;
  list.groupNames = {"All", "News"};
  relay::Channel channels[] = {
      {0, 1, "Sport 1", "", "239.255.0.1", 5002, 0, ""},
      {0, 2, "News & Weather", "News", "239.255.0.2", 5004, 0, ""},
      {0, 3, "Movies", "", "239.255.0.3", 5006, 0, "http://x/logo.png?a=1&b=2"}};
  for (std::uint32_t i = 0; i < std::size(channels); ++i) channels[i].listIndex = i;
  channels[2].source = "10.0.0.5";
  list.groupEntries.resize(2);
  for (const relay::Channel& c : channels) list.groupEntries[0].push_back(c);
  list.groupEntries[1].push_back(channels[1]);
  list.groupEntries[1][0].groupIndex = 1;
  for (auto& group : list.groupEntries) {
    for (relay::Channel& c : group) {
      c.id = std::uint32_t(list.entries.size() + 1);
      list.entries.push_back(c);
    }
  }
  return list;
}

const std::string kEnvelopeOpen =
    "<s:Envelope xmlns:s=\"" + kEnv + "\" s:encodingStyle=\"" + kEnc + "\"><s:Body>";
const std::string kEnvelopeClose = "</s:Body></s:Envelope>";

SoapArguments browseArguments(const std::string& objectId, const std::string& flag,
                              const std::string& start = "0", const std::string& count = "0") {
  return {objectId, flag, "*", start, count, ""};
}

TEST(SoapControl, FixedAnswersAndFaults) {
  relay::ChannelList playlist = makePlaylist();
  playlist.protocolInfo = "video/mp2t:DLNA.ORG_PN=MPEG_TS_SD_EU";
  const relay::ControlHandler handler(&playlist, "192.168.0.2", 2901);
  const std::string cdNs = " xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">";
  const std::string cmNs = " xmlns:u=\"urn:schemas-upnp-org:service:ConnectionManager:1\">";
  const std::string protocolInfo = "<u:GetProtocolInfoResponse" + cmNs +
                                   "<Source>http-get:*:video/mp2t:DLNA.ORG_PN=MPEG_TS_SD_EU"
                                   "</Source><Sink></Sink></u:GetProtocolInfoResponse>";
  const auto fault = [](int code, const std::string& description) {
    return "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
           "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
           std::to_string(code) + "</errorCode><errorDescription>" + description +
           "</errorDescription></UPnPError></detail></s:Fault>";
  };
  struct Case {
    std::uint32_t service, action;
    int code;
    std::string element;
    std::string connectionId = "";
  };
  const Case cases[] = {
      {1, 2, 0,
       "<u:GetSearchCapabilitiesResponse" + cdNs +
           "<SearchCaps></SearchCaps></u:GetSearchCapabilitiesResponse>"},
      {1, 3, 0,
       "<u:GetSortCapabilitiesResponse" + cdNs +
           "<SortCaps></SortCaps></u:GetSortCapabilitiesResponse>"},
      {1, 4, 0, "<u:GetSystemUpdateIDResponse" + cdNs + "<Id>0</Id></u:GetSystemUpdateIDResponse>"},
      {2, 1, 0, protocolInfo},
      {2, 3, 0,
       "<u:GetCurrentConnectionIDsResponse" + cmNs +
           "<ConnectionIDs>0</ConnectionIDs></u:GetCurrentConnectionIDsResponse>"},
      {2, 2, 0,
       "<u:GetCurrentConnectionInfoResponse" + cmNs +
           "<RcsID>-1</RcsID><AVTransportID>-1</AVTransportID><ProtocolInfo></ProtocolInfo>"
           "<PeerConnectionManager></PeerConnectionManager><PeerConnectionID>-1</PeerConnectionID>"
           "<Direction>Output</Direction><Status>OK</Status></u:GetCurrentConnectionInfoResponse>",
       "0"},
      {2, 2, 706, fault(706, "Invalid connection reference"), "1"},
      {2, 2, 402, fault(402, "Invalid args")},
      {1, 0, 401, fault(401, "Invalid action")},
      {1, 5, 0,
       "<u:X_GetFeatureListResponse" + cdNs +
           "<FeatureList>&lt;?xml version=&quot;1.0&quot; encoding=&quot;UTF-8&quot;?&gt;"
           "&lt;Features xmlns=&quot;urn:schemas-upnp-org:av:avs&quot;&gt;&lt;Feature "
           "name=&quot;samsung.com_BASICVIEW&quot; version=&quot;1&quot;&gt;&lt;container "
           "id=&quot;0&quot; type=&quot;object.item.videoItem&quot;/&gt;&lt;/Feature&gt;"
           "&lt;/Features&gt;</FeatureList></u:X_GetFeatureListResponse>"},
      {1, 6, 401, fault(401, "Invalid action")},
      {2, 0, 401, fault(401, "Invalid action")},
      {2, 4, 401, fault(401, "Invalid action")},
      {0, 1, 720, fault(720, "Cannot process the request")},
      {3, 1, 720, fault(720, "Cannot process the request")},
  };
  for (const Case& c : cases) {
    SoapArguments arguments;
    arguments[relay::soapslot::kConnectionId] = c.connectionId;
    std::string body = "stale";
    EXPECT_EQ(handler.dispatch(c.service, c.action, arguments, body), c.code)
        << c.service << "/" << c.action;
    EXPECT_EQ(body, kEnvelopeOpen + c.element + kEnvelopeClose) << c.service << "/" << c.action;
  }

  // Browse faults replace the whole answer with the fault document.
  struct BrowseFault {
    SoapArguments arguments;
    int code;
    std::string description;
  };
  const BrowseFault faults[] = {
      {browseArguments("0", "BrowseDirectChildren", ""), 402, "Invalid args"},
      {browseArguments("0", "BrowseDirectChildren", "0", ""), 402, "Invalid args"},
      {browseArguments("0", "BrowseDirectChildren", "x"), 402, "Invalid args"},
      {browseArguments("0", "BrowseDirectChildren", "0", "99999999999"), 402, "Invalid args"},
      {browseArguments("0", "Browse"), 402, "Invalid args"},
      {browseArguments("gr1", ""), 402, "Invalid args"},
      {browseArguments("abc", "BrowseMetadata"), 701, "No such object"},
      {browseArguments("", "BrowseMetadata"), 701, "No such object"},
      {browseArguments("gr", "BrowseMetadata"), 701, "No such object"},
      {browseArguments("4", "BrowseDirectChildren"), 0, ""},
      {browseArguments("5", "BrowseMetadata"), 701, "No such object"},
      {browseArguments("-1", "BrowseMetadata"), 701, "No such object"},
      {browseArguments("1", "Browse"), 701, "No such object"},
      {browseArguments("gr9", "BrowseMetadata"), 710, "No such container"},
      {browseArguments("gr9", "BrowseDirectChildren"), 701, "No such object"},
      {browseArguments("gr3", "BrowseMetadata"), 710, "No such container"},
      {browseArguments("gr3", "BrowseDirectChildren"), 701, "No such object"},
      {browseArguments("gr-1", "BrowseMetadata"), 710, "No such container"},
      {browseArguments("gr4294967296", "BrowseMetadata"), 701, "No such object"},
  };
  for (const BrowseFault& f : faults) {
    SoapArguments arguments = f.arguments;
    std::string body;
    const int code = handler.dispatch(1, 1, arguments, body);
    EXPECT_EQ(code, f.code) << f.arguments[0] << " " << f.arguments[1];
    if (f.code == 0) continue;
    EXPECT_EQ(body, kEnvelopeOpen + fault(f.code, f.description) + kEnvelopeClose);
  }

  // Without a playlist Browse has nothing to answer from.
  const relay::ControlHandler disabled(nullptr, "192.168.0.2", 2901);
  SoapArguments arguments = browseArguments("0", "BrowseMetadata");
  std::string body;
  EXPECT_EQ(disabled.dispatch(1, 1, arguments, body), 402);
}

struct BrowseCase {
  SoapArguments arguments;
  std::vector<std::string> objects;  // "id parentID" in order
  std::uint32_t numberReturned, totalMatches;
};

TEST(SoapControl, BrowseTree) {
  const relay::ChannelList playlist = makePlaylist();
  const relay::ControlHandler handler(&playlist, "192.168.0.2", 2901);
  const BrowseCase cases[] = {
      {browseArguments("0", "BrowseDirectChildren"), {"gr1 0", "gr2 0"}, 2, 2},
      {browseArguments("gr0", "BrowseDirectChildren"), {"gr1 0", "gr2 0"}, 2, 2},
      {browseArguments("0", "BrowseDirectChildren", "1", "0"), {"gr2 0"}, 1, 2},
      {browseArguments("0", "BrowseDirectChildren", "0", "1"), {"gr1 0"}, 1, 2},
      {browseArguments("0", "BrowseDirectChildren", "2", "0"), {}, 0, 2},
      {browseArguments("0", "BrowseDirectChildren", "-1", "0"), {}, 0, 2},
      {browseArguments("0", "BrowseDirectChildren", "0", "-1"), {"gr1 0", "gr2 0"}, 2, 2},
      {browseArguments("0", "BrowseMetadata"), {"0 -1"}, 1, 1},
      {browseArguments("gr0", "BrowseMetadata"), {"gr0 -1"}, 1, 1},
      {browseArguments("gr2", "BrowseMetadata"), {"gr2 0"}, 1, 1},
      {browseArguments("gr1", "BrowseDirectChildren"), {"1 gr1", "2 gr1", "3 gr1"}, 3, 3},
      {browseArguments("gr1", "BrowseDirectChildren", "1", "1"), {"2 gr1"}, 1, 3},
      {browseArguments("gr1", "BrowseDirectChildren", "3", "1"), {}, 0, 3},
      {browseArguments("gr2", "BrowseDirectChildren"), {"4 gr2"}, 1, 1},
      {browseArguments("4", "BrowseMetadata"), {"4 gr2"}, 1, 1},
      {browseArguments("4", "BrowseDirectChildren", "7", "3"), {"4 gr2"}, 1, 1},
      {browseArguments(" 04", "BrowseMetadata"), {" 04 gr2"}, 1, 1},
  };
  const std::regex object("<(?:container|item) id=\"([^\"]*)\" parentID=\"([^\"]*)\"");
  const std::regex counts(
      "</Result><NumberReturned>(\\d+)</NumberReturned><TotalMatches>(\\d+)</TotalMatches>");
  for (const BrowseCase& c : cases) {
    const std::string label = c.arguments[0] + " " + c.arguments[1] + " " + c.arguments[3];
    SoapArguments arguments = c.arguments;
    std::string body;
    ASSERT_EQ(handler.dispatch(1, 1, arguments, body), 0) << label;
    // Undo the whole-document escape to read the DIDL-Lite elements.
    std::string didl = std::regex_replace(body, std::regex("&quot;"), "\"");
    didl = std::regex_replace(didl, std::regex("&lt;"), "<");
    std::vector<std::string> objects;
    for (std::sregex_iterator it(didl.begin(), didl.end(), object), end; it != end; ++it) {
      objects.push_back((*it)[1].str() + " " + (*it)[2].str());
    }
    EXPECT_EQ(objects, c.objects) << label;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(body, match, counts)) << label;
    EXPECT_EQ(match[1], std::to_string(c.numberReturned)) << label;
    EXPECT_EQ(match[2], std::to_string(c.totalMatches)) << label;
    EXPECT_EQ(arguments[relay::soapslot::kNumberReturned], match[1]) << label;
    EXPECT_EQ(arguments[relay::soapslot::kTotalMatches], match[2]) << label;
  }
}

TEST(SoapControl, BrowseDocumentsByteForByte) {
  const relay::ChannelList playlist = makePlaylist();
  const relay::ControlHandler handler(&playlist, "192.168.0.2", 2901);
  const std::string head =
      "<u:BrowseResponse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\"><Result>"
      "&lt;DIDL-Lite xmlns=&quot;urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/&quot; "
      "xmlns:dc=&quot;http://purl.org/dc/elements/1.1/&quot; "
      "xmlns:upnp=&quot;urn:schemas-upnp-org:metadata-1-0/upnp/&quot;&gt;";
  const std::string tail =
      "&lt;/DIDL-Lite&gt;</Result><NumberReturned>1</NumberReturned><TotalMatches>1"
      "</TotalMatches><UpdateID>0</UpdateID></u:BrowseResponse>";
  const std::pair<SoapArguments, std::string> cases[] = {
      {browseArguments("2", "BrowseMetadata"),
       "&lt;item id=&quot;2&quot; parentID=&quot;gr1&quot; restricted=&quot;1&quot;&gt;"
       "&lt;dc:title&gt;News &amp;amp; Weather&lt;/dc:title&gt;&lt;upnp:class&gt;"
       "object.item.videoItem&lt;/upnp:class&gt;&lt;res protocolInfo=&quot;"
       "http-get:*:video/mpeg:*&quot;&gt;http://192.168.0.2:2901/"
       "8E4B2A7C19D54F3EA06B7C2D91E58F04/239.255.0.2:5004&lt;/res&gt;&lt;/item&gt;"},
      {browseArguments("3", "BrowseMetadata"),
       "&lt;item id=&quot;3&quot; parentID=&quot;gr1&quot; restricted=&quot;1&quot;&gt;"
       "&lt;dc:title&gt;Movies&lt;/dc:title&gt;&lt;upnp:class&gt;object.item.videoItem"
       "&lt;/upnp:class&gt;&lt;upnp:albumArtURI&gt;http://x/logo.png?a=1&amp;amp;b=2"
       "&lt;/upnp:albumArtURI&gt;&lt;res protocolInfo=&quot;http-get:*:video/mpeg:*&quot;&gt;"
       "http://192.168.0.2:2901/8E4B2A7C19D54F3EA06B7C2D91E58F04/10.0.0.5@239.255.0.3:5006"
       "&lt;/res&gt;&lt;/item&gt;"},
      {browseArguments("0", "BrowseMetadata"),
       "&lt;container id=&quot;0&quot; parentID=&quot;-1&quot; restricted=&quot;1&quot; "
       "childCount=&quot;2&quot;&gt;&lt;dc:title&gt;Root&lt;/dc:title&gt;&lt;upnp:class&gt;"
       "object.container&lt;/upnp:class&gt;&lt;/container&gt;"},
  };
  for (const auto& [request, didl] : cases) {
    SoapArguments arguments = request;
    std::string body;
    ASSERT_EQ(handler.dispatch(1, 1, arguments, body), 0);
    EXPECT_EQ(body, kEnvelopeOpen + head + didl + tail + kEnvelopeClose);
  }
}

// With --token each item's URL carries it, escaped with the rest of the
// DIDL-Lite (no character of a token needs it).
TEST(SoapControl, BrowseUrlsCarryTheToken) {
  const relay::ChannelList playlist = makePlaylist();
  const relay::ControlHandler handler(&playlist, "192.168.0.2", 2901, 0, {}, "s3cret");
  for (const auto& [id, url] :
       {std::pair{"2", "/239.255.0.2:5004?token=s3cret&lt;/res&gt;"},
        std::pair{"3", "/10.0.0.5@239.255.0.3:5006?token=s3cret&lt;/res&gt;"}}) {
    SoapArguments arguments = browseArguments(id, "BrowseMetadata");
    std::string body;
    ASSERT_EQ(handler.dispatch(1, 1, arguments, body), 0);
    EXPECT_NE(
        body.find("http://192.168.0.2:2901/8E4B2A7C19D54F3EA06B7C2D91E58F04" + std::string(url)),
        std::string::npos)
        << body;
  }
}

// The text `describe` gives an item goes into dc:description, escaped, right
// after its class; an item it gives nothing for has no such element. A copy
// in another group is described from its channel like the original.
TEST(SoapControl, BrowseItemsCarryTheirDescription) {
  const relay::ChannelList playlist = makePlaylist();
  const std::string onAir[] = {"20:15-21:45 Match", "06:00-07:00 Tom & \"Jerry\" <live>", ""};
  const relay::ControlHandler handler(
      &playlist, "192.168.0.2", 2901, 0,
      [&onAir](const relay::Channel& channel) { return onAir[channel.listIndex]; });
  const std::pair<std::string, std::string> cases[] = {
      {"1", "<dc:description>20:15-21:45 Match</dc:description>"},
      {"2",
       "<dc:description>06:00-07:00 Tom &amp; &quot;Jerry&quot; &lt;live&gt;"
       "</dc:description>"},
      {"3", ""},
      {"4",
       "<dc:description>06:00-07:00 Tom &amp; &quot;Jerry&quot; &lt;live&gt;"
       "</dc:description>"},
  };
  const std::regex afterClass("</upnp:class>(.*?)<(?:upnp:albumArtURI|res)[ >]");
  for (const auto& [id, description] : cases) {
    SoapArguments arguments = browseArguments(id, "BrowseMetadata");
    std::string body;
    ASSERT_EQ(handler.dispatch(1, 1, arguments, body), 0) << id;
    // Undo the escape of the whole document to read the DIDL-Lite.
    std::string didl = std::regex_replace(body, std::regex("&lt;"), "<");
    didl = std::regex_replace(didl, std::regex("&gt;"), ">");
    didl = std::regex_replace(didl, std::regex("&quot;"), "\"");
    didl = std::regex_replace(didl, std::regex("&amp;"), "&");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(didl, match, afterClass)) << didl;
    EXPECT_EQ(match[1], description) << id;
  }
}

}  // namespace
