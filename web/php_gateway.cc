#include "web/php_gateway.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <system_error>

#include "common/text.h"
#include "engine/response_writer.h"
#include "platform/unique_fd.h"
#include "web/static_files.h"

namespace web {
namespace {

constexpr std::string_view kUrlEncoded = "application/x-www-form-urlencoded";

// Splits `text` at every occurrence of `separator`, dropping empty pieces.
std::vector<std::string_view> splitAt(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + separator.size();
  }
  return pieces;
}

// Splits `text` at every byte of `separators`, dropping empty pieces.
std::vector<std::string_view> splitAtAny(std::string_view text, std::string_view separators) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of(separators, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

void decodeUrlEncoded(std::string_view text, std::vector<FormField>& fields) {
  for (std::string_view piece : splitAt(text, "&")) {
    const std::size_t equals = piece.find('=');
    if (equals == std::string_view::npos || equals + 1 == piece.size()) continue;
    fields.push_back({urlDecode(piece.substr(0, equals)), urlDecode(piece.substr(equals + 1))});
  }
}

void decodeMultipart(std::string_view text, std::string_view contentType,
                     std::vector<FormField>& fields) {
  constexpr std::string_view kBoundary = "boundary=";
  const std::size_t at = contentType.find(kBoundary);
  if (at == std::string_view::npos) return;
  const std::string separator = "--" + std::string(contentType.substr(at + kBoundary.size()));
  for (std::string_view part : splitAt(text, separator)) {
    const std::size_t blank = part.find("\r\n\r\n");
    // A part without a blank line is all head: its value is empty.
    const std::string_view head = part.substr(0, blank);
    const std::string_view value =
        blank == std::string_view::npos ? std::string_view() : part.substr(blank + 4);
    const std::vector<std::string_view> lines = splitAtAny(head, "\r\n");
    for (std::string_view line : lines) {
      constexpr std::string_view kName = "name=\"";
      const std::size_t name = line.find(kName);
      if (name == std::string_view::npos ||
          !common::contains(line, "Content-Disposition: form-data;")) {
        continue;
      }
      std::string_view fieldName = line.substr(name + kName.size());
      fieldName = fieldName.substr(0, fieldName.find('"'));
      FormField field{std::string(common::trim(fieldName, "\r\n")),
                      std::string(common::trim(value, "\r\n"))};
      constexpr std::string_view kFileName = "filename=\"";
      if (const std::size_t at = line.find(kFileName); at != std::string_view::npos) {
        const std::string_view fileName = line.substr(at + kFileName.size());
        field.file = true;
        field.fileName = fileName.substr(0, fileName.find('"'));
        // A file's content is kept byte for byte: only the line end that
        // belongs to the next delimiter goes, never the file's own.
        std::string_view content = value;
        if (common::endsWith(content, "\r\n")) content.remove_suffix(2);
        field.value = content;
        for (std::string_view other : lines) {
          constexpr std::string_view kType = "content-type:";
          if (common::startsWith(common::toLowerAscii(other.substr(0, kType.size())), kType)) {
            field.fileType = common::trim(other.substr(kType.size()), " ");
          }
        }
      }
      fields.push_back(std::move(field));
      break;
    }
  }
}

void appendAssignment(std::string& out, std::string_view array, std::string_view name,
                      std::string_view value) {
  out += array;
  out += "['";
  out += phpSingleQuoted(name);
  out += "'] = \"";
  out += phpDoubleQuoted(value);
  out += "\";";
}

// The part of a client's file name after its last "/" or "\\", as PHP takes
// it: a script that stores an upload under its name cannot be led into
// another folder by it.
std::string_view baseName(std::string_view fileName) {
  const std::size_t separator = fileName.find_last_of("/\\");
  return separator == std::string_view::npos ? fileName : fileName.substr(separator + 1);
}

// The folder for a run's temporary files: TMPDIR when it is set, /tmp else.
std::string temporaryRoot() {
  const char* root = std::getenv("TMPDIR");
  return root != nullptr && *root != '\0' ? root : "/tmp";
}

// The upload folders that exist now. The server's end removes any still
// there (a worker that was stopped may not have got to it) and no more are
// made. Never destroyed: detached connection workers may reach it at exit.
struct LiveFolders {
  std::mutex mutex;
  std::set<std::string> paths;
  bool closed = false;
};
LiveFolders& liveFolders() {
  static LiveFolders* const folders = new LiveFolders;
  return *folders;
}

void removeFolder(const std::string& path) {
  // A script may have added files or folders of its own: all of it goes.
  // Links inside are removed, never followed.
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(std::size_t(n));
  }
  return true;
}

// The script's lines as text-mode reading gives them, each ended by CR LF; a
// final line end adds one more empty line.
void appendScriptLines(std::string_view file, std::string& out) {
  std::size_t start = 0;
  for (;;) {
    std::size_t end = file.find('\n', start);
    const bool last = end == std::string_view::npos;
    if (last) end = file.size();
    std::string_view line = file.substr(start, end - start);
    if (!last && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    out += line;
    out += "\r\n";
    if (last) break;
    start = end + 1;
  }
}

// The script's text, when its path names a regular file inside the served
// folder (the checks of openServedFile).
bool readScript(const SiteSettings& site, const std::string& path, std::string& text) {
  struct stat info {};
  const platform::UniqueFd file = openServedFile(site.servePath, path, info);
  if (!file.valid()) return false;
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(file.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text.append(chunk, std::size_t(n));
  }
}

}  // namespace

bool decodeForm(std::string_view text, std::string_view contentType,
                std::vector<FormField>& fields) {
  const std::string lowered = common::toLowerAscii(common::trim(contentType, " "));
  if (common::startsWith(lowered, kUrlEncoded)) {
    decodeUrlEncoded(text, fields);
    return true;
  }
  if (common::startsWith(lowered, "multipart/form-data")) {
    decodeMultipart(text, contentType, fields);
    return true;
  }
  return false;
}

std::string phpDoubleQuoted(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\\' || c == '"' || c == '$') out += '\\';
    out += c;
  }
  return out;
}

std::string phpSingleQuoted(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\\' || c == '\'') out += '\\';
    out += c;
  }
  return out;
}

void buildPhpPrelude(std::vector<FormField> fields, bool post, WebRequest& web, bool withServerVars,
                     std::string_view phpHttpHost) {
  std::string& out = web.bodyText;
  out += "<?PHP ";
  out += post ? "$_SERVER['REQUEST_METHOD']=\"POST\";" : "$_SERVER['REQUEST_METHOD']=\"GET\";";
  const std::string_view array = post ? "$_POST" : "$_GET";
  for (FormField& field : fields) {
    if (field.file) {
      web.uploads.push_back(std::move(field));
      continue;
    }
    appendAssignment(out, array, field.name, field.value);
    appendAssignment(out, "$_REQUEST", field.name, field.value);
  }
  if (withServerVars) {
    if (!web.cookie.empty()) {
      out += "\r\n";
      for (std::string_view piece : splitAt(web.cookie, ";")) {
        piece = common::trim(common::trim(piece, "\r\n"), " ");
        const std::size_t equals = piece.find('=');
        if (equals == std::string_view::npos || equals + 1 == piece.size()) continue;
        appendAssignment(out, "$_COOKIE", urlDecode(piece.substr(0, equals)),
                         urlDecode(piece.substr(equals + 1)));
      }
    }
    out += "$_SERVER['PHP_SELF']=\"" + phpDoubleQuoted(web.filePath) + "\";";
    out += "$_SERVER['HTTP_HOST']=\"" + phpDoubleQuoted(phpHttpHost) + "\";";
  }
  out += "\r\n ?>";
}

UploadFolder::~UploadFolder() {
  if (folder_.empty()) return;
  LiveFolders& live = liveFolders();
  const std::lock_guard<std::mutex> lock(live.mutex);
  if (live.paths.erase(folder_) != 0) removeFolder(folder_);
}

StoredUpload UploadFolder::storeOne(std::string_view content) {
  if (folder_.empty() && !folderFailed_) {
    LiveFolders& live = liveFolders();
    const std::lock_guard<std::mutex> lock(live.mutex);
    std::string name = temporaryRoot() + "/ondrel-XXXXXX";
    if (!live.closed && ::mkdtemp(name.data()) != nullptr) {
      live.paths.insert(name);
      folder_ = std::move(name);
    } else {
      folderFailed_ = true;
    }
  }
  if (folder_.empty()) return {"", 6};
  std::string path = folder_ + "/" + std::to_string(++count_);
  const platform::UniqueFd file(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!file.valid()) return {"", 7};
  if (!writeAll(file.get(), content)) {
    ::unlink(path.c_str());
    return {"", 7};
  }
  return {std::move(path), 0};
}

std::vector<StoredUpload> UploadFolder::store(const std::vector<FormField>& uploads) {
  std::vector<StoredUpload> stored;
  stored.reserve(uploads.size());
  for (const FormField& upload : uploads) {
    stored.push_back(upload.fileName.empty() ? StoredUpload{"", 4} : storeOne(upload.value));
  }
  return stored;
}

void removeUploadFolders() {
  LiveFolders& live = liveFolders();
  const std::lock_guard<std::mutex> lock(live.mutex);
  live.closed = true;
  for (const std::string& path : live.paths) removeFolder(path);
  live.paths.clear();
}

std::string filesPrelude(const std::vector<FormField>& uploads,
                         const std::vector<StoredUpload>& stored) {
  if (uploads.empty()) return {};
  std::string out = "<?PHP ";
  for (std::size_t i = 0; i < uploads.size(); ++i) {
    const FormField& field = uploads[i];
    const StoredUpload done = i < stored.size() ? stored[i] : StoredUpload{"", 7};
    out += "$_FILES['";
    out += phpSingleQuoted(field.name);
    out += "'] = ['name' => \"" + phpDoubleQuoted(baseName(field.fileName)) +
           "\", 'full_path' => \"" + phpDoubleQuoted(field.fileName) + "\", 'type' => \"" +
           phpDoubleQuoted(field.fileType) + "\", 'size' => " +
           std::to_string(done.error == 0 ? field.value.size() : 0) + ", 'tmp_name' => \"" +
           phpDoubleQuoted(done.tmpName) + "\", 'error' => " + std::to_string(done.error) + "];";
  }
  out += "\r\n ?>";
  return out;
}

void buildGetPrelude(const std::optional<std::string>& query, WebRequest& web,
                     const SiteSettings& site) {
  std::vector<FormField> fields;
  if (query && !query->empty()) decodeForm(*query, kUrlEncoded, fields);
  buildPhpPrelude(std::move(fields), false, web, true, site.phpHttpHost);
}

void resolvePost(std::string_view url, engine::HttpRequest& request, WebRequest& web,
                 const SiteSettings& site) {
  const std::optional<std::string> query = resolveUrl(url, request, web, site);
  if (web.kind != WebKind::Php) return;
  if (query) {
    std::vector<FormField> fields;
    if (!query->empty()) decodeForm(*query, kUrlEncoded, fields);
    buildPhpPrelude(std::move(fields), true, web, true, site.phpHttpHost);
  }
  std::vector<FormField> fields;
  if (const std::string_view body = request.body(); !body.empty()) {
    decodeForm(body, web.contentType, fields);
  }
  // Without a query there is no query block: the body block carries the
  // server values, so the script still sees its cookies, PHP_SELF and host.
  buildPhpPrelude(std::move(fields), true, web, !query, site.phpHttpHost);
}

std::string systemPhpIni(const std::string& phpCgiPath, int timeoutMs) {
  constexpr std::string_view kStart = "<php.ini>";
  constexpr std::string_view kEnd = "</php.ini>";
  const platform::ChildResult run = platform::runFilter(
      phpCgiPath, {"-q"}, "/", "<?php echo '<php.ini>', php_ini_loaded_file(), '</php.ini>';",
      timeoutMs);
  const std::size_t start = run.output.find(kStart);
  if (run.outcome != platform::ChildOutcome::Finished || start == std::string::npos) return {};
  const std::size_t end = run.output.find(kEnd, start);
  if (end == std::string::npos) return {};
  std::string path = run.output.substr(start + kStart.size(), end - start - kStart.size());
  // PHP gives the path in full; a relative one would count from the served
  // folder, php-cgi's working folder when it runs pages.
  if (!common::startsWith(path, "/")) return {};
  return path;
}

std::vector<std::string> phpCgiArguments(const SiteSettings& site) {
  return {"-c", site.phpIni.empty() ? "/dev/null" : site.phpIni, "-d", "user_ini.filename="};
}

platform::ChildResult runPhpCgi(std::string_view script, const SiteSettings& site,
                                platform::Event* stop) {
  if (!site.phpAvailable) {
    return {platform::ChildOutcome::Finished, std::string(kPhpMissingPage)};
  }
  return platform::runFilter(site.phpCgiPath, phpCgiArguments(site), site.servePath, script,
                             site.phpTimeoutMs, stop);
}

bool servePhp(engine::HttpConnection& connection, const engine::HttpRequest& request,
              WebRequest& web, const SiteSettings& site) {
  // The script path is used undecoded; refuse it when either form of it
  // could leave the served folder.
  std::string file;
  if (!isContainedPath(web.filePath) || !isContainedPath(urlDecode(web.filePath)) ||
      !readScript(site, web.filePath, file)) {
    return engine::writeResponse(connection, request, notFoundAnswer());
  }
  std::string script = std::move(web.bodyText);
  // The uploads' files exist from here until this returns, whichever way.
  UploadFolder temporary;
  if (site.phpAvailable) script += filesPrelude(web.uploads, temporary.store(web.uploads));
  appendScriptLines(file, script);
  platform::ChildResult run = runPhpCgi(script, site, &connection.shutdownEvent());
  if (run.outcome == platform::ChildOutcome::Stopped) return false;
  engine::Response response;
  if (run.outcome == platform::ChildOutcome::TimedOut) {
    response.status = "504 Gateway Timeout";
    return engine::writeResponse(connection, request, std::move(response));
  }

  // php-cgi's header block heads the answer; the page after it is the body.
  response.status = "200 OK";
  std::string_view body = run.output;
  if (const std::size_t blank = body.find("\r\n\r\n"); blank != std::string_view::npos) {
    response.fields = body.substr(0, blank + 2);
    body.remove_prefix(blank + 4);
  }
  response.body = body;
  response.compress = site.compressionEnabled && !body.empty();
  return engine::writeResponse(connection, request, std::move(response));
}

}  // namespace web
