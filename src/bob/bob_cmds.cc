// Package "bob" (`bob`, `bget`, `bset`) and package "binterface", whose `interface` command adds
// binary reads into and writes from netbuf bobs to the interface command of package "interface".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "io/interface_cmds.h"
#include "pkg/command.h"
#include "telvi/bob.h"
#include "telvi/id.h"
#include "telvi/interface.h"
#include "telvi/package.h"

namespace {

using telvi::fail;

const char kSubcommands[] = "[create|destroy|cvt|get|set|dset|type|types|keys|cast]";
constexpr int kMaxPairs = 30;
constexpr size_t kReadSize = 65536;

int ok(Tcl_Interp *interp, const std::string &text) {
  Tcl_SetObjResult(interp, Tcl_NewStringObj(text.data(), static_cast<int>(text.size())));
  return TCL_OK;
}

// A failure text followed by the store's reason for it, when it gave one.
std::string withReason(std::string message) {
  const char *why = bobLastFailure();
  if (why != nullptr && *why) message.append(": ").append(why);
  return message;
}

// The bob named by the first token of a key (an ID, possibly with an index).
bobEntry *entryOfKey(const char *key) {
  const char *name;
  int length, index, flags;
  if (bobKeyNextToken(key, &name, &length, &index, &flags) == nullptr) return nullptr;
  return bobIdLookup(std::string(name, static_cast<size_t>(length)).c_str());
}

// bget: word is the command as called ("bget" or "bob get"); argv[0] is the ID.
int getValues(Tcl_Interp *interp, const char *word, int argc, const char *argv[]) {
  if (argc < 1) return telvi::usageSuffix(interp, word, " <id> [<key>] ...");
  const char *id = argv[0];
  if (entryOfKey(id) == nullptr) return fail(interp, id, " is not a valid bob");
  if (argc == 1) {
    bobKeyValue pair = {nullptr, nullptr};
    int count = 1;
    if (bobIdGet(id, &pair, &count) != 0)
      return fail(interp, withReason(std::string(word) + " of bob " + id + " failed").c_str());
    std::string text = pair.value;
    free(pair.value);
    return ok(interp, text);
  }
  Tcl_DString list;
  Tcl_DStringInit(&list);
  std::string single;
  for (int i = 1; i < argc; ++i) {
    bobKeyValue pair = {argv[i], nullptr};
    int count = 1;
    if (bobIdGet(id, &pair, &count) != 0) {
      Tcl_DStringFree(&list);
      return fail(interp, withReason(std::string(word) + " of key " + argv[i] + " failed for bob " + id).c_str());
    }
    if (argc == 2) single = pair.value;
    else Tcl_DStringAppendElement(&list, pair.value);
    free(pair.value);
  }
  if (argc == 2) {
    Tcl_DStringFree(&list);
    return ok(interp, single);
  }
  Tcl_DStringResult(interp, &list);
  return TCL_OK;
}

// bset and dset: argv[0] is the ID, then a value or key/value pairs.
int setValues(Tcl_Interp *interp, const char *word, int argc, const char *argv[], bool destroyOnFailure) {
  if (argc < 2 || (argc > 2 && (argc - 1) % 2 != 0) || (argc - 1) / 2 > kMaxPairs)
    return telvi::usageSuffix(interp, word, " <id> value|<key value ...>");
  const char *id = argv[0];
  if (entryOfKey(id) == nullptr) return fail(interp, id, " is not a valid bob");
  std::string failure;
  if (argc == 2) {
    bobKeyValue pair = {nullptr, const_cast<char *>(argv[1])};
    int count = 1;
    if (bobIdSet(id, &pair, &count) != 0) failure = withReason(std::string(word) + " failed for " + id);
  } else {
    for (int i = 1; i + 1 < argc && failure.empty(); i += 2) {
      bobKeyValue pair = {argv[i], const_cast<char *>(argv[i + 1])};
      int count = 1;
      if (bobIdSet(id, &pair, &count) != 0)
        failure = withReason(std::string(word) + " of " + argv[i] + "=" + argv[i + 1] + " failed for " + id);
    }
  }
  if (failure.empty()) {
    Tcl_ResetResult(interp);
    return TCL_OK;
  }
  if (destroyOnFailure) bobIdDestroy(id);
  return fail(interp, failure.c_str());
}

int cmdBget(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  return getValues(interp, argv[0], argc - 1, argv + 1);
}

int cmdBset(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  return setValues(interp, argv[0], argc - 1, argv + 1, false);
}

// "<type>" or "<type>(<n>)": the name and the element count (-1: a single record).
bool parseTypeSpec(const char *spec, std::string &name, int &count) {
  const char *open = strchr(spec, '(');
  count = -1;
  if (open == nullptr) {
    name = spec;
    return !name.empty();
  }
  name.assign(spec, static_cast<size_t>(open - spec));
  const char *p = open + 1;
  long n = 0;
  while (*p >= '0' && *p <= '9') {
    n = n * 10 + (*p++ - '0');
    if (n > 1000000) return false;
  }
  if (*p != ')' || p[1] != 0 || name.empty()) return false;
  count = static_cast<int>(n);
  return true;
}

int bobCreate(Tcl_Interp *interp, const char *cmd, int argc, const char *argv[]) {
  if (argc < 3 || (argc > 4 && (argc - 3) % 2 != 0) || (argc - 3) / 2 > kMaxPairs)
    return telvi::usageSuffix(interp, cmd, " create <type>");
  std::string name;
  int count;
  if (!parseTypeSpec(argv[2], name, count)) return fail(interp, cmd, ": bad type specification ", argv[2]);
  if (dataGetType(name.c_str()) == nullptr) return fail(interp, cmd, ": unknown type ", name.c_str());
  bobEntry *entry;
  const char *id = bobIdCreate(name.c_str(), &entry, count, nullptr, 0);
  if (id == nullptr) return fail(interp, withReason(std::string(cmd) + ": failed to create type " + argv[2]).c_str());
  std::string made = id;
  if (argc > 3) {
    // The initial value or pairs: a bob that cannot take them is not kept, and the message says
    // which value was refused and why, never naming the ID that no longer exists.
    std::vector<bobKeyValue> pairs;
    if (argc == 4) pairs.push_back({nullptr, const_cast<char *>(argv[3])});
    else
      for (int i = 3; i + 1 < argc; i += 2) pairs.push_back({argv[i], const_cast<char *>(argv[i + 1])});
    int n = static_cast<int>(pairs.size());
    if (bobIdSet(made.c_str(), pairs.data(), &n) != 0) {
      std::string message = withReason(std::string(cmd) + ": failed to create type " + argv[2]);
      bobIdDestroy(made.c_str());
      return fail(interp, message.c_str());
    }
  }
  return ok(interp, made);
}

// A cast keeps the data, so it is allowed only between types that hold and release it alike.
bool castable(const dataType *from, const dataType *to) {
  return from->size == to->size && from->destroy == to->destroy && from->fields == to->fields;
}

int cmdBob(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  const char *cmd = argv[0];
  if (argc < 2) return fail(interp, cmd, ": too few arguments - ", kSubcommands);
  const char *sub = argv[1];
  if (strcmp(sub, "types") == 0) {
    Tcl_HashSearch search;
    Tcl_DString list;
    Tcl_DStringInit(&list);
    for (Tcl_HashEntry *h = Tcl_FirstHashEntry(dataTypeGetTypesTable(), &search); h; h = Tcl_NextHashEntry(&search))
      Tcl_DStringAppendElement(&list, static_cast<dataType *>(Tcl_GetHashValue(h))->name);
    Tcl_DStringResult(interp, &list);
    return TCL_OK;
  }
  static const char *const order[] = {"type", "keys", "create", "ecreate", "destroy",
                                      "cvt",  "get",  "set",    "dset",    "cast"};
  size_t n = strlen(sub);
  std::string option;
  for (const char *o : order)
    if (n > 0 && strncmp(o, sub, n) == 0) {
      option = o;
      break;
    }
  if (option.empty()) return fail(interp, cmd, ": bad arguments - ", kSubcommands);

  if (option == "type" || option == "keys") {
    if (argc != 3) return telvi::usageSuffix(interp, cmd, option == "type" ? " type <id>" : " keys <id>");
    bobEntry *e = bobIdLookup(argv[2]);
    if (e == nullptr) return fail(interp, cmd, ": bad id ", argv[2]);
    if (option == "type") return ok(interp, e->type->name);
    char text[4096];
    if (bobIdLookupKeys(argv[2], text, sizeof text) != 0) return fail(interp, "Failed to lookup keys for ", argv[2], ".");
    return ok(interp, text);
  }
  if (option == "create") return bobCreate(interp, cmd, argc, argv);
  if (option == "ecreate") {
    if (argc != 3) return telvi::usageSuffix(interp, cmd, " ecreate <ptr>");
    void *pointer = nullptr;
    char extra;
    if (strcmp(argv[2], "(nil)") != 0 && sscanf(argv[2], "%p%c", &pointer, &extra) != 1)
      return fail(interp, cmd, ": illegal pointer value ", argv[2]);
    bobEntry *e;
    const char *id = bobIdCreate("explicit", &e, -2, nullptr, 0);
    if (id == nullptr) return fail(interp, cmd, ": failed to create explicit bob");
    e->data = pointer;
    return ok(interp, id);
  }
  if (option == "destroy") {
    if (argc < 3) return telvi::usageSuffix(interp, cmd, " destroy <id> ...");
    for (int i = 2; i < argc; ++i)
      if (bobIdDestroy(argv[i]) != 0) return fail(interp, cmd, ": failed to destroy ", argv[i]);
    Tcl_ResetResult(interp);
    return TCL_OK;
  }
  if (option == "cvt") {
    if (argc != 4) return telvi::usageSuffix(interp, cmd, " cvt <id|string> <type>");
    if (dataGetType(argv[3]) == nullptr) return fail(interp, "Unknown type ", argv[3]);
    bobEntry *e = bobIdLookup(argv[2]);
    bobConverterProc proc = bobFindConverter(e ? e->type->name : "string", argv[3]);
    if (proc == nullptr) return fail(interp, "No converter registered.");
    char *text = proc(argv[2]);
    if (text == nullptr) return fail(interp, "Registered converter failed.");
    std::string result = text;
    free(text);
    return ok(interp, result);
  }
  std::string word = std::string(cmd) + " " + option;
  if (option == "get") {
    if (argc < 3) return telvi::usageSuffix(interp, cmd, " get <id> [<key>] ...");
    return getValues(interp, word.c_str(), argc - 2, argv + 2);
  }
  if (option == "set" || option == "dset") return setValues(interp, word.c_str(), argc - 2, argv + 2, option == "dset");
  // cast
  if (argc != 4) return telvi::usageSuffix(interp, cmd, " cast <id> <type>");
  dataType *type = dataGetType(argv[3]);
  if (type == nullptr) return fail(interp, cmd, ": unknown type ", argv[3]);
  bobEntry *e = bobIdLookup(argv[2]);
  if (e == nullptr) return fail(interp, cmd, ": bad id ", argv[2]);
  if (!castable(e->type, type)) return fail(interp, cmd, ": cannot cast ", argv[2], " to ", argv[3]);
  e->type = type;
  Tcl_ResetResult(interp);
  return TCL_OK;
}

// ---- binterface ----

int systemError(Tcl_Interp *interp, const char *what, const char *name) {
  return fail(interp, what, " \"", name, "\": ", strerror(errno));
}

int optionBread(Tcl_Interp *interp, const std::string &cmd, int argc, const char *argv[]) {
  if (argc != 3 && argc != 4) return fail(interp, "wrong # args: should be ", cmd.c_str(), " fileId ?bobtype?");
  int fd, mode;
  if (!telvi::io::channelInterface(interp, argv[2], &fd)) return TCL_ERROR;
  if (Tcl_GetChannel(interp, argv[2], &mode) == nullptr) return TCL_ERROR;
  if (!(mode & TCL_READABLE)) return fail(interp, "file ", argv[2], " not open for reading");
  std::vector<unsigned char> buffer(kReadSize);
  intPeer peer{};
  ssize_t got = interfaceRead(fd, buffer.data(), buffer.size(), &peer);
  if (got < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK) return systemError(interp, "error reading", argv[2]);
    got = 0;
  }
  bobEntry *e;
  const char *id = bobIdCreate("netbuf", &e, -1, nullptr, 0);
  if (id == nullptr) return fail(interp, "Could not create a Binary Object Buffer for result");
  auto *netbuf = static_cast<BobNetbuf *>(e->data);
  auto *bytes = static_cast<char *>(malloc(static_cast<size_t>(got) + 1));
  if (bytes == nullptr) {
    bobIdDestroy(id);
    return fail(interp, "failed to set bob");
  }
  memcpy(bytes, buffer.data(), static_cast<size_t>(got));
  bytes[got] = 0;
  netbuf->buf.buffer = bytes;
  netbuf->buf.length = static_cast<uint32_t>(got);
  if (peer.addr.sin_family == AF_INET) {
    memcpy(netbuf->info.domain, snmpUDPDomain, (snmpUDPDomain[0] + 1) * sizeof(uint32_t));
    setSnmpTInfoHost(&netbuf->info, ntohl(peer.addr.sin_addr.s_addr));
    setSnmpTInfoPort(&netbuf->info, ntohs(peer.addr.sin_port));
  }
  return ok(interp, id);
}

int optionBwrite(Tcl_Interp *interp, const std::string &cmd, int argc, const char *argv[]) {
  if (argc != 4 && argc != 5) return fail(interp, "wrong # args: should be ", cmd.c_str(), " fileId bobid ?retry?");
  int retry = 0;
  if (argc == 5 && Tcl_GetInt(interp, argv[4], &retry) != TCL_OK) return TCL_ERROR;
  int fd, mode;
  if (!telvi::io::channelInterface(interp, argv[2], &fd)) return TCL_ERROR;
  if (Tcl_GetChannel(interp, argv[2], &mode) == nullptr) return TCL_ERROR;
  if (!(mode & TCL_WRITABLE)) return fail(interp, "file ", argv[2], " not open for writing");
  int fd2, fdError, state, interfaceMode, pid;
  const char *spec;
  if (interfaceInfo(fd, &fd2, &fdError, &state, &spec, &interfaceMode, &pid) == 0 && fd2 >= 0) fd = fd2;

  const char *id = argv[3];
  bobEntry *e = bobIdLookup(id);
  if (e == nullptr || (e->flags & (BOB_ARRAY | BOB_EXTERNAL)))
    return fail(interp, id, " not a valid Binary Object Buffer");
  std::string temporary;
  if (strcmp(e->type->name, "netbuf") != 0) {
    // Anything else goes out through its converter to a netbuf, which lives only for this write.
    bobConverterProc proc = bobFindConverter(e->type->name, "netbuf");
    char *made = proc ? proc(id) : nullptr;
    if (made != nullptr) temporary = made;
    free(made);
    e = temporary.empty() ? nullptr : bobIdLookup(temporary.c_str());
    if (e == nullptr || strcmp(e->type->name, "netbuf") != 0 || (e->flags & (BOB_ARRAY | BOB_EXTERNAL))) {
      if (!temporary.empty()) bobIdDestroy(temporary.c_str());
      return fail(interp, id, " not a valid Binary Object Buffer");
    }
  }
  auto *netbuf = static_cast<BobNetbuf *>(e->data);
  // A datagram read from an unconnected socket goes back to the peer it came from (or that a
  // converter addressed it to).
  intPeer peer{};
  intPeer *to = nullptr;
  sockaddr_in connected{};
  socklen_t size = sizeof connected;
  if (getSnmpTInfoPort(&netbuf->info) != 0 &&
      getpeername(fd, reinterpret_cast<sockaddr *>(&connected), &size) != 0 && errno == ENOTCONN) {
    peer.addr.sin_family = AF_INET;
    peer.addr.sin_addr.s_addr = htonl(getSnmpTInfoHost(&netbuf->info));
    peer.addr.sin_port = htons(static_cast<uint16_t>(getSnmpTInfoPort(&netbuf->info)));
    to = &peer;
  }
  const char *data = netbuf->buf.buffer;
  size_t length = data ? netbuf->buf.length : 0;
  size_t done = 0;
  int result = TCL_OK;
  while (done < length) {
    ssize_t put = interfaceWrite(fd, data + done, length - done, to);
    if (put >= 0) {
      done += static_cast<size_t>(put);
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      result = systemError(interp, "error writing", id);
      break;
    }
    if (retry == 0) break;
    if (retry > 0) --retry;
    pollfd p = {fd, POLLOUT, 0};
    poll(&p, 1, 1000);
  }
  if (!temporary.empty()) bobIdDestroy(temporary.c_str());
  if (result != TCL_OK) return result;
  return ok(interp, std::to_string(length - done));
}

int cmdBinterface(ClientData clientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc < 3)
    return fail(interp, "wrong # args: should be \"", argv[0], " open|close|accept|read|write|bread|bwrite|type|info");
  std::string cmd = std::string(argv[0]) + " " + argv[1];
  if (strcmp(argv[1], "bread") == 0) return optionBread(interp, cmd, argc, argv);
  if (strcmp(argv[1], "bwrite") == 0) return optionBwrite(interp, cmd, argc, argv);
  return telvi::io::cmdInterface(clientData, interp, argc, argv);
}

}  // namespace

extern "C" int Bob_InitInternal(Tcl_Interp *interp) {
  idInit();
  // The SNMP types are the bobs scripts work with; registering them here lets the store be used
  // before the SNMP package is loaded (a second registration does nothing).
  bobRegisterSnmpTypes();
  telvi::createCommands(interp, {{"bob", cmdBob}, {"bget", cmdBget}, {"bset", cmdBset}});
  return TCL_OK;
}

extern "C" int Binterface_InitInternal(Tcl_Interp *interp) {
  telvi::createCommands(interp, {{"interface", cmdBinterface}});
  return TCL_OK;
}
