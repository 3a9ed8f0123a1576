#include "relay/app/usage_text.h"

namespace relay {
namespace {

constexpr const char* kUsageLines[] = {
    "",
    "+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+",
    "|T|e|s|s|a|r|a|n|",
    "+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+",
    "",
    "For http unicast mode you must provide at least 3 arguments:\r\n"
    " -li [ listening interface (ipV4 address) for Http/Upnp server or IGMP snooper ],\r\n"
    " -lp [ listening port for Http/Upnp server ],\r\n"
    " -ri [ UDP receiving interface (ipV4 address or interface name) ],\r\n",
    "Optional arguments:\r\n",
    " -p [ m3u playlist ],\r\n"
    " --without-dlna,\r\n"
    " --with-igmpsnooper,\r\n"
    " -fp [ constant forwarding port - 0 for same port as destination port of multicast "
    "traffic ], \r\n"
    " --playlist-protocol-info [default: video/mpeg:*]\r\n"
    " --recv-timeout *\r\n"
    " * How long should server wait for IPTV signal after request was issued. User interfaces "
    "of some DLNA clients may stop responding if DLNA server doesn't send any data. This can "
    "happen if playlist has some outdated multicast ip addresses and client wants to create "
    "thumnails for whole directory. If your DLNA client is unresponsive, lower this value. If "
    "value is to low, server may close connection before it receives any data. ",
    " -p also takes an http:// or https:// URL,\r\n"
    " --epg [ XMLTV guide, file or URL, plain or gzip-compressed: served as /epg.xml and "
    "/epg.xml.gz, reduced to the playlist's channels ],\r\n"
    " --max-fetch [ MB: largest playlist or guide taken from a URL - default 64 for "
    "a playlist, 1024 for a guide; a playlist never more than 64 ],\r\n"
    " --cache [ folder for the last good playlist and guide, used when their URL cannot be "
    "fetched ],\r\n"
    " --refresh [ minutes between reloads of the playlist and guide - default 720, 0 for "
    "never; SIGHUP reloads them at once ],\r\n"
    " --without-tuner [ no network tuner discovery beside the media server ],\r\n"
    " --tuners [ streams the network tuner offers at once, 1 to 64 - default 4 ],\r\n"
    " --rejoin [ seconds between reports of every received group on the UDP receiving "
    "interface, for switches whose memberships lapse without a querier - default 0, off ],\r\n"
    " --rtp-reorder [ RTP packets held to put a source back in order, each at most 50 ms, "
    "duplicates dropped - default 32, 0 for off ],\r\n"
    " --allow [ hosts or networks that get any answer, as 192.168.1.0/24,10.0.0.5 - default "
    "everyone ],\r\n"
    " --admin-allow [ hosts or networks that may quit and read the log and status pages - "
    "default everyone ],\r\n"
    " --token [ secret that stream, playlist and guide URLs must carry as token= or a Bearer "
    "line; the relay's own URLs carry it ],\r\n"
    " --max-clients [ streams at once, 1 to 65535 - default 256 ],\r\n"
    " --max-connections-per-host [ open connections of one host, 1 to 65535 - default 64 ]\r\n",
    "",
    "URL in a playlist must be in the folowing format : \r\n"
    "udp://@multicast.address:port e.g. udp://@239.255.0.1:5002 ",
    "Interface for Http/Upnp server and Udp reciver can be the same.\r\n"
    "Http/Upnp server can only listen on one interface.",
    "Igmp snooper listens to IGMP messages on one interface and proxies requested multicast "
    "traffic to host on another interface in a multicast form. ",
    "IGMP Snooper NEEDS administrative privileges. In some cases Windows 7`s firewall prevents "
    "IGMP messages to reach this application.",
    "",
    "Example: \r\n"
    " tessaran.exe --with-dlna -li 192.168.0.2 -lp 2901 -ri 10.10.0.20 -p "
    "\"C:\\\\Playlists\\\\playlist.m3u\" ",
    "         \r\n"
    " tessaran.exe --with-igmpsnooper -li 192.168.0.2 -ri 10.10.0.20 ",
    "",
};

}  // namespace

void showUsage(const common::LineWriter& writeLine) {
  for (const char* line : kUsageLines) writeLine(line);
}

}  // namespace relay
