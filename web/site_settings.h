// What the request side of the web server needs of its settings; fixed for
// the run, so connection threads read it without a lock.
#pragma once

#include <string>

namespace web {

// How long one PHP script may run before it is ended with a 504.
inline constexpr int kPhpTimeoutMs = 30000;

struct SiteSettings {
  std::string servePath;     // a prefix: file paths are servePath + relative path
  std::string rootDocument;  // served for "/"
  bool compressionEnabled = true;
  std::string phpCgiPath;     // the PHP folder + "php-cgi"
  bool phpAvailable = false;  // php-cgi could be opened at start-up
  std::string phpHttpHost;    // $_SERVER['HTTP_HOST'] of every script
  int phpTimeoutMs = kPhpTimeoutMs;
  // The php.ini php-cgi is told to read (its -c option): the system's, as
  // systemPhpIni found it at start-up. Empty: none (-c /dev/null). Never
  // one from the served folder, php-cgi's working folder.
  std::string phpIni;
};

}  // namespace web
