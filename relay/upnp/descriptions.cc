#include "relay/upnp/descriptions.h"

#include <initializer_list>

#include "common/text.h"

namespace relay {
namespace {

struct Argument {
  const char* name;
  const char* direction;
  const char* stateVariable;
};

struct Action {
  const char* name;
  std::initializer_list<Argument> arguments;
};

struct StateVariable {
  const char* name;
  bool sendEvents;
  const char* dataType;
  std::initializer_list<const char*> allowedValues;
};

// One element per line, three spaces per level, CR LF after every line.
class ScpdWriter {
 public:
  void line(int depth, std::string_view text) {
    text_.append(std::size_t(depth) * 3, ' ');
    text_ += text;
    text_ += "\r\n";
  }
  void element(int depth, std::string_view name, std::string_view value) {
    line(depth, common::concat("<", name, ">", value, "</", name, ">"));
  }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

std::string buildScpd(std::initializer_list<Action> actions,
                      std::initializer_list<StateVariable> variables) {
  ScpdWriter w;
  w.line(0, "<?xml version=\"1.0\" encoding=\"utf-8\"?>");
  w.line(0, "<scpd xmlns=\"urn:schemas-upnp-org:service-1-0\" configId=\"" +
                std::string(kConfigId) + "\">");
  w.line(1, "<specVersion>");
  w.element(2, "major", "1");
  w.element(2, "minor", "0");
  w.line(1, "</specVersion>");
  w.line(1, "<actionList>");
  for (const Action& action : actions) {
    w.line(2, "<action>");
    w.element(3, "name", action.name);
    w.line(3, "<argumentList>");
    for (const Argument& argument : action.arguments) {
      w.line(4, "<argument>");
      w.element(5, "name", argument.name);
      w.element(5, "direction", argument.direction);
      w.element(5, "relatedStateVariable", argument.stateVariable);
      w.line(4, "</argument>");
    }
    w.line(3, "</argumentList>");
    w.line(2, "</action>");
  }
  w.line(1, "</actionList>");
  w.line(1, "<serviceStateTable>");
  for (const StateVariable& variable : variables) {
    w.line(2, std::string("<stateVariable sendEvents=\"") + (variable.sendEvents ? "yes" : "no") +
                  "\">");
    w.element(3, "name", variable.name);
    w.element(3, "dataType", variable.dataType);
    if (variable.allowedValues.size() > 0) {
      w.line(3, "<allowedValueList>");
      for (const char* value : variable.allowedValues) w.element(4, "allowedValue", value);
      w.line(3, "</allowedValueList>");
    }
    w.line(2, "</stateVariable>");
  }
  w.line(1, "</serviceStateTable>");
  w.line(0, "</scpd>");
  return w.take();
}

}  // namespace

std::string deviceDescription() {
  return deviceDescription(kDeviceUuid);
}

std::string deviceDescription(std::string_view deviceUuid) {
  const std::string lines[] = {
      "<?xml version=\"1.0\"?>",
      "<root xmlns=\"urn:schemas-upnp-org:device-1-0\" configId=\"" + std::string(kConfigId) +
          "\">",
      "<specVersion>",
      "<major>1</major>",
      "<minor>0</minor>",
      "</specVersion>",
      "<device>",
      "<deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType>",
      // Several TV brands list a server only when it says which DLNA device
      // class it is: a digital media server.
      "<dlna:X_DLNADOC xmlns:dlna=\"urn:schemas-dlna-org:device-1-0\">DMS-1.50</dlna:X_DLNADOC>",
      "<presentationURL></presentationURL>",
      "<friendlyName>" + std::string(kFriendlyName) + "</friendlyName>",
      "<manufacturer>Quintaflume</manufacturer>",
      "<manufacturerURL>http://quintaflume.invalid/</manufacturerURL>",
      "<modelDescription>UPnP AV MediaServer</modelDescription>",
      "<modelName>Tessaran</modelName>",
      "<modelNumber>0.90.0</modelNumber>",
      "<serialNumber>1</serialNumber>",
      "<UDN>uuid:" + std::string(deviceUuid) + "</UDN>",
      "<serviceList>",
      "<service>",
      "<serviceType>urn:schemas-upnp-org:service:ConnectionManager:1</serviceType>",
      "<serviceId>urn:upnp-org:serviceId:ConnectionManager</serviceId>",
      "<SCPDURL>cm.xml</SCPDURL>",
      "<controlURL>/upnp/control/cm</controlURL>",
      "<eventSubURL>/upnp/event/cm</eventSubURL>",
      "</service>",
      "<service>",
      "<serviceType>urn:schemas-upnp-org:service:ContentDirectory:1</serviceType>",
      "<serviceId>urn:upnp-org:serviceId:ContentDirectory</serviceId>",
      "<SCPDURL>cds.xml</SCPDURL>",
      "<controlURL>/upnp/control/cds</controlURL>",
      "<eventSubURL>/upnp/event/cds</eventSubURL>",
      "</service>",
      "</serviceList>",
      "</device>",
      "</root>",
  };
  // CR LF after every line, the last one included.
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

std::string connectionManagerScpd() {
  return buildScpd(
      {
          {"GetCurrentConnectionIDs", {{"ConnectionIDs", "out", "CurrentConnectionIDs"}}},
          {"GetCurrentConnectionInfo",
           {
               {"ConnectionID", "in", "A_ARG_TYPE_ConnectionID"},
               {"RcsID", "out", "A_ARG_TYPE_RcsID"},
               {"AVTransportID", "out", "A_ARG_TYPE_AVTransportID"},
               {"ProtocolInfo", "out", "A_ARG_TYPE_ProtocolInfo"},
               {"PeerConnectionManager", "out", "A_ARG_TYPE_ConnectionManager"},
               {"PeerConnectionID", "out", "A_ARG_TYPE_ConnectionID"},
               {"Direction", "out", "A_ARG_TYPE_Direction"},
               {"Status", "out", "A_ARG_TYPE_ConnectionStatus"},
           }},
          {"GetProtocolInfo",
           {{"Source", "out", "SourceProtocolInfo"}, {"Sink", "out", "SinkProtocolInfo"}}},
      },
      {
          {"A_ARG_TYPE_ProtocolInfo", false, "string", {}},
          {"A_ARG_TYPE_ConnectionStatus",
           false,
           "string",
           {"OK", "ContentFormatMismatch", "InsufficientBandwidth", "UnreliableChannel",
            "Unknown"}},
          {"A_ARG_TYPE_AVTransportID", false, "i4", {}},
          {"A_ARG_TYPE_RcsID", false, "i4", {}},
          {"A_ARG_TYPE_ConnectionID", false, "i4", {}},
          {"A_ARG_TYPE_ConnectionManager", false, "string", {}},
          {"SourceProtocolInfo", true, "string", {}},
          {"SinkProtocolInfo", true, "string", {}},
          {"A_ARG_TYPE_Direction", false, "string", {"Input", "Output"}},
          {"CurrentConnectionIDs", true, "string", {}},
      });
}

std::string contentDirectoryScpd() {
  return buildScpd(
      {
          {"Browse",
           {
               {"ObjectID", "in", "A_ARG_TYPE_ObjectID"},
               {"BrowseFlag", "in", "A_ARG_TYPE_BrowseFlag"},
               {"Filter", "in", "A_ARG_TYPE_Filter"},
               {"StartingIndex", "in", "A_ARG_TYPE_Index"},
               {"RequestedCount", "in", "A_ARG_TYPE_Count"},
               {"SortCriteria", "in", "A_ARG_TYPE_SortCriteria"},
               {"Result", "out", "A_ARG_TYPE_Result"},
               {"NumberReturned", "out", "A_ARG_TYPE_Count"},
               {"TotalMatches", "out", "A_ARG_TYPE_Count"},
               {"UpdateID", "out", "A_ARG_TYPE_UpdateID"},
           }},
          {"GetSearchCapabilities", {{"SearchCaps", "out", "SearchCapabilities"}}},
          {"GetSortCapabilities", {{"SortCaps", "out", "SortCapabilities"}}},
          {"GetSystemUpdateID", {{"Id", "out", "SystemUpdateID"}}},
      },
      {
          {"A_ARG_TYPE_BrowseFlag", false, "string", {"BrowseMetadata", "BrowseDirectChildren"}},
          {"SystemUpdateID", true, "ui4", {}},
          {"ContainerUpdateIDs", true, "string", {}},
          {"A_ARG_TYPE_Count", false, "ui4", {}},
          {"A_ARG_TYPE_SortCriteria", false, "string", {}},
          {"SortCapabilities", false, "string", {}},
          {"A_ARG_TYPE_Index", false, "ui4", {}},
          {"A_ARG_TYPE_ObjectID", false, "string", {}},
          {"A_ARG_TYPE_UpdateID", false, "ui4", {}},
          {"A_ARG_TYPE_Result", false, "string", {}},
          {"SearchCapabilities", false, "string", {}},
          {"A_ARG_TYPE_Filter", false, "string", {}},
      });
}

std::vector<std::string> builtInDocuments(std::string_view deviceUuid) {
  return {deviceDescription(deviceUuid), connectionManagerScpd(), contentDirectoryScpd()};
}

}  // namespace relay
