#include "web/mime_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

namespace {

// The content type a lookup of `path` chose, or "refused".
std::string typeOf(std::string_view path) {
  engine::HttpRequest request;
  web::WebRequest web;
  if (!web::lookupMimeType(path, request, web)) return "refused";
  return std::string(web::mimeTable()[web.mimeIndex].contentType);
}

TEST(MimeTable, RowsAreWellFormed) {
  const auto rows = web::mimeTable();
  ASSERT_EQ(rows.size(), 447u);
  EXPECT_EQ(rows.back().contentType, "application/octet-stream\r\n");
  EXPECT_EQ(rows.back().extension, "");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const web::MimeRow& row = rows[i];
    const std::string_view type = row.contentType;
    EXPECT_TRUE(type.size() > 2 && type.ends_with("\r\n") &&
                type.find_first_of("\r\n") == type.size() - 2)
        << "row " << i;
    if (i + 1 == rows.size()) continue;
    EXPECT_FALSE(row.extension.empty()) << "row " << i;
    EXPECT_TRUE(std::none_of(row.extension.begin(), row.extension.end(), [](char c) {
      return c == '.' || (c >= 'A' && c <= 'Z');
    })) << row.extension;
  }
}

TEST(MimeTable, CommonTypesFirstThenByExtension) {
  const std::string_view common[] = {"js",   "htm", "html", "jpeg", "jpg", "gif", "png",  "pdf",
                                     "ico",  "txt", "avi",  "ts",   "z",   "zip", "gtar", "gz",
                                     "gzip", "mp2", "mp3",  "mpa",  "mpc", "mpe", "mpeg", "mpg",
                                     "mpga", "mp4", "bz",   "bz2",  "m1v", "m2a", "m2v",  "m3u"};
  const auto rows = web::mimeTable();
  for (std::size_t i = 0; i < std::size(common); ++i) EXPECT_EQ(rows[i].extension, common[i]);
  for (std::size_t i = std::size(common) + 1; i + 1 < rows.size(); ++i) {
    EXPECT_LT(rows[i - 1].extension, rows[i].extension) << "row " << i;
  }
  std::set<std::string_view> distinct;
  for (const web::MimeRow& row : rows) distinct.insert(row.extension);
  EXPECT_EQ(distinct.size(), rows.size());
}

TEST(MimeTable, ListedContentTypes) {
  const std::pair<const char*, const char*> cases[] = {
      {"js", "application/x-javascript"},
      {"htm", "text/html"},
      {"html", "text/html"},
      {"jpeg", "image/jpeg"},
      {"jpg", "image/jpeg"},
      {"gif", "image/gif"},
      {"png", "image/png"},
      {"pdf", "application/pdf"},
      {"ico", "image/x-icon"},
      {"txt", "text/plain"},
      {"avi", "video/avi"},
      {"ts", "video/MP2T"},
      {"z", "application/x-compress"},
      {"zip", "application/x-compressed"},
      {"gtar", "application/x-gtar"},
      {"gz", "application/x-compressed"},
      {"gzip", "application/x-gzip"},
      {"mp2", "audio/mpeg"},
      {"mp3", "audio/mpeg3"},
      {"mpa", "audio/mpeg"},
      {"mpc", "application/x-project"},
      {"mpe", "video/mpeg"},
      {"mpeg", "video/mpeg"},
      {"mpg", "video/mpeg"},
      {"mpga", "audio/mpeg"},
      {"mp4", "video/mp4"},
      {"bz", "application/x-bzip"},
      {"bz2", "application/x-bzip2"},
      {"m1v", "video/mpeg"},
      {"m2a", "audio/mpeg"},
      {"m2v", "video/mpeg"},
      {"m3u", "audio/x-mpequrl"},
      {"3dm", "x-world/x-3dmf"},
      {"3dmf", "x-world/x-3dmf"},
      {"css", "text/css"},
      {"xml", "text/xml"},
      {"bmp", "image/bmp"},
      {"tif", "image/tiff"},
      {"tiff", "image/tiff"},
      {"wav", "audio/wav"},
      {"mid", "audio/midi"},
      {"midi", "audio/midi"},
      {"mov", "video/quicktime"},
      {"swf", "application/x-shockwave-flash"},
      {"doc", "application/msword"},
      {"xls", "application/excel"},
      {"ppt", "application/mspowerpoint"},
      {"rtf", "text/richtext"},
      {"tar", "application/x-tar"},
      {"tgz", "application/gnutar"},
      {"shtml", "text/x-server-parsed-html"},
      {"class", "application/java"},
      {"com", "application/octet-stream"},
      {"py", "text/x-script.phyton"},
      {"text", "application/plain"},
      {"elc", "application/x-bytecode.elisp (compiled elisp)"},
  };
  for (const auto& [extension, type] : cases) {
    EXPECT_EQ(typeOf(std::string("file.") + extension), std::string(type) + "\r\n") << extension;
  }
}

TEST(MimeTable, LookupEdgeCases) {
  constexpr const char* kDefault = "application/octet-stream\r\n";
  struct Case {
    const char* path;
    engine::ContentCoding coding;
    const char* type;  // "refused" when the lookup fails
    engine::ContentCoding codingAfter;
  };
  const Case cases[] = {
      {"style.css", engine::kGzip, "text/css\r\n", engine::kGzip},
      {"a/b/page.html", engine::kDeflate, "text/html\r\n", engine::kDeflate},
      {"logo.png", engine::kGzip, "image/png\r\n", engine::kIdentity},
      {"INDEX.HTML", engine::kGzip, kDefault, engine::kIdentity},
      {"archive.tar.gz", engine::kGzip, "application/x-compressed\r\n", engine::kIdentity},
      {"README", engine::kDeflate, kDefault, engine::kDeflate},
      {"README", engine::kNothingAcceptable, kDefault, engine::kNothingAcceptable},
      {"name.", engine::kGzip, kDefault, engine::kIdentity},
      {"docs.old/readme", engine::kGzip, kDefault, engine::kIdentity},
      {"docs.old/readme.txt", engine::kGzip, "text/plain\r\n", engine::kGzip},
      {"page.php", engine::kGzip, kDefault, engine::kGzip},  // compressible, not in the table
      {"data.unknown", engine::kGzip, kDefault, engine::kIdentity},
      {"setup.exe", engine::kGzip, "refused", engine::kIdentity},
      {"lib.dll", engine::kIdentity, "refused", engine::kIdentity},
      {"setup.EXE", engine::kGzip, kDefault, engine::kIdentity},
      {"movie.ts", engine::kGzip, "video/MP2T\r\n", engine::kIdentity},
      {"song.mp3", engine::kGzip, "audio/mpeg3\r\n", engine::kIdentity},
      {"list.m3u", engine::kGzip, "audio/x-mpequrl\r\n", engine::kIdentity},
      {"script.py", engine::kGzip, "text/x-script.phyton\r\n", engine::kIdentity},
      {"lib.c++", engine::kGzip, "text/plain\r\n", engine::kIdentity},
  };
  for (const Case& c : cases) {
    engine::HttpRequest request;
    request.coding = c.coding;
    web::WebRequest web;
    web.mimeIndex = web::kMimeRowCount;  // no row: a lookup that sets none leaves it
    const bool served = web::lookupMimeType(c.path, request, web);
    if (served) {
      ASSERT_LT(web.mimeIndex, web::kMimeRowCount) << c.path;
      EXPECT_EQ(web::mimeTable()[web.mimeIndex].contentType, c.type) << c.path;
    } else {
      EXPECT_STREQ(c.type, "refused") << c.path;
      EXPECT_EQ(web.mimeIndex, web::kMimeRowCount) << c.path;
    }
    EXPECT_EQ(request.coding, c.codingAfter) << c.path;
  }
}

}  // namespace
