// Diagnostic channels and exported variables.
//
// Lines are built in fixed buffers with the small formatter below rather than with the C library's
// formatting, because the export signal handler builds and writes lines too, and only
// async-signal-safe calls are allowed there: time(), write() and reads of tables that nobody changes
// at that moment. The handler's time stamp uses the offset from UTC that the last ordinary line saw.
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "telvi/cfg.h"
#include "telvi/ddl.h"
#include "telvi/interface.h"
#include "util/strtable.h"

namespace {

constexpr size_t kLineLimit = 4352;     // a formatted line, terminating NUL included
constexpr size_t kSpecialLimit = 4096;  // a formatted special line
constexpr size_t kPartial = 512;        // what of an oversized message still gets printed
constexpr size_t kTimeLimit = 32;
constexpr const char *kStderrStream = "desc://localhost/stderr";
constexpr const char *kExportsKey = "__EXPORTS";
constexpr const char *kListSeparators = " \t,+|";

struct Channel {
  int fd = -1;
  long long inode = -1;
  long long device = -1;
  int enabled = 0;
  std::string stream;
  int local = 0;
  ddlCallback callback = nullptr;
  void *argument = nullptr;
};

struct Export {
  int type;
  void *value;
  std::string text;  // the storage of string values the module keeps itself (the export list)
};

struct State {
  telvi::StringTable<Channel> channels;
  telvi::StringTable<Export> exports;
  std::string application;
  std::string timeFormat = "%h %d %T";
  std::string block;
  volatile long utcOffset = 0;  // seconds east of UTC, for the signal handler's time stamps
};

State *state = nullptr;

State &module() {
  if (state == nullptr) state = new State;
  return *state;
}

// A bounded text buffer that never allocates.
class Buf {
 public:
  Buf(char *data, size_t size) : data_(data), size_(size) { data_[0] = '\0'; }
  void put(char c) {
    if (length_ + 1 < size_) data_[length_++] = c, data_[length_] = '\0';
    else overflow_ = true;
  }
  void put(const char *text, size_t n) {
    for (size_t i = 0; i < n; ++i) put(text[i]);
  }
  void put(const char *text) { put(text, std::strlen(text)); }
  void padded(const char *text, size_t width) {
    size_t n = std::strlen(text);
    put(text, n);
    for (; n < width; ++n) put(' ');
  }
  void number(unsigned long long value, unsigned base = 10, size_t width = 0, bool upper = true) {
    char digits[32];
    size_t n = 0;
    do digits[n++] = (upper ? "0123456789ABCDEF" : "0123456789abcdef")[value % base];
    while ((value /= base) != 0);
    for (size_t pad = n; pad < width; ++pad) put('0');
    while (n > 0) put(digits[--n]);
  }
  void decimal(long long value) {
    if (value < 0) put('-');
    number(value < 0 ? 0ull - static_cast<unsigned long long>(value) : value);
  }
  // As "%f": six decimals, rounded.
  void fixed(double value) {
    if (value != value) return put("nan");
    if (value < 0) put('-'), value = -value;
    if (value > 1e18) return put("inf");
    unsigned long long micro = static_cast<unsigned long long>(value * 1e6 + 0.5);
    number(micro / 1000000);
    put('.');
    number(micro % 1000000, 10, 6);
  }
  const char *text() const { return data_; }
  size_t length() const { return length_; }
  bool overflowed() const { return overflow_; }

 private:
  char *data_;
  size_t size_;
  size_t length_ = 0;
  bool overflow_ = false;
};

// The number an exported pointer points at; 0 for a null pointer.
template <typename T>
T pointee(const void *value) {
  return value == nullptr ? T{} : *static_cast<const T *>(value);
}

// The shown form of an exported value.
void showValue(Buf &out, const Export &record) {
  switch (record.type) {
    case DDL_EXPORT_STRING:
      out.put('"');
      if (record.value != nullptr) out.put(static_cast<const char *>(record.value));
      out.put('"');
      break;
    case DDL_EXPORT_INT:
      out.decimal(static_cast<int>(reinterpret_cast<intptr_t>(record.value)));
      break;
    case DDL_EXPORT_PINT:
      out.decimal(pointee<int>(record.value));
      break;
    case DDL_EXPORT_PLONG:
      out.decimal(pointee<long>(record.value));
      break;
    case DDL_EXPORT_PFLOAT:
      out.fixed(pointee<float>(record.value));
      break;
    case DDL_EXPORT_PDOUBLE:
      out.fixed(pointee<double>(record.value));
      break;
    default:
      out.put("0x");
      out.number(reinterpret_cast<uintptr_t>(record.value), 16, 8);
  }
}

// The header "%-8s %s %-12s  ": channel, time text, application.
void header(Buf &out, const char *channel, const char *timeText) {
  out.padded(channel, 8);
  out.put(' ');
  out.put(timeText);
  out.put(' ');
  const std::string &application = module().application;
  out.padded(application.empty() ? "diagnostic" : application.c_str(), 12);
  out.put("  ");
}

void timeText(char (&text)[kTimeLimit]) {
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  module().utcOffset = local.tm_gmtoff;
  if (strftime(text, sizeof text, module().timeFormat.c_str(), &local) == 0) text[0] = '\0';
}

// The time stamp inside the signal handler: the common conversions done by hand.
void signalTimeText(char (&text)[kTimeLimit]) {
  static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  long long t = static_cast<long long>(time(nullptr)) + state->utcOffset;
  long long days = t / 86400, seconds = t % 86400;
  if (seconds < 0) seconds += 86400, --days;
  // Civil date from days since 1970-01-01.
  long long z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
  long long doe = z - era * 146097, yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
  long long day = doy - (153 * mp + 2) / 5 + 1, month = mp < 10 ? mp + 3 : mp - 9;
  long long year = yoe + era * 400 + (month <= 2);
  Buf out(text, sizeof text);
  const std::string &format = state->timeFormat;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 == format.size()) {
      out.put(format[i]);
      continue;
    }
    switch (format[++i]) {
      case 'h': case 'b': out.put(months[month - 1]); break;
      case 'd': out.number(day, 10, 2); break;
      case 'e': if (day < 10) out.put(' '); out.number(day); break;
      case 'm': out.number(month, 10, 2); break;
      case 'Y': out.number(year); break;
      case 'y': out.number(year % 100, 10, 2); break;
      case 'H': out.number(seconds / 3600, 10, 2); break;
      case 'M': out.number(seconds / 60 % 60, 10, 2); break;
      case 'S': out.number(seconds % 60, 10, 2); break;
      case 'T':
        out.number(seconds / 3600, 10, 2), out.put(':'), out.number(seconds / 60 % 60, 10, 2);
        out.put(':'), out.number(seconds % 60, 10, 2);
        break;
      case '%': out.put('%'); break;
      default: out.put('%'), out.put(format[i]);
    }
  }
}

// Writes a finished line to the channel and hands it to its callback.
int emit(Channel &channel, const char *line, size_t length) {
  interfaceWrite(channel.fd, line, length, nullptr);
  if (channel.callback != nullptr) channel.callback(line, channel.argument);
  return 0;
}

// The enabled channel of that name with a descriptor, or null (after the message for a channel
// without one; *code tells the caller what to return).
Channel *printable(const char *name, int *code) {
  *code = 0;
  if (state == nullptr || name == nullptr) return nullptr;
  Channel *channel = state->channels.find(name);
  if (channel == nullptr || !channel->enabled) return nullptr;
  if (channel->fd < 0) {
    std::fprintf(stderr, "error: no file descriptor defined for channel %s\n", name);
    *code = -1;
    return nullptr;
  }
  return channel;
}

// Header and ready text, with no length limit.
int printText(const char *name, const char *text) {
  int code;
  Channel *channel = printable(name, &code);
  if (channel == nullptr) return code;
  char stamp[kTimeLimit];
  timeText(stamp);
  size_t size = std::strlen(text) + 257 + std::strlen(name) + module().application.size();
  char *line = static_cast<char *>(std::malloc(size));
  if (line == nullptr) {
    ddlPrintf("error", "Malloc failed, can't print message '%s'\n", text);
    return -1;
  }
  Buf out(line, size);
  header(out, name, stamp);
  out.put(text);
  code = emit(*channel, out.text(), out.length());
  std::free(line);
  return code;
}

// Header and formatted message within `limit` bytes; an oversized message is reported instead.
int printFormatted(const char *name, size_t limit, const char *format, va_list args) {
  int code;
  Channel *channel = printable(name, &code);
  if (channel == nullptr) return code;
  char stamp[kTimeLimit];
  timeText(stamp);
  char line[kLineLimit];
  Buf out(line, limit);
  header(out, name, stamp);
  size_t room = limit - out.length();
  int needed = std::vsnprintf(line + out.length(), room, format, args);
  if (needed < 0) return -1;
  if (static_cast<size_t>(needed) >= room) {
    std::string message(line + out.length());
    std::fprintf(stderr, "DDL message boundary exceeded ... memory corrupted\nmessage='%s'\n",
                 message.c_str());
    std::fflush(stderr);
    ddlPrintf("error", "DDL message boundary exceeded ... memory corrupted\npartial msg='%s'\n",
              message.substr(0, kPartial).c_str());
    return -1;
  }
  return emit(*channel, line, out.length() + static_cast<size_t>(needed));
}

struct FileId {
  long long inode = -1, device = -1;
  int local = 0;
};

// NFS and the other network file systems: a file there is not checked for rotation.
FileId identify(int fd) {
  FileId id;
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) return id;
  id.inode = static_cast<long long>(info.st_ino);
  id.device = static_cast<long long>(info.st_dev);
  struct statfs fs;
  bool network = false;
  if (fstatfs(fd, &fs) == 0) {
    unsigned long magic = static_cast<unsigned long>(fs.f_type) & 0xffffffffUL;
    network = magic == 0x6969 || magic == 0xff534d42UL || magic == 0x517b || magic == 0xfe534d42UL;
  }
  id.local = network ? 0 : 1;
  return id;
}

void record(Channel &channel, int fd) {
  FileId id = identify(fd);
  channel.fd = fd;
  channel.inode = id.inode;
  channel.device = id.device;
  channel.local = id.local;
}

// Gives every channel that holds `from` the descriptor `to`.
void moveDescriptor(int from, int to) {
  FileId id = identify(to);
  state->channels.forEach([&](const std::string &, Channel &channel) {
    if (channel.fd == from) channel.fd = to, channel.inode = id.inode, channel.device = id.device;
  });
}

int createChannel(const char *name, const char *stream, ddlCallback callback) {
  if (name == nullptr || *name == '\0') return -1;
  State &s = module();
  if (s.channels.find(name) != nullptr) {
    ddlPrintf("info", "Channel already exists: %s\n", name);
    return 0;
  }
  std::string text = stream == nullptr || *stream == '\0' ? kStderrStream : stream;
  Channel *sharing = nullptr;
  s.channels.forEach([&](const std::string &, Channel &other) {
    if (sharing == nullptr && other.stream == text) sharing = &other;
  });
  int fd;
  if (sharing != nullptr && sharing->fd >= 0 && interfaceValidateFD(sharing->fd) != -1) {
    fd = sharing->fd;
  } else {
    // A shared stream that no longer validates is opened again for all its channels.
    if (sharing != nullptr && sharing->fd >= 0) interfaceClose(sharing->fd);
    fd = interfaceOpen(text.c_str());
    if (sharing != nullptr)
      s.channels.forEach([&](const std::string &, Channel &other) {
        if (other.stream == text) record(other, fd);
      });
  }
  if (fd < 0) {
    ddlPrintf("warning", "invalid stream %s (channel %s)\n", text.c_str(), name);
    std::vector<std::string> sameStream;
    s.channels.forEach([&](const std::string &key, Channel &other) {
      if (other.stream == text) sameStream.push_back(key);
    });
    for (const std::string &key : sameStream) s.channels.erase(key.c_str());
    return -1;
  }
  Channel channel;
  channel.stream = text;
  channel.callback = callback;
  record(channel, fd);
  s.channels.set(name, std::move(channel));
  return 0;
}

bool usesStream(const std::string &stream) {
  bool used = false;
  state->channels.forEach([&](const std::string &, Channel &c) { used = used || c.stream == stream; });
  return used;
}

// Whether a file channel still writes to the file its path names.
bool stillValid(const Channel &channel) {
  const char *stream = channel.stream.c_str();
  if (!isURL(stream)) return true;
  std::string scheme(stream, std::strstr(stream, "://") - stream);
  if (scheme != "file") return true;
  struct stat info;
  if (channel.fd < 0 || interfaceValidateFD(channel.fd) != 0 || fstat(channel.fd, &info) != 0 ||
      info.st_nlink < 1 || static_cast<long long>(info.st_ino) != channel.inode ||
      static_cast<long long>(info.st_dev) != channel.device)
    return false;
  char *resource = getURLResource(stream);
  if (resource == nullptr) return false;
  bool exists = access(intFileFromInterfacePath(resource, 0), F_OK) == 0;
  std::free(resource);
  return exists;
}

void reopen(Channel &channel) {
  int old = channel.fd;
  if (old >= 0) interfaceClose(old);
  int fd = interfaceOpen(channel.stream.c_str());
  if (old >= 0) moveDescriptor(old, fd);
  record(channel, fd);
}

void exportSignalHandler(int) {
  if (state == nullptr) return;
  int savedErrno = errno;
  const Export *list = state->exports.find(kExportsKey);
  const Channel *channel = state->channels.find("export");
  if (list != nullptr && list->value != nullptr && channel != nullptr && channel->enabled &&
      channel->fd >= 0) {
    const char *p = static_cast<const char *>(list->value);
    while (*p != '\0') {
      p += std::strspn(p, kListSeparators);
      size_t n = std::strcspn(p, kListSeparators);
      if (n == 0) break;
      char name[256];
      if (n < sizeof name) {
        std::memcpy(name, p, n);
        name[n] = '\0';
        if (const Export *record = state->exports.find(name)) {
          char stamp[kTimeLimit], line[kLineLimit];
          signalTimeText(stamp);
          Buf out(line, sizeof line);
          header(out, "export", stamp);
          out.put(name), out.put(" = "), showValue(out, *record), out.put('\n');
          interfaceWrite(channel->fd, out.text(), out.length(), nullptr);
        }
      }
      p += n;
    }
  }
  errno = savedErrno;
}

// The configured channels, their activation and exports.
void configure(cfgFile *given) {
  State &s = module();
  const char *block = cfgGet(given, s.application.c_str(), "ddl_config_block");
  if (block == nullptr) {
    ddlPrintf("info", "no diagnostics specified\n");
    return;
  }
  s.block = block;
  cfgFile *cfg = given;
  cfgFile *loaded = nullptr;
  if (const char *file = cfgGet(given, s.application.c_str(), "ddl_config_file")) {
    loaded = cfgLoad(nullptr, file);
    if (loaded == nullptr) {
      ddlPrintf("error", "cannot load config file: %s\n", file);
      return;
    }
    cfg = loaded;
  }
  auto words = [](const char *list) {
    std::vector<std::string> result;
    std::string text = list;
    for (size_t pos = 0; (pos = text.find_first_not_of(kListSeparators, pos)) != std::string::npos;) {
      size_t end = text.find_first_of(kListSeparators, pos);
      result.push_back(text.substr(pos, end - pos));
      pos = end;
    }
    return result;
  };
  const std::string blockName = s.block;
  if (const char *format = cfgGet(cfg, blockName.c_str(), "timestamp_format")) s.timeFormat = format;
  const char *all = cfgGet(cfg, blockName.c_str(), "all_channels");
  if (all == nullptr) {
    ddlPrintf("info", "no diagnostic channels defined\n");
    cfgFree(loaded);
    return;
  }
  for (const std::string &name : words(all))
    ddlChannelCreate(name.c_str(), cfgGet(cfg, blockName.c_str(), name.c_str()));
  const char *active = cfgGet(cfg, blockName.c_str(), "active_channels");
  if (active == nullptr) {
    ddlPrintf("info", "no active diagnostic channels defined\n");
    cfgFree(loaded);
    return;
  }
  for (const std::string &name : words(active)) ddlChannelEnable(name.c_str());
  if (const char *vars = cfgGet(cfg, blockName.c_str(), "export_vars")) {
    // Built outside the table, then swapped in whole: the signal handler never sees a half record.
    Export list{DDL_EXPORT_STRING, nullptr, vars};
    Export &stored = s.exports.set(kExportsKey, std::move(list));
    stored.value = stored.text.data();
  }
  int signalNumber = SIGUSR1;
  if (const char *word = cfgGet(cfg, blockName.c_str(), "export_signal")) {
    char *end;
    errno = 0;
    long number = std::strtol(word, &end, 0);
    if (end == word || *end != '\0' || errno != 0 || number <= 0 || number >= NSIG)
      ddlPrintf("warning", "invalid export_signal specification");
    else
      signalNumber = static_cast<int>(number);
  }
  struct sigaction action {};
  action.sa_handler = exportSignalHandler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signalNumber, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  ddlPrintf("export", "application = %s\n", s.application.c_str());
  ddlPrintf("export", "pid = %d\n", static_cast<int>(getpid()));
  cfgFree(loaded);
}

}  // namespace

extern "C" {

void ddlInit(const char *application, cfgFile *cfg) {
  State &s = module();
  s.application = application == nullptr ? "" : application;
  if (const char *format = std::getenv("DDL_TIMESTAMP_FORMAT")) s.timeFormat = format;
  char stamp[kTimeLimit];
  timeText(stamp);  // also records the offset from UTC
  if (cfg != nullptr) configure(cfg);
}

int ddlPrintf(const char *channel, const char *format, ...) {
  if (format == nullptr) return -1;
  va_list args;
  va_start(args, format);
  int code = printFormatted(channel, kLineLimit, format, args);
  va_end(args);
  return code;
}

int ddlPrint(const char *channel, const char *text) {
  if (text == nullptr) return -1;
  return printText(channel, text);
}

int ddlRawPrint(const char *name, const char *text) {
  int code;
  Channel *channel = printable(name, &code);
  if (channel == nullptr || text == nullptr) return code;
  interfaceWrite(channel->fd, text, std::strlen(text), nullptr);
  return 0;
}

int ddlChannelCreate(const char *name, const char *stream) {
  return createChannel(name, stream, nullptr);
}

int ddlChannelCreateSpecial(const char *name, const char *stream, ddlCallback callback) {
  return createChannel(name, stream, callback);
}

int ddlChannelDestroy(const char *name) {
  if (state == nullptr || name == nullptr) return -1;
  Channel *channel = state->channels.find(name);
  if (channel == nullptr) return -1;
  std::string stream = channel->stream;
  int fd = channel->fd;
  state->channels.erase(name);
  if (fd >= 0 && !usesStream(stream)) interfaceClose(fd);
  return 0;
}

int ddlChannelEnable(const char *name) {
  Channel *channel = state == nullptr || name == nullptr ? nullptr : state->channels.find(name);
  if (channel == nullptr) return -1;
  channel->enabled = 1;
  return 0;
}

int ddlChannelDisable(const char *name) {
  Channel *channel = state == nullptr || name == nullptr ? nullptr : state->channels.find(name);
  if (channel == nullptr) return -1;
  channel->enabled = 0;
  return 0;
}

int ddlChannelIsEnabled(const char *name) {
  Channel *channel = state == nullptr || name == nullptr ? nullptr : state->channels.find(name);
  return channel != nullptr && channel->enabled ? 1 : 0;
}

int ddlChannelValidate(const char *name) {
  Channel *channel = state == nullptr || name == nullptr ? nullptr : state->channels.find(name);
  if (channel == nullptr) return -1;
  if (!channel->local) return 0;
  return interfaceValidateFD(channel->fd);
}

int ddlChannelRevalidate(const char *name) {
  if (state == nullptr) return -1;
  if (name != nullptr && *name != '\0') {
    Channel *channel = state->channels.find(name);
    if (channel == nullptr) return -1;
    if (!stillValid(*channel)) reopen(*channel);
    return channel->fd < 0 ? -1 : 0;
  }
  std::vector<std::string> names;
  state->channels.forEach([&](const std::string &key, Channel &) { names.push_back(key); });
  int code = 0;
  for (const std::string &key : names) {
    Channel *channel = state->channels.find(key.c_str());
    if (!stillValid(*channel)) reopen(*channel);
    if (channel->fd < 0) code = -1;
  }
  return code;
}

int ddlPrintSpecial(const char *name, void *argument, const char *text) {
  Channel *channel = state == nullptr || name == nullptr ? nullptr : state->channels.find(name);
  if (channel != nullptr) channel->argument = argument;
  return ddlPrint(name, text);
}

int ddlPrintfSpecial(const char *name, void *argument, const char *format, ...) {
  Channel *channel = state == nullptr || name == nullptr ? nullptr : state->channels.find(name);
  if (channel != nullptr) channel->argument = argument;
  if (format == nullptr) return -1;
  va_list args;
  va_start(args, format);
  int code = printFormatted(name, kSpecialLimit, format, args);
  va_end(args);
  return code;
}

int ddlExport(const char *name, int type, void *value) {
  if (name == nullptr) return -1;
  State &s = module();
  if (s.exports.find(name) == nullptr) s.exports.set(name, Export{type, value, std::string()});
  return 0;
}

int ddlExportGetValue(const char *name, char *buffer, int size) {
  const Export *record = state == nullptr || name == nullptr ? nullptr : state->exports.find(name);
  if (record == nullptr || buffer == nullptr || size <= 0) return -1;
  Buf out(buffer, static_cast<size_t>(size));
  showValue(out, *record);
  return 0;
}

int ddlExportSetValue(const char *name, const char *text) {
  Export *record = state == nullptr || name == nullptr ? nullptr : state->exports.find(name);
  if (record == nullptr || text == nullptr) return -1;
  if (record->type != DDL_EXPORT_INT && record->type != DDL_EXPORT_PINT) {
    ddlPrintf("error", "Do not support set for this type\n");
    return 0;
  }
  int value;
  if (std::sscanf(text, "%d", &value) != 1) return 0;
  if (record->type == DDL_EXPORT_INT)
    record->value = reinterpret_cast<void *>(static_cast<intptr_t>(value));
  else if (record->value != nullptr)
    *static_cast<int *>(record->value) = value;
  return 0;
}

int ddlExportPrintf(const char *channel, const char *name) {
  if (!ddlChannelIsEnabled(channel)) return 0;
  char shown[kLineLimit];
  if (ddlExportGetValue(name, shown, sizeof shown) != 0) return -1;
  return ddlPrintf(channel, "%s = %s\n", name, shown);
}

int ddlUpdate(const char *name) { return ddlExportPrintf("export", name); }

}  // extern "C"
