// A small fixed playlist for the targets that answer control requests: two
// groups, a channel in both, one unnumbered, so Browse has containers,
// items and offsets to walk.
#pragma once

#include "relay/upnp/channel_list.h"

namespace fuzzing {

inline const relay::ChannelList& fixedPlaylist() {
  static const relay::ChannelList list = [] {
    relay::ChannelList l;
    l.loadText(
        "#EXTM3U\n"
        "#EXTINF:2,News 24\n#EXTTV:News,Local\nudp://@239.255.0.1:5002\n"
        "#EXTINF:0,1 - Sport <One> & \"Two\"\n#EXTTV:Sport\nudp://10.0.0.5@239.255.0.2:5002\n"
        "#EXTINF:-1,Late\nudp://239.255.0.3:1234\n");
    return l;
  }();
  return list;
}

}  // namespace fuzzing
