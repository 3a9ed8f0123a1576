// Request data in the PHP prelude stays data, whatever its bytes: random
// names and values over all 256 byte values go through the prelude, the real
// php-cgi runs it in front of a script that dumps what it sees, and the dump
// must be exactly the fields, in order, and nothing else.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "web/php_gateway.h"

namespace web {
namespace {

constexpr char kPhpCgi[] = "/usr/bin/php-cgi";

// Each element of both arrays as hexadecimal name and value, then "end".
constexpr char kDumpScript[] =
    "<?php foreach (['G' => $_GET, 'R' => $_REQUEST] as $w => $a) foreach ($a as $k => $v) "
    "echo $w, bin2hex((string)$k), '=', bin2hex($v), \"\\n\"; echo \"end\\n\";";

std::string hex(const std::string& bytes) {
  std::string out;
  char two[3];
  for (const unsigned char c : bytes) {
    std::snprintf(two, sizeof two, "%02x", c);
    out += two;
  }
  return out;
}

// What PHP's arrays hold after the assignments: a later field with the same
// name replaces the value and keeps the first one's place.
std::string expectedDump(const std::vector<FormField>& fields) {
  std::vector<std::pair<std::string, std::string>> array;
  for (const FormField& f : fields) {
    auto it = array.begin();
    while (it != array.end() && it->first != f.name) ++it;
    if (it == array.end()) {
      array.emplace_back(f.name, f.value);
    } else {
      it->second = f.value;
    }
  }
  std::string dump;
  for (const char* which : {"G", "R"}) {
    for (const auto& [name, value] : array) dump += which + hex(name) + "=" + hex(value) + "\n";
  }
  return dump + "end\n";
}

// The dump after php-cgi's header block.
std::string run(const std::vector<FormField>& fields, const SiteSettings& site) {
  WebRequest web;
  buildPhpPrelude(fields, false, web, false, "");
  const platform::ChildResult result = runPhpCgi(web.bodyText + kDumpScript, site);
  EXPECT_EQ(result.outcome, platform::ChildOutcome::Finished);
  const std::size_t blank = result.output.find("\r\n\r\n");
  return blank == std::string::npos ? result.output : result.output.substr(blank + 4);
}

std::string randomBytes(std::mt19937& random, std::size_t most) {
  std::string text(std::uniform_int_distribution<std::size_t>(0, most)(random), '\0');
  for (char& c : text) c = char(std::uniform_int_distribution<int>(0, 255)(random));
  return text;
}

TEST(PhpPreludeProperty, WhatThePageSeesIsExactlyWhatWasSent) {
  if (::access(kPhpCgi, X_OK) != 0) GTEST_SKIP() << "php-cgi is not installed";
  SiteSettings site;
  site.phpCgiPath = kPhpCgi;
  site.phpAvailable = true;
  site.servePath = "/tmp/";

  std::string everyByte;
  for (int b = 0; b < 256; ++b) everyByte += char(b);
  std::vector<std::vector<FormField>> cases = {
      {{everyByte, everyByte}},
      {{"a", "\";echo 'ran';$x=\""}, {"b'];echo 'ran';//", "{$_SERVER['PATH']}"}},
      {{"c", "?><?php echo 'ran'; ?>"}, {"d\\", "\\"}, {"c", "again"}},
      {{"", ""}, {"\n\r\n", "\0\0"}},
  };
  std::mt19937 random(20261208);  // fixed: a failure can be replayed
  for (int i = 0; i < 24; ++i) {
    std::vector<FormField> fields(std::uniform_int_distribution<int>(1, 6)(random));
    for (FormField& f : fields) {
      f.name = randomBytes(random, 12);
      f.value = randomBytes(random, 40);
    }
    cases.push_back(std::move(fields));
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    EXPECT_EQ(run(cases[i], site), expectedDump(cases[i]));
  }
}

}  // namespace
}  // namespace web
