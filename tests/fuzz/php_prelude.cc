// The PHP prelude over any field names, values, file parts (and where the
// run stored them), cookies, script path and host. The prelude is read back
// the way PHP's lexer reads it: outside the literals only the expected
// statements may stand, every literal must end where it was meant to end
// (nothing in the data closes it or is interpolated), and the values read
// back must be the data put in.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "web/php_gateway.h"
#include "web/web_request.h"

namespace {

[[noreturn]] void fail() {
  std::abort();
}

class PreludeReader {
 public:
  explicit PreludeReader(std::string_view text) : text_(text) {}

  void expect(std::string_view token) {
    if (text_.substr(at_, token.size()) != token) fail();
    at_ += token.size();
  }
  bool take(std::string_view token) {
    if (text_.substr(at_, token.size()) != token) return false;
    at_ += token.size();
    return true;
  }
  bool atEnd() const { return at_ == text_.size(); }

  // The inside of a single-quoted literal, the opening quote already read.
  std::string singleQuoted() {
    std::string out;
    for (;;) {
      if (at_ >= text_.size()) fail();
      const char c = text_[at_++];
      if (c == '\'') return out;
      if (c == '\\' && at_ < text_.size() && (text_[at_] == '\\' || text_[at_] == '\'')) {
        out += text_[at_++];
      } else {
        out += c;
      }
    }
  }

  // The inside of a double-quoted literal. A backslash before anything but
  // \ " $ would start one of PHP's escape sequences, and a bare $ an
  // interpolation: neither may come from data.
  std::string doubleQuoted() {
    std::string out;
    for (;;) {
      if (at_ >= text_.size()) fail();
      const char c = text_[at_++];
      if (c == '"') return out;
      if (c == '$') fail();
      if (c == '\\') {
        if (at_ >= text_.size()) fail();
        const char next = text_[at_++];
        if (next != '\\' && next != '"' && next != '$') fail();
        out += next;
      } else {
        out += c;
      }
    }
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const bool post = input.ConsumeBool();
  const bool withServerVars = input.ConsumeBool();
  web::WebRequest request;
  request.cookie = input.ConsumeRandomLengthString(256);
  request.filePath = input.ConsumeRandomLengthString(128);
  const std::string host = input.ConsumeRandomLengthString(64);
  std::vector<web::FormField> fields;
  std::vector<web::FormField> files;
  std::vector<web::StoredUpload> stored;  // one per file part, as the run stores it
  while (input.remaining_bytes() > 0 && fields.size() < 16) {
    web::FormField field;
    field.name = input.ConsumeRandomLengthString(64);
    field.value = input.ConsumeRandomLengthString(256);
    field.file = input.ConsumeBool();
    if (field.file) {
      field.fileName = input.ConsumeRandomLengthString(64);
      field.fileType = input.ConsumeRandomLengthString(32);
      web::StoredUpload upload;
      upload.tmpName = input.ConsumeRandomLengthString(64);
      upload.error = input.PickValueInArray({0, 4, 6, 7});
      stored.push_back(std::move(upload));
      files.push_back(field);
    }
    fields.push_back(std::move(field));
  }

  web::buildPhpPrelude(fields, post, request, withServerVars, host);
  // Classifying writes nothing: the file parts are kept whole, in order.
  if (request.uploads.size() != files.size()) fail();
  for (std::size_t i = 0; i < files.size(); ++i) {
    const web::FormField& kept = request.uploads[i];
    if (kept.name != files[i].name || kept.value != files[i].value || !kept.file ||
        kept.fileName != files[i].fileName || kept.fileType != files[i].fileType) {
      fail();
    }
  }

  PreludeReader reader(request.bodyText);
  reader.expect("<?PHP ");
  reader.expect(post ? "$_SERVER['REQUEST_METHOD']=\"POST\";"
                     : "$_SERVER['REQUEST_METHOD']=\"GET\";");
  const auto assignment = [&](std::string_view array, const std::string& name,
                              const std::string& value) {
    reader.expect(array);
    reader.expect("['");
    if (reader.singleQuoted() != name) fail();
    reader.expect("] = \"");
    if (reader.doubleQuoted() != value) fail();
    reader.expect(";");
  };
  for (const web::FormField& field : fields) {
    if (field.file) continue;
    assignment(post ? "$_POST" : "$_GET", field.name, field.value);
    assignment("$_REQUEST", field.name, field.value);
  }
  if (withServerVars) {
    if (!request.cookie.empty()) {
      reader.expect("\r\n");
      // The cookie pairs are the gateway's own reading; here they only have
      // to be well-formed assignments.
      while (reader.take("$_COOKIE['")) {
        reader.singleQuoted();
        reader.expect("] = \"");
        reader.doubleQuoted();
        reader.expect(";");
      }
    }
    reader.expect("$_SERVER['PHP_SELF']=\"");
    if (reader.doubleQuoted() != request.filePath) fail();
    reader.expect(";$_SERVER['HTTP_HOST']=\"");
    if (reader.doubleQuoted() != host) fail();
    reader.expect(";");
  }
  reader.expect("\r\n ?>");
  if (!reader.atEnd()) fail();

  // The file parts' block, made when the page runs: in $_FILES only, its
  // name the client's name after the last separator, the client's name in
  // full_path, the stored file's path in tmp_name.
  const std::string block = web::filesPrelude(request.uploads, stored);
  PreludeReader filesReader(block);
  if (files.empty()) {
    if (!block.empty()) fail();
    return 0;
  }
  filesReader.expect("<?PHP ");
  for (std::size_t i = 0; i < files.size(); ++i) {
    const web::FormField& field = files[i];
    filesReader.expect("$_FILES['");
    if (filesReader.singleQuoted() != field.name) fail();
    filesReader.expect("] = ['name' => \"");
    const std::string name = filesReader.doubleQuoted();
    const std::string& given = field.fileName;
    if (name.find_first_of("/\\") != std::string::npos || name.size() > given.size()) fail();
    const std::size_t cut = given.size() - name.size();
    if (given.compare(cut, name.size(), name) != 0) fail();
    if (cut > 0 && given[cut - 1] != '/' && given[cut - 1] != '\\') fail();
    filesReader.expect(", 'full_path' => \"");
    if (filesReader.doubleQuoted() != field.fileName) fail();
    filesReader.expect(", 'type' => \"");
    if (filesReader.doubleQuoted() != field.fileType) fail();
    const std::size_t size = stored[i].error == 0 ? field.value.size() : 0;
    filesReader.expect(", 'size' => " + std::to_string(size) + ", 'tmp_name' => \"");
    if (filesReader.doubleQuoted() != stored[i].tmpName) fail();
    filesReader.expect(", 'error' => " + std::to_string(stored[i].error) + "];");
  }
  filesReader.expect("\r\n ?>");
  if (!filesReader.atEnd()) fail();
  return 0;
}
