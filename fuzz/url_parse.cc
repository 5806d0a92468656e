// libFuzzer target: interface URLs and specs. The input is one line, a URL or a spec.
//   - The URL part functions must agree with a plain model of the URL grammar, and the fields that
//     stringParse cuts must join back to the text.
//   - The file, unix, desc, syslog and inet classes then open it, but only where that stays harmless:
//     files and sockets only by a plain name, which lands in a temporary folder of this run (the
//     current directory and INTERFACE_PATH); internet sockets only as listeners on port 0 of a numeric
//     or local host, never connecting. Pipes (commands) and circular logs are parsed, never opened:
//     their classes are not even registered here. After each input no file may exist in the
//     temporary folder outside its work directory.
//   - A file or unix interface opened from a URL records a spec that opens the same interface again.
#include <arpa/inet.h>
#include <dirent.h>
#include <netdb.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "telvi/interface.h"

// Name look-ups of this process fail at once: the gate below lets only numeric and local hosts
// through, and this keeps it so should the gate miss one.
extern "C" int getaddrinfo(const char *, const char *, const struct addrinfo *, struct addrinfo **) {
  return EAI_NONAME;
}
extern "C" struct hostent *gethostbyname(const char *) { return nullptr; }

extern "C" int Intfile_InitInternal(void);
extern "C" int Intunix_InitInternal(void);
extern "C" int Intsyslog_InitInternal(void);
extern "C" int Intinet_InitInternal(void);

namespace {

void removeAll(const std::string &dir);

std::string top;   // the temporary folder
std::string work;  // its work directory: the current directory and INTERFACE_PATH

bool setUp() {
  char pattern[] = "/tmp/url_parse.XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  top = pattern;
  work = top + "/work";
  if (mkdir(work.c_str(), 0700) != 0 || chdir(work.c_str()) != 0) std::abort();
  setenv("INTERFACE_PATH", work.c_str(), 1);
  std::atexit([] {
    removeAll(work);
    rmdir(work.c_str());
    rmdir(top.c_str());
  });
  interfaceInitialize();
  Intfile_InitInternal();
  Intunix_InitInternal();
  Intsyslog_InitInternal();
  Intinet_InitInternal();
  if (interfaceFindClass("pipe") != nullptr || interfaceFindClass("clog") != nullptr) std::abort();
  return true;
}

[[noreturn]] void fail(const char *what, const std::string &text, const std::string &a = "",
                       const std::string &b = "") {
  std::fprintf(stderr, "%s\n  input: \"%s\"\n  got:   \"%s\"\n  want:  \"%s\"\n", what, text.c_str(),
               a.c_str(), b.c_str());
  std::abort();
}

std::optional<std::string> take(char *text) {
  if (text == nullptr) return std::nullopt;
  std::string s = text;
  std::free(text);
  return s;
}

std::string show(const std::optional<std::string> &s) { return s ? *s : "<none>"; }

// ---- a model of the URL grammar: scheme://host[:port]/resource[;name=value]...[?...][#...] ----

std::optional<std::string> nonEmpty(const std::string &s) {
  if (s.empty()) return std::nullopt;
  return s;
}

struct Model {
  bool url = false;
  std::optional<std::string> scheme, host, port, resource;
  std::vector<std::pair<std::string, std::string>> params;  // in order, names as written
};

Model model(const std::string &text) {
  Model m;
  size_t mark = text.find("://");
  if (mark == std::string::npos) return m;
  m.url = true;
  m.scheme = nonEmpty(text.substr(0, mark));
  std::string rest = text.substr(mark + 3);
  size_t hostEnd = rest.find_first_of(":/");
  m.host = nonEmpty(rest.substr(0, hostEnd));
  if (hostEnd != std::string::npos && rest[hostEnd] == ':') {
    std::string after = rest.substr(hostEnd + 1);
    m.port = nonEmpty(after.substr(0, after.find('/')));
  }
  size_t slash = rest.find('/');
  if (slash != std::string::npos) {
    std::string after = rest.substr(slash + 1);
    m.resource = nonEmpty(after.substr(0, after.find_first_of(";?#")));
  }
  // Parameters: from the first ';', '?' or '#' of the whole text, while the next one is a ';'.
  size_t p = text.find_first_of(";?#");
  while (p != std::string::npos && text[p] == ';') {
    size_t end = text.find_first_of(";?#", p + 1);
    std::string field = text.substr(p + 1, end == std::string::npos ? std::string::npos : end - p - 1);
    size_t equals = field.find('=');
    if (equals != std::string::npos) m.params.emplace_back(field.substr(0, equals), field.substr(equals + 1));
    p = end;
  }
  return m;
}

std::optional<std::string> modelParam(const Model &m, const std::string &name) {
  for (const auto &[key, value] : m.params)
    if (key.size() == name.size() && strncasecmp(key.c_str(), name.c_str(), name.size()) == 0)
      return nonEmpty(value);
  return std::nullopt;
}

void checkUrl(const std::string &text) {
  Model m = model(text);
  if ((isURL(text.c_str()) != 0) != m.url) fail("isURL disagrees", text);
  struct Part {
    const char *name;
    std::optional<std::string> got, want;
  } parts[] = {{"scheme", take(getURLScheme(text.c_str())), m.scheme},
               {"host", take(getURLHost(text.c_str())), m.host},
               {"port", take(getURLPort(text.c_str())), m.port},
               {"resource", take(getURLResource(text.c_str())), m.resource}};
  for (const Part &p : parts)
    if (p.got != p.want) fail(p.name, text, show(p.got), show(p.want));
  std::vector<std::string> names = {"flags",    "mode",   "lines", "role", "app",
                                    "facility", "logopt", "type",  "x"};
  for (const auto &param : m.params) names.push_back(param.first);
  for (const std::string &name : names) {
    auto got = m.url ? take(getURLParam(text.c_str(), name.c_str())) : std::nullopt;
    if (got != modelParam(m, name))
      fail("parameter", text + " [" + name + "]", show(got), show(modelParam(m, name)));
  }
}

// stringParse: the fields, empty ones absent, join back to the text with the separator.
void checkFields(const std::string &text, char sep) {
  const char *cursor = text.c_str();
  std::string joined;
  bool first = true;
  for (int guard = 0; cursor != nullptr; ++guard) {
    if (guard > static_cast<int>(text.size()) + 1) fail("stringParse does not end", text);
    auto field = take(stringParse(&cursor, sep));
    if (field && (field->empty() || field->find(sep) != std::string::npos))
      fail("stringParse field", text, *field);
    if (!first) joined += sep;
    joined += field.value_or("");
    first = false;
  }
  if (joined != text) fail("stringParse fields do not join to the text", text, joined);
}

// ---- opening, confined ----

std::string schemeOf(const std::string &text) {
  size_t mark = text.find("://");
  if (mark != std::string::npos) return text.substr(0, mark);
  return text.substr(0, text.find(':'));
}

// The colon fields of a spec after its scheme word ("" for an empty one).
std::vector<std::string> specFields(const std::string &spec) {
  std::vector<std::string> fields;
  size_t at = spec.find(':');
  while (at != std::string::npos) {
    size_t end = spec.find(':', at + 1);
    fields.push_back(spec.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1));
    at = end;
  }
  return fields;
}

bool plainName(const std::string &name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The name a file or unix interface would take: the URL's resource, or the interface spec's first
// field.
std::string pathOf(const std::string &text, const Model &m) {
  if (m.url) return m.resource.value_or("");
  auto fields = specFields(text);
  return fields.empty() ? "" : fields[0];
}

bool harmlessInet(const std::string &text, const Model &m) {
  std::string host, port;
  if (m.url) {
    host = m.host.value_or("");
    port = m.port.value_or("");
  } else {
    auto fields = specFields(text);
    if (fields.size() > 1) host = fields[1];
    if (fields.size() > 2) port = fields[2];
  }
  in_addr address;
  bool localHost = host.empty() || host == "localhost" || inet_aton(host.c_str(), &address) != 0;
  bool noPort = port.empty() || port.find_first_not_of('0') == std::string::npos;
  return localHost && noPort;
}

bool mayOpen(const std::string &text, const Model &m) {
  std::string scheme = schemeOf(text);
  if (scheme == "file" || scheme == "unix") return plainName(pathOf(text, m));
  if (scheme == "desc" || scheme == "syslog") return true;
  if (scheme == "inet") return harmlessInet(text, m);
  return false;
}

void removeAll(const std::string &dir) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") unlink((dir + "/" + name).c_str());
  }
  closedir(d);
}

// Nothing but the work directory may be in the temporary folder.
void checkConfined(const std::string &text) {
  DIR *d = opendir(top.c_str());
  if (d == nullptr) fail("the temporary folder is gone", text);
  while (dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != ".." && name != "work")
      fail("a file was made outside the work directory", text, name);
  }
  closedir(d);
  removeAll(work);
}

// The parameters a class carries into its interface spec.
std::vector<std::string> specParams(const std::string &scheme) {
  if (scheme == "file") return {"flags", "mode"};
  if (scheme == "unix") return {"role"};
  if (scheme == "syslog") return {"app", "facility", "logopt"};
  return {};
}

void open(const std::string &text, const Model &m) {
  if (!mayOpen(text, m)) return;
  std::string scheme = schemeOf(text);
  // A ':' in the resource or a carried value cannot go into the colon-separated spec: such a URL
  // must be refused, never opened as something else.
  bool colon = false;
  if (m.url && (scheme == "file" || scheme == "unix" || scheme == "syslog")) {
    colon = m.resource.value_or("").find(':') != std::string::npos;
    for (const std::string &name : specParams(scheme))
      colon = colon || modelParam(m, name).value_or("").find(':') != std::string::npos;
  }
  int fd = interfaceOpen(text.c_str());
  if (fd >= 0 && colon) fail("a URL whose spec fields would hold a ':' opened", text);
  if (fd >= 0) {
    const char *spec = nullptr;
    if (interfaceInfo(fd, nullptr, nullptr, nullptr, &spec, nullptr, nullptr) != 0 || spec == nullptr)
      fail("an open interface has no record", text);
    std::string recorded = spec;
    interfaceType(fd);
    interfaceValidateFD(fd);
    interfaceClose(fd);
    if (m.url && (scheme == "file" || scheme == "unix")) {
      // The interface spec a URL was converted to opens the same interface.
      if (schemeOf(recorded) != scheme || !plainName(pathOf(recorded, Model{})))
        fail("recorded spec", text, recorded);
      int again = interfaceOpen(recorded.c_str());
      if (again < 0) fail("the recorded spec does not open", text, recorded);
      if (interfaceInfo(again, nullptr, nullptr, nullptr, &spec, nullptr, nullptr) != 0 || recorded != spec)
        fail("the recorded spec opens another interface", text, spec ? spec : "", recorded);
      interfaceClose(again);
    }
    if (scheme == "file") interfaceRemove(text.c_str());
  }
  checkConfined(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = setUp();
  (void)ready;
  if (size > 4096) return 0;
  std::string text(reinterpret_cast<const char *>(data), size);
  text.resize(std::strlen(text.c_str()));
  checkUrl(text);
  checkFields(text, ':');
  checkFields(text, ';');
  open(text, model(text));
  return 0;
}
