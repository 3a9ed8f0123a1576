// What the relay reads from a SOAP request body: it scans for a few fixed
// markers instead of parsing XML. Values stay exactly as sent between the
// tags (no entity decoding, no trimming).
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace relay {

// The arguments of a SOAP control request, by slot (below): ObjectID,
// BrowseFlag, Filter, StartingIndex, RequestedCount, SortCriteria, (unused),
// NumberReturned, TotalMatches.
using SoapArguments = std::array<std::string, 9>;

// Slots of SoapArguments.
namespace soapslot {
inline constexpr int kObjectId = 0;
inline constexpr int kConnectionId = 0;  // GetCurrentConnectionInfo's one argument
inline constexpr int kBrowseFlag = 1;
inline constexpr int kFilter = 2;
inline constexpr int kStartingIndex = 3;
inline constexpr int kRequestedCount = 4;
inline constexpr int kSortCriteria = 5;
inline constexpr int kNumberReturned = 7;
inline constexpr int kTotalMatches = 8;
}  // namespace soapslot

inline constexpr std::string_view kSoapEnvelopeNamespace =
    "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr std::string_view kSoapEncodingNamespace =
    "http://schemas.xmlsoap.org/soap/encoding/";

// True when the Envelope start tag declares the SOAP 1.1 envelope namespace
// and an encodingStyle of the SOAP 1.1 encoding.
bool checkEnvelope(std::string_view body);

// Fills slots 0 to 5 from the children of the Browse element.
void readBrowseArguments(std::string_view body, SoapArguments& arguments);

// The text between the first <NAME> and the </NAME> after it, as sent;
// empty when either is missing.
std::string readElementText(std::string_view body, std::string_view name);

}  // namespace relay
